// What the storage manager makes of the card profiles in the registry.
#pragma once

#include <array>
#include <span>
#include <string>
#include <string_view>

#include "registry.h"

namespace device {

inline constexpr std::u16string_view kProfilesKey =
    u"HKEY_LOCAL_MACHINE\\System\\StorageManager\\Profiles";

// The removable-card profiles, in the order the update handles them.
inline constexpr std::array<std::u16string_view, 3> kCardProfiles = {u"MMC", u"PCMCIA",
                                                                     u"SDMemory"};

// The full registry path of a profile's key.
std::u16string ProfileKeyPath(std::u16string_view profile);

// The folder a card of this profile is mounted as at the next mount, as the storage manager reads
// "Folder": the profile's own value, else the one all profiles share, else the built-in name. A
// value is copied as raw bytes over what its buffer held, so one without a terminator keeps the
// tail of the name before it; an empty string is a valid name; a value of another type is skipped.
// With `undone`, the folder as it was before those changes were made to the registry.
std::u16string MountFolder(const Registry& registry, std::u16string_view profile,
                           std::span<const ValueChange> undone = {});

}  // namespace device
