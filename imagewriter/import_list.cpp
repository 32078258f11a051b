#include "import_list.h"

#include <algorithm>
#include <charconv>
#include <sstream>
#include <string_view>
#include <vector>

#include "image_error.h"

namespace imagewriter {
namespace {

// Names as they appear in an export table and in a C program: letters, digits and underscores,
// not starting with a digit. The library name may also hold dots.
bool IsName(std::string_view word, bool allowDots) {
  if (word.empty() || (word[0] >= '0' && word[0] <= '9')) return false;
  return std::ranges::all_of(word, [&](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           (allowDots && c == '.');
  });
}

std::vector<std::string> Words(const std::string& line) {
  std::istringstream stream(line.substr(0, line.find('#')));
  std::vector<std::string> words;
  for (std::string word; stream >> word;) words.push_back(word);
  return words;
}

}  // namespace

ImportList ParseImportList(std::span<const uint8_t> text, const std::string& fileName) {
  ImportList list;
  std::istringstream lines(std::string(text.begin(), text.end()));
  int number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    auto fail = [&](const std::string& problem) {
      throw ImageError(fileName + ":" + std::to_string(number), problem);
    };
    std::vector<std::string> words = Words(line);
    if (words.empty()) continue;
    if (words[0] == "library") {
      if (words.size() != 2 || !IsName(words[1], true)) fail("expected \"library <file name>\"");
      if (!list.library.empty()) fail("a second library; the image imports from one");
      list.library = words[1];
      continue;
    }
    if (list.library.empty()) fail("expected \"library <file name>\" before the first routine");
    if (words.size() != 2 || !IsName(words[0], false)) fail("expected \"<routine> <ordinal>\"");
    unsigned ordinal = 0;
    auto [end, error] =
        std::from_chars(words[1].data(), words[1].data() + words[1].size(), ordinal);
    if (error != std::errc() || end != words[1].data() + words[1].size() || ordinal == 0 ||
        ordinal > 0xFFFF) {
      fail("ordinal " + Printable(words[1]) + " is not a number from 1 to 65535");
    }
    if (!list.ordinals.emplace(words[0], static_cast<uint16_t>(ordinal)).second) {
      fail(words[0] + " is listed twice");
    }
  }
  if (list.library.empty()) throw ImageError(fileName, "names no library");
  return list;
}

}  // namespace imagewriter
