#include "storage_manager.h"

namespace device {
namespace {

constexpr std::u16string_view kBuiltInFolder = u"Mounted Volume";

// The text of a REG_SZ value, or nothing when the value is not text the storage manager takes.
std::optional<std::u16string> FolderText(const RegValue* value) {
  if (value == nullptr || value->type != kRegSz || value->data.size() < 2 ||
      value->data.size() % 2 != 0) {
    return std::nullopt;
  }
  std::u16string text;
  for (size_t i = 0; i + 1 < value->data.size(); i += 2) {
    char16_t unit = static_cast<char16_t>(value->data[i] | value->data[i + 1] << 8);
    if (unit == 0) break;
    text.push_back(unit);
  }
  if (text.empty()) return std::nullopt;
  return text;
}

}  // namespace

std::u16string ProfileKeyPath(std::u16string_view profile) {
  return std::u16string(kProfilesKey) + u'\\' + std::u16string(profile);
}

std::u16string MountFolder(const Registry& registry, std::u16string_view profile) {
  if (auto own = FolderText(registry.FindValue(ProfileKeyPath(profile), u"Folder"))) return *own;
  if (auto shared = FolderText(registry.FindValue(kProfilesKey, u"Folder"))) return *shared;
  return std::u16string(kBuiltInFolder);
}

}  // namespace device
