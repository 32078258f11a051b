#include "reg_file_editor.h"

#include <utf8.h>

#include <algorithm>
#include <optional>

#include "binary.h"
#include "reg_text.h"

namespace device::regfile {
namespace {

constexpr size_t kMaxLineWidth = 79;  // wrapped hex lists stay under 80 columns

using binary::StartsWithIgnoringCase;

std::string HexText(uint32_t number, size_t minDigits, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string text;
  do {
    text.insert(text.begin(), digits[number & 0xF]);
    number >>= 4;
  } while (number != 0);
  if (text.size() < minDigits) text.insert(0, minDigits - text.size(), '0');
  return text;
}

bool Quotable(std::u16string_view text) {
  return text.find_first_of(std::u16string_view(u"\r\n\0", 3)) == std::u16string_view::npos &&
         !FindLoneSurrogate(text);
}

// The text of a REG_SZ that is one terminated string a quoted form can hold.
std::optional<std::u16string> TerminatedText(const RegValue& value) {
  if (value.type != kRegSz || value.data.size() < 2 || value.data.size() % 2 != 0) return {};
  std::u16string text = binary::Utf16Units(value.data);
  if (text.back() != u'\0') return std::nullopt;
  text.pop_back();
  if (!Quotable(text)) return std::nullopt;
  return text;
}

// The strings of a REG_MULTI_SZ that multi_sz: can hold: each terminated, then one more
// terminator.
std::optional<std::vector<std::u16string>> MultiSzTexts(const RegValue& value) {
  if (value.type != kRegMultiSz || value.data.size() < 2 || value.data.size() % 2 != 0) return {};
  std::u16string units = binary::Utf16Units(value.data);
  if (units.back() != u'\0') return std::nullopt;
  units.pop_back();
  if (!units.empty() && units.back() != u'\0') return std::nullopt;
  std::vector<std::u16string> texts;
  for (size_t start = 0; start < units.size();) {
    const size_t end = units.find(u'\0', start);
    texts.push_back(units.substr(start, end - start));
    if (!Quotable(texts.back())) return std::nullopt;
    start = end + 1;
  }
  return texts;
}

std::string QuotedWithEscapes(std::u16string_view text) {
  std::string quoted = "\"";
  for (char c : ToUtf8(text)) {
    if (c == '\\' || c == '"') quoted.push_back('\\');
    quoted.push_back(c);
  }
  quoted.push_back('"');
  return quoted;
}

uint32_t Dword(const RegValue& value) {
  return binary::Load32(value.data, 0);
}

std::string HexListPrefix(uint32_t type) {
  return type == kRegBinary ? "hex:" : "hex(" + HexText(type, 1, false) + "):";
}

// How a hex list is laid out: on one line, or wrapped with a marker and an indent.
struct ListLayout {
  bool wrapped = false;
  bool backslash = true;  // regedit's '\' at the end of a continued line; else a trailing ','
  std::string indent = "  ";
  bool upper = false;
};

// `prefix` then the bytes, wrapped at kMaxLineWidth counting from `column`.
std::string HexList(std::string prefix, const std::vector<uint8_t>& bytes, size_t column,
                    const ListLayout& layout, std::string_view lineEnd) {
  std::string text = std::move(prefix);
  size_t lineWidth = column + text.size();
  for (size_t i = 0; i < bytes.size(); ++i) {
    const bool last = i + 1 == bytes.size();
    const std::string piece = HexText(bytes[i], 2, layout.upper) + (last ? "" : ",");
    if (layout.wrapped && i > 0 && lineWidth + piece.size() + 1 > kMaxLineWidth) {
      if (layout.backslash) text += '\\';
      text += lineEnd;
      text += layout.indent;
      lineWidth = layout.indent.size();
    }
    text += piece;
    lineWidth += piece.size();
  }
  return text;
}

// The layout of a written hex list: a line break in it means it was wrapped.
ListLayout LayoutOf(std::string_view written) {
  ListLayout layout;
  layout.upper = written.find_first_of("ABCDEF", written.find(':') + 1) != std::string_view::npos &&
                 written.find_first_of("abcdef", written.find(':') + 1) == std::string_view::npos;
  const size_t lineBreak = written.find('\n');
  if (lineBreak == std::string_view::npos) {
    layout.wrapped = false;
    return layout;
  }
  layout.wrapped = true;
  std::string_view first = written.substr(0, lineBreak);
  while (!first.empty() && (first.back() == '\r' || first.back() == ' ' || first.back() == '\t'))
    first.remove_suffix(1);
  layout.backslash = !first.empty() && first.back() == '\\';
  const std::string_view next = written.substr(lineBreak + 1);
  layout.indent = std::string(next.substr(0, next.find_first_not_of(" \t")));
  return layout;
}

std::string RegeditForm(const RegValue& value, size_t column, std::string_view lineEnd) {
  if (const auto text = TerminatedText(value)) return QuotedWithEscapes(*text);
  if (value.type == kRegDword && value.data.size() == 4) {
    return "dword:" + HexText(Dword(value), 8, false);
  }
  ListLayout layout;
  layout.wrapped = true;
  return HexList(HexListPrefix(value.type), value.data, column, layout, lineEnd);
}

// The type a written hex( prefix names, or nothing when it is not one.
std::optional<uint32_t> HexPrefixType(std::string_view prefix) {
  if (StartsWithIgnoringCase(prefix, "hex:")) return kRegBinary;
  uint32_t type = 0;
  for (char c : prefix.substr(4, prefix.size() - 6)) {
    const int digit = c >= '0' && c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
    type = type * 16 + static_cast<uint32_t>(digit);
  }
  return type;
}

}  // namespace

std::string RenderInForm(std::string_view written, size_t column, const RegValue& value,
                         std::string_view lineEnd) {
  if (written.starts_with('"')) {
    if (const auto text = TerminatedText(value)) return QuotedWithEscapes(*text);
  } else if (StartsWithIgnoringCase(written, "dword:")) {
    if (value.type == kRegDword && value.data.size() == 4) {
      const std::string_view digits = written.substr(6);
      const bool upper = digits.find_first_of("ABCDEF") != std::string_view::npos &&
                         digits.find_first_of("abcdef") == std::string_view::npos;
      return std::string(written.substr(0, 6)) + HexText(Dword(value), digits.size(), upper);
    }
  } else if (StartsWithIgnoringCase(written, "multi_sz:")) {
    if (const auto texts = MultiSzTexts(value)) {
      const std::string separator = written.find("\", \"") != std::string_view::npos ? ", " : ",";
      std::string text(written.substr(0, 9));
      for (size_t i = 0; i < texts->size(); ++i) {
        if (i > 0) text += separator;
        text += QuotedWithEscapes((*texts)[i]);
      }
      return text;
    }
  } else {
    const std::string_view prefix = written.substr(0, written.find(':') + 1);
    if (HexPrefixType(prefix) == value.type) {
      return HexList(std::string(prefix), value.data, column, LayoutOf(written), lineEnd);
    }
  }
  return RegeditForm(value, column, lineEnd);
}

std::string ValueLines(const RegValue& value, std::string_view indent, std::string_view lineEnd) {
  std::string line(indent);
  line += value.name.empty() ? std::string("@") : QuotedWithEscapes(value.name);
  line += '=';
  line += RegeditForm(value, line.size(), lineEnd);
  line += lineEnd;
  return line;
}

std::string FormatData(const RegValue& value) {
  if (const auto text = TerminatedText(value)) return QuotedWithEscapes(*text);
  if (value.type == kRegDword && value.data.size() == 4) {
    return "dword:" + HexText(Dword(value), 8, false);
  }
  return HexList(HexListPrefix(value.type), value.data, 0, ListLayout{}, "");
}

void ApplySplices(std::string_view text, std::vector<Splice> splices, std::string& out) {
  std::stable_sort(splices.begin(), splices.end(),
                   [](const Splice& a, const Splice& b) { return a.begin < b.begin; });
  size_t extra = 0;
  for (const Splice& splice : splices) extra += splice.text.size();
  out.reserve(out.size() + text.size() + extra);
  size_t copied = 0;
  for (const Splice& splice : splices) {
    out.append(text.substr(copied, splice.begin - copied));
    out += splice.text;
    copied = splice.end;
  }
  out.append(text.substr(copied));
}

}  // namespace device::regfile
