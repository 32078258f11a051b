#include "storage_manager.h"

#include <algorithm>
#include <array>

#include "binary.h"

namespace device {
namespace {

constexpr std::u16string_view kBuiltInFolder = u"Mounted Volume";
constexpr size_t kFolderUnits = 32;  // the storage manager's buffer for the name

using FolderBuffer = std::array<char16_t, kFolderUnits>;

// The storage manager's read of a string value: a REG_SZ that fits is copied byte for byte over
// what the buffer held, with no terminator added; anything else clears the first unit and fails.
bool ReadFolder(const RegValue* value, FolderBuffer& buffer) {
  if (value == nullptr || value->type != kRegSz || value->data.size() > sizeof buffer) {
    buffer[0] = 0;
    return false;
  }
  std::vector<uint8_t> bytes;
  binary::AppendUtf16(bytes, {buffer.data(), buffer.size()});
  std::ranges::copy(value->data, bytes.begin());
  std::ranges::copy(binary::Utf16Units(bytes), buffer.begin());
  return true;
}

// The value as it is, or as it was before `undone` when they changed it.
const RegValue* ValueBefore(const Registry& registry, std::span<const ValueChange> undone,
                            std::u16string_view keyPath, std::u16string_view name) {
  for (const ValueChange& change : undone) {
    if (EqualsIgnoringCase(change.keyPath, keyPath) && EqualsIgnoringCase(change.name, name)) {
      return change.before ? &*change.before : nullptr;
    }
  }
  return registry.FindValue(keyPath, name);
}

}  // namespace

std::u16string ProfileKeyPath(std::u16string_view profile) {
  return std::u16string(kProfilesKey) + u'\\' + std::u16string(profile);
}

// The profile's own value, else the one all profiles share, else the built-in name, each read
// into the same buffer, which starts as the built-in name. Only keys that exist are read; a change
// sets values in keys that exist, so undoing it leaves the keys as they are.
std::u16string MountFolder(const Registry& registry, std::u16string_view profile,
                           std::span<const ValueChange> undone) {
  FolderBuffer buffer{};
  std::ranges::copy(kBuiltInFolder, buffer.begin());
  const std::u16string profileKey = ProfileKeyPath(profile);
  if (!registry.KeyExists(kProfilesKey)) return std::u16string(kBuiltInFolder);
  const bool own = registry.KeyExists(profileKey) &&
                   ReadFolder(ValueBefore(registry, undone, profileKey, u"Folder"), buffer);
  if (!own && !ReadFolder(ValueBefore(registry, undone, kProfilesKey, u"Folder"), buffer)) {
    std::ranges::copy(kBuiltInFolder, buffer.begin());
    buffer[kBuiltInFolder.size()] = 0;
  }
  const auto end = std::ranges::find(buffer, u'\0');  // a name filling the buffer runs to its end
  return std::u16string(buffer.begin(), end);
}

}  // namespace device
