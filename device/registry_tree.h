// The registry as the enumeration routines walk it: every key with its subkeys and values in the
// order of the registry file, the keys a subkey's section implies and the four roots included.
// Taken from the registry once and made again after a value is set.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "registry.h"

namespace device {

class RegistryTree {
 public:
  struct Key {
    std::u16string name;  // the last component of its path, as the file spells it
    std::vector<size_t> subkeys;
    std::vector<RegValue> values;
  };

  explicit RegistryTree(const Registry& registry);

  // The key at a full path ("HKEY_LOCAL_MACHINE\Ident"), compared ignoring case; null if none.
  const Key* Find(std::u16string_view path) const;
  const Key& Subkey(const Key& key, size_t index) const { return keys_[key.subkeys[index]]; }

 private:
  size_t Add(std::u16string_view path);

  std::vector<Key> keys_;
  std::unordered_map<std::u16string, size_t> index_;  // folded full path -> key
};

}  // namespace device
