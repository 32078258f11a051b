// Message boxes drawn in a terminal.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace device {

// Button labels in the device's language.
struct ButtonLabels {
  std::string ok, cancel, abort, retry, ignore, yes, no;
};

// The labels a device with this ROM language shows; English for a language it does not know.
ButtonLabels LabelsForLanguage(std::u16string_view romLanguage);

// One button of a box: its label, what pressing it returns, and the words that may be typed for
// it besides its label (compared ignoring case).
struct BoxButton {
  std::string label;
  int result = 0;
  std::vector<std::u16string> words;
};

// The buttons of a button group (the low four bits of a style), left to right: j, ja, y, yes
// stand for Yes and n, nein, no for No in every language, and each other button's English name
// for it. Empty for a group the device has no buttons for.
std::vector<BoxButton> ButtonsFor(unsigned group, const ButtonLabels& labels);

// What may be typed to answer a box, and how the keys are shown.
struct ButtonKeys {
  std::vector<BoxButton> buttons;  // each with its label and its key among its words
  std::string prompt;              // "Ja (j) / Nein (n)? "
  std::string hint;                // shown before the prompt again after any other line
};

// The keys for these buttons: a button's key is the first letter of its label, unless another
// button could be meant by that letter; the prompt names the keys.
ButtonKeys KeysFor(std::vector<BoxButton> buttons);

// The result of the button a typed line chooses, blanks around it ignored; nothing for any other
// line (or one that is not UTF-8).
std::optional<int> ReadAnswer(std::string_view line, const ButtonKeys& keys);

// Splits UTF-8 text into lines of at most `columns` characters, breaking at spaces where it can
// and at line breaks in the text.
std::vector<std::string> WrapText(std::string_view text, size_t columns);

// What the box's frame is drawn with: box-drawing characters, or ASCII where the terminal's
// character set may not have them.
enum class BoxLines { kUnicode, kAscii };

// The box as a block of lines: the caption, shown between brackets exactly as given, in the top
// border; the text wrapped to fit `width` columns; the buttons centred below it.
std::string DrawMessageBox(std::string_view caption, std::string_view text,
                           const std::vector<std::string>& buttons, size_t width,
                           BoxLines lines = BoxLines::kUnicode);

}  // namespace device
