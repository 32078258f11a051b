// Registry values that name a path in a card folder the storage manager no longer mounts: after
// the reset the card mounts as the new name, and such a path points nowhere.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "registry.h"

namespace device {

struct StaleReference {
  std::u16string keyPath;
  std::u16string name;  // empty: the key's default value
  std::u16string text;  // the string naming the old folder (one string of a REG_MULTI_SZ list)

  bool operator==(const StaleReference&) const = default;
};

// The folders cards mounted as before `changes` and no longer do after them, each once: what a
// path must start with to be stale.
std::vector<std::u16string> ReplacedFolders(const Registry& after,
                                            std::span<const ValueChange> changes);

// Whether `text` names a path in the root folder `folder`: "\<folder>" ignoring case, followed
// by the end of the text, a backslash or a character no file name holds, and standing where a
// path starts (the text's start, after a blank, a quote, "=", ";", ",", "(" or a redirection).
// "\Storage Cards\x" is not in "Storage Card", nor is "\Windows\Storage Card\x".
bool NamesPathIn(std::u16string_view text, std::u16string_view folder);

// Every REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ value outside the storage manager's profiles that
// names a path in one of `folders`, in registry order.
std::vector<StaleReference> FindStaleReferences(const Registry& registry,
                                                std::span<const std::u16string> folders);

// What a run that made `changes` leaves pointing nowhere.
std::vector<StaleReference> StaleReferencesAfter(const Registry& after,
                                                 std::span<const ValueChange> changes);

}  // namespace device
