// The resource section: the resource directory tree (type, then name, then language) followed by
// the resources' data, each exactly as the compiled resource file holds it.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "chunks.h"
#include "res_file.h"

namespace imagewriter {

// One resource's data.
class ResourceDataChunk : public Chunk {
 public:
  explicit ResourceDataChunk(std::span<const uint8_t> data) : data_(data) {}

  uint32_t Size() const override { return static_cast<uint32_t>(data_.size()); }
  // Version resources align their blocks to 4 bytes from the resource's start.
  uint32_t Alignment() const override { return 4; }
  void WriteTo(std::span<uint8_t> buffer) const override {
    std::ranges::copy(data_, buffer.begin());
  }

 private:
  std::span<const uint8_t> data_;
};

// The order of entries in one directory table: named entries first, in ascending order of their
// names compared without regard to case, then numbered entries in ascending order.
struct ResourceIdOrder {
  bool operator()(const res::ResourceId& left, const res::ResourceId& right) const;
};

using LanguageTable = std::map<uint16_t, const ResourceDataChunk*>;
using NameTable = std::map<res::ResourceId, LanguageTable, ResourceIdOrder>;
using TypeTable = std::map<res::ResourceId, NameTable, ResourceIdOrder>;

// The whole directory tree: every directory table (the types; the names of each type; the
// languages of each name), then the data entries, then the strings of named types and names.
// Offsets inside the tree count from its start, which is the start of the resource section.
class ResourceDirectoryChunk : public Chunk {
 public:
  explicit ResourceDirectoryChunk(TypeTable tree);

  uint32_t Size() const override { return size_; }
  uint32_t Alignment() const override { return 4; }
  void WriteTo(std::span<uint8_t> buffer) const override;

 private:
  void WriteEntry(std::span<uint8_t> buffer, uint32_t offset, const res::ResourceId& id,
                  uint32_t target) const;

  TypeTable tree_;
  uint32_t dataEntriesOffset_ = 0;
  std::map<std::u16string, uint32_t> nameOffsets_;
  uint32_t size_ = 0;
};

struct Resources {
  std::vector<std::unique_ptr<ResourceDataChunk>> data;
  std::unique_ptr<ResourceDirectoryChunk> directory;
};

// The resource section's pieces for `entries`, which point into the compiled resource file.
// Two entries with the same type, name and language are refused, naming `resourceFile`.
Resources BuildResources(const std::vector<res::ResourceEntry>& entries,
                         const std::string& resourceFile);

}  // namespace imagewriter
