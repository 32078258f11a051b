// The export list is kept as the text the definition gives, one "ordinal name" a line, and looked
// up in place: an image imports a few dozen routines, and a search of the text for each is quicker
// than building an index of all 1,700 on every run.
#include "coredll_exports.h"

#include <string>

namespace emulator {
namespace {

constexpr std::string_view kExportList =
#include "coredll_exports.inc"
    ;
static_assert(kExportList.starts_with('\n') && kExportList.ends_with('\n'));

// The line holding `part`, which begins or ends at a field boundary, or empty.
std::string_view LineWith(const std::string& part) {
  const size_t at = kExportList.find(part);
  if (at == std::string_view::npos) return {};
  const size_t start = kExportList.rfind('\n', at) + 1;
  return kExportList.substr(start, kExportList.find('\n', at + 1) - start);
}

}  // namespace

bool CoreLibraryExportsName(std::string_view name) {
  // A space ends the ordinal and a line break the name, so " name\n" matches that name alone.
  const bool plain = !name.empty() && name.find_first_of(" \n") == std::string_view::npos;
  return plain && !LineWith(" " + std::string(name) + "\n").empty();
}

std::optional<std::string_view> CoreLibraryExportName(uint16_t ordinal) {
  const std::string_view line = LineWith("\n" + std::to_string(ordinal) + " ");
  if (line.empty()) return std::nullopt;
  return line.substr(line.find(' ') + 1);
}

}  // namespace emulator
