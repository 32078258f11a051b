// The object store's volume: a tree of folders and files in memory, in the order they were made.
#include <algorithm>

#include "reg_text.h"
#include "volume.h"

namespace device {
namespace {

struct Entry {
  std::u16string name;
  bool folder = false;
  std::vector<uint8_t> data;
  std::vector<Entry> children;
};

class MemoryVolume : public Volume {
 public:
  explicit MemoryVolume(std::span<const std::u16string_view> rootFolders) {
    root_.folder = true;
    for (std::u16string_view name : rootFolders) {
      root_.children.push_back(Entry{std::u16string(name), true, {}, {}});
    }
  }

  std::optional<std::u16string> Find(const VolumePath& folder, std::u16string_view name) override {
    Entry* parent = At(folder);
    if (parent == nullptr) return std::nullopt;
    auto found = Child(*parent, name);
    if (found == parent->children.end()) return std::nullopt;
    return found->name;
  }

  EntryKind Kind(const VolumePath& path) override {
    const Entry* entry = At(path);
    if (entry == nullptr) return EntryKind::kNone;
    return entry->folder ? EntryKind::kFolder : EntryKind::kFile;
  }

  LONG MakeFolder(const VolumePath& path) override {
    Entry* parent = Parent(path);
    if (parent == nullptr) return kErrorPathNotFound;
    if (Child(*parent, path.back()) != parent->children.end()) return kErrorAlreadyExists;
    parent->children.push_back(Entry{path.back(), true, {}, {}});
    return 0;
  }

  LONG RemoveFolder(const VolumePath& path) override {
    Entry* parent = Parent(path);
    if (parent == nullptr) return kErrorPathNotFound;
    auto found = Child(*parent, path.back());
    if (found == parent->children.end()) return kErrorFileNotFound;
    if (!found->folder) return kErrorAccessDenied;
    if (!found->children.empty()) return kErrorDirNotEmpty;
    parent->children.erase(found);
    return 0;
  }

  LONG RemoveFile(const VolumePath& path) override {
    Entry* parent = Parent(path);
    if (parent == nullptr) return kErrorPathNotFound;
    auto found = Child(*parent, path.back());
    if (found == parent->children.end()) return kErrorFileNotFound;
    if (found->folder) return kErrorAccessDenied;
    parent->children.erase(found);
    return 0;
  }

  LONG Rename(const VolumePath& from, const VolumePath& to) override {
    if (to.size() > from.size() &&
        std::equal(from.begin(), from.end(), to.begin(),
                   [](auto& a, auto& b) { return EqualsIgnoringCase(a, b); })) {
      return kErrorAccessDenied;  // a folder into itself
    }
    Entry* source = Parent(from);
    Entry* target = Parent(to);
    if (source == nullptr || target == nullptr) return kErrorPathNotFound;
    auto found = Child(*source, from.back());
    if (found == source->children.end()) return kErrorFileNotFound;
    if (Child(*target, to.back()) != target->children.end()) return kErrorAlreadyExists;
    Entry moved = std::move(*found);
    moved.name = to.back();
    source->children.erase(found);
    // `target` may have moved with the erase when it lies in the same vector.
    Parent(to)->children.push_back(std::move(moved));
    return 0;
  }

  LONG Read(const VolumePath& path, size_t limit, std::vector<uint8_t>& bytes) override {
    const Entry* entry = At(path);
    if (entry == nullptr) return kErrorFileNotFound;
    if (entry->folder || entry->data.size() > limit) return kErrorAccessDenied;
    bytes = entry->data;
    return 0;
  }

  LONG Write(const VolumePath& path, std::span<const uint8_t> bytes) override {
    Entry* parent = Parent(path);
    if (parent == nullptr) return kErrorPathNotFound;
    auto found = Child(*parent, path.back());
    if (found == parent->children.end()) {
      parent->children.push_back(Entry{path.back(), false, {}, {}});
      found = parent->children.end() - 1;
    }
    if (found->folder) return kErrorAccessDenied;
    found->data.assign(bytes.begin(), bytes.end());
    return 0;
  }

 private:
  static std::vector<Entry>::iterator Child(Entry& parent, std::u16string_view name) {
    auto& children = parent.children;
    auto exact = std::ranges::find(children, name, &Entry::name);
    if (exact != children.end()) return exact;
    return std::ranges::find_if(
        children, [&](const Entry& entry) { return EqualsIgnoringCase(entry.name, name); });
  }

  Entry* At(const VolumePath& path) {
    Entry* entry = &root_;
    for (const std::u16string& name : path) {
      if (!entry->folder) return nullptr;
      auto found = Child(*entry, name);
      if (found == entry->children.end()) return nullptr;
      entry = &*found;
    }
    return entry;
  }

  Entry* Parent(const VolumePath& path) {
    if (path.empty()) return nullptr;
    Entry* parent = At(VolumePath(path.begin(), path.end() - 1));
    return parent != nullptr && parent->folder ? parent : nullptr;
  }

  Entry root_;
};

}  // namespace

std::unique_ptr<Volume> MakeMemoryVolume(std::span<const std::u16string_view> rootFolders) {
  return std::make_unique<MemoryVolume>(rootFolders);
}

}  // namespace device
