// The export list is kept as the text the definition gives, parsed once on first use.
#include "coredll_exports.h"

#include <charconv>
#include <map>
#include <set>

namespace emulator {
namespace {

constexpr std::string_view kExportList =
#include "coredll_exports.inc"
    ;

struct Exports {
  std::set<std::string_view, std::less<>> names;
  std::map<uint16_t, std::string_view> byOrdinal;
};

const Exports& AllExports() {
  static const Exports exports = [] {
    Exports parsed;
    for (size_t start = 0; start < kExportList.size();) {
      const size_t end = std::min(kExportList.find('\n', start), kExportList.size());
      const std::string_view line = kExportList.substr(start, end - start);
      start = end + 1;
      const size_t space = line.find(' ');
      if (space == std::string_view::npos) continue;
      const std::string_view name = line.substr(space + 1);
      parsed.names.insert(name);
      uint16_t ordinal = 0;
      if (std::from_chars(line.data(), line.data() + space, ordinal).ec == std::errc()) {
        parsed.byOrdinal.emplace(ordinal, name);
      }
    }
    return parsed;
  }();
  return exports;
}

}  // namespace

bool CoreLibraryExportsName(std::string_view name) {
  return AllExports().names.contains(name);
}

std::optional<std::string_view> CoreLibraryExportName(uint16_t ordinal) {
  const auto& byOrdinal = AllExports().byOrdinal;
  const auto found = byOrdinal.find(ordinal);
  if (found == byOrdinal.end()) return std::nullopt;
  return found->second;
}

}  // namespace emulator
