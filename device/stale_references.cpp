#include "stale_references.h"

#include <algorithm>

#include "storage_manager.h"

namespace device {
namespace {

// Where a path may begin inside a longer text: a command line, a list, an assignment.
bool StartsPath(char16_t before) {
  return std::u16string_view(u" \t\"'=;,(<>|").find(before) != std::u16string_view::npos;
}

// What may follow a folder's name for it to be the whole name: a file name holds none of these.
bool EndsComponent(char16_t after) {
  return after < 0x20 ||
         std::u16string_view(u"\\/:*?\"<>|;,)'").find(after) != std::u16string_view::npos;
}

bool InProfiles(std::u16string_view keyPath) {
  return keyPath.size() >= kProfilesKey.size() &&
         EqualsIgnoringCase(keyPath.substr(0, kProfilesKey.size()), kProfilesKey) &&
         (keyPath.size() == kProfilesKey.size() || keyPath[kProfilesKey.size()] == u'\\');
}

// The strings a value holds: one for REG_SZ and REG_EXPAND_SZ (up to its terminator), each of a
// REG_MULTI_SZ list; none for other types. An odd last byte is not part of any unit.
std::vector<std::u16string> Strings(const RegValue& value) {
  if (value.type != kRegSz && value.type != kRegExpandSz && value.type != kRegMultiSz) return {};
  std::u16string units;
  for (size_t i = 0; i + 1 < value.data.size(); i += 2) {
    units += static_cast<char16_t>(value.data[i] | value.data[i + 1] << 8);
  }
  std::vector<std::u16string> strings;
  for (size_t begin = 0; begin < units.size();) {
    const size_t end = std::min(units.find(u'\0', begin), units.size());
    if (end > begin) strings.push_back(units.substr(begin, end - begin));
    if (value.type != kRegMultiSz) break;
    begin = end + 1;
  }
  return strings;
}

}  // namespace

std::vector<std::u16string> ReplacedFolders(const Registry& after,
                                            std::span<const ValueChange> changes) {
  std::vector<std::u16string> folders;
  for (std::u16string_view profile : kCardProfiles) {
    std::u16string before = MountFolder(after, profile, changes);
    const bool known = std::ranges::any_of(
        folders, [&](const std::u16string& folder) { return EqualsIgnoringCase(folder, before); });
    // An empty name would make every root path stale; the storage manager mounts such a card at
    // the root's own name, which no path spells.
    if (!before.empty() && !known && !EqualsIgnoringCase(before, MountFolder(after, profile))) {
      folders.push_back(std::move(before));
    }
  }
  return folders;
}

bool NamesPathIn(std::u16string_view text, std::u16string_view folder) {
  for (size_t at = text.find(u'\\'); at != std::u16string_view::npos;
       at = text.find(u'\\', at + 1)) {
    if (at > 0 && !StartsPath(text[at - 1])) continue;
    const size_t end = at + 1 + folder.size();
    if (end > text.size() || !EqualsIgnoringCase(text.substr(at + 1, folder.size()), folder)) {
      continue;
    }
    if (end == text.size() || EndsComponent(text[end])) return true;
  }
  return false;
}

std::vector<StaleReference> FindStaleReferences(const Registry& registry,
                                                std::span<const std::u16string> folders) {
  std::vector<StaleReference> stale;
  if (folders.empty()) return stale;
  registry.ForEachValue([&](std::u16string_view keyPath, const RegValue& value) {
    if (InProfiles(keyPath)) return;
    for (std::u16string& text : Strings(value)) {
      const bool names = std::ranges::any_of(
          folders, [&](const std::u16string& folder) { return NamesPathIn(text, folder); });
      if (names) stale.push_back({std::u16string(keyPath), value.name, std::move(text)});
    }
  });
  return stale;
}

std::vector<StaleReference> StaleReferencesAfter(const Registry& after,
                                                 std::span<const ValueChange> changes) {
  return FindStaleReferences(after, ReplacedFolders(after, changes));
}

}  // namespace device
