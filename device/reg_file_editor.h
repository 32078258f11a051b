// Writing values into a .reg file's text: a value that is set again is rewritten in the form it
// was written in; a new value or key gets the regedit form. Everything else is left as it is.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "reg_value.h"

namespace device::regfile {

// The data of `value` in the form of `written`, the data it replaces ("dword:6", "hex(7):41,\"
// with its continued lines, ...) that starts at `column` of its line. Where that form cannot hold
// the value (a type or content it has no notation for), the regedit form is used.
std::string RenderInForm(std::string_view written, size_t column, const RegValue& value,
                         std::string_view lineEnd);

// A new value's lines in the regedit form, each starting with `indent` and ending with `lineEnd`.
std::string ValueLines(const RegValue& value, std::string_view indent, std::string_view lineEnd);

// The data in the regedit form on one line: "\"Storage Card\"", "dword:00000001", "hex:01,02".
std::string FormatData(const RegValue& value);

// A piece of text put in place of [begin, end) of the original.
struct Splice {
  size_t begin, end;
  std::string text;
};

// `text` with the splices applied (they must not overlap; at one place, in the order given),
// appended to `out`.
void ApplySplices(std::string_view text, std::vector<Splice> splices, std::string& out);

}  // namespace device::regfile
