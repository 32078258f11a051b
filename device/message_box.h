// Message boxes drawn in a terminal.
#pragma once

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

// Splits UTF-8 text into lines of at most `columns` characters, breaking at spaces where it can
// and at line breaks in the text.
std::vector<std::string> WrapText(std::string_view text, size_t columns);

// The box as a block of lines: the caption, shown between brackets exactly as given, in the top
// border; the text wrapped to fit `width` columns; the buttons centred below it.
std::string DrawMessageBox(std::string_view caption, std::string_view text,
                           const std::vector<std::string>& buttons, size_t width);

}  // namespace device
