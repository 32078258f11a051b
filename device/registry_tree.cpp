#include "registry_tree.h"

#include <algorithm>

#include "reg_text.h"

namespace device {
namespace {

std::u16string FoldedPath(std::u16string_view path) {
  std::u16string folded(path);
  std::ranges::transform(folded, folded.begin(), FoldCase);
  return folded;
}

}  // namespace

RegistryTree::RegistryTree(const Registry& registry) {
  for (std::u16string_view root :
       {u"HKEY_CLASSES_ROOT", u"HKEY_CURRENT_USER", u"HKEY_LOCAL_MACHINE", u"HKEY_USERS"}) {
    Add(root);
  }
  for (RegKey& key : registry.Keys()) keys_[Add(key.path)].values = std::move(key.values);
}

// The key at `path`, made with the keys above it when it is not there yet.
size_t RegistryTree::Add(std::u16string_view path) {
  const std::u16string folded = FoldedPath(path);
  if (auto found = index_.find(folded); found != index_.end()) return found->second;
  const size_t split = path.rfind(u'\\');
  const size_t parent = split == std::u16string_view::npos ? SIZE_MAX : Add(path.substr(0, split));
  keys_.push_back(
      Key{std::u16string(path.substr(split == std::u16string_view::npos ? 0 : split + 1)), {}, {}});
  const size_t index = keys_.size() - 1;
  if (parent != SIZE_MAX) keys_[parent].subkeys.push_back(index);
  index_.emplace(folded, index);
  return index;
}

const RegistryTree::Key* RegistryTree::Find(std::u16string_view path) const {
  auto found = index_.find(FoldedPath(path));
  return found == index_.end() ? nullptr : &keys_[found->second];
}

}  // namespace device
