// Message boxes drawn in a terminal.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace device {

// Button labels in the device's language.
struct ButtonLabels {
  std::string ok, yes, no;
};

// The labels a device with this ROM language shows; English for a language it does not know.
ButtonLabels LabelsForLanguage(std::u16string_view romLanguage);

// What may be typed to answer a Yes/No box, and how the keys are shown.
struct YesNoKeys {
  std::vector<std::u16string> yes, no;  // accepted answers, compared ignoring case
  std::string prompt;                   // "Ja (j) / Nein (n)? "
  std::string hint;                     // shown before the prompt again after any other line
};

// j, ja, y, yes and n, nein, no, with the labels themselves and their first letters; the prompt
// names the first letters.
YesNoKeys KeysFor(const ButtonLabels& labels);

// The answer a typed line gives, blanks around it ignored: true for yes, false for no, nothing
// for any other line (or one that is not UTF-8).
std::optional<bool> ReadYesNo(std::string_view line, const YesNoKeys& keys);

// Splits UTF-8 text into lines of at most `columns` characters, breaking at spaces where it can
// and at line breaks in the text.
std::vector<std::string> WrapText(std::string_view text, size_t columns);

// The box as a block of lines: the caption, shown between brackets exactly as given, in the top
// border; the text wrapped to fit `width` columns; the buttons centred below it.
std::string DrawMessageBox(std::string_view caption, std::string_view text,
                           const std::vector<std::string>& buttons, size_t width);

}  // namespace device
