#include "resources.h"

#include <algorithm>
#include <type_traits>
#include <variant>

#include "image_error.h"
#include "little_endian.h"
#include "pe_format.h"

namespace imagewriter {
namespace {

uint32_t TableSize(size_t entries) {
  return static_cast<uint32_t>(sizeof(pe::ResourceDirectoryTable) +
                               entries * sizeof(pe::ResourceDirectoryEntry));
}

char16_t FoldCase(char16_t unit) {
  return unit >= u'a' && unit <= u'z' ? unit - 32 : unit;
}

// How many of a table's entries are named; the rest are numbered. Languages are always numbered.
template <typename Table>
size_t NamedEntries(const Table& table) {
  if constexpr (std::is_same_v<typename Table::key_type, res::ResourceId>) {
    return std::ranges::count_if(table, [](const auto& entry) {
      return std::holds_alternative<std::u16string>(entry.first);
    });
  } else {
    return 0;
  }
}

template <typename Table>
void WriteTableHeader(std::span<uint8_t> buffer, uint32_t offset, const Table& table) {
  pe::ResourceDirectoryTable header{};
  header.NumberOfNamedEntries = static_cast<uint16_t>(NamedEntries(table));
  header.NumberOfIdEntries = static_cast<uint16_t>(table.size() - NamedEntries(table));
  WriteStruct(buffer, offset, header);
}

std::string Describe(const res::ResourceId& id) {
  if (const auto* number = std::get_if<uint16_t>(&id)) return std::to_string(*number);
  std::string name;
  for (char16_t unit : std::get<std::u16string>(id)) {
    name += unit < 0x80 ? Printable(std::string(1, static_cast<char>(unit))) : "?";
  }
  return "\"" + name + "\"";
}

}  // namespace

bool ResourceIdOrder::operator()(const res::ResourceId& left, const res::ResourceId& right) const {
  const auto* leftName = std::get_if<std::u16string>(&left);
  const auto* rightName = std::get_if<std::u16string>(&right);
  if (leftName == nullptr || rightName == nullptr) {
    if (leftName != nullptr || rightName != nullptr) return leftName != nullptr;
    return std::get<uint16_t>(left) < std::get<uint16_t>(right);
  }
  auto folded = std::lexicographical_compare_three_way(
      leftName->begin(), leftName->end(), rightName->begin(), rightName->end(),
      [](char16_t a, char16_t b) { return FoldCase(a) <=> FoldCase(b); });
  // Names equal but for case still need an order; the exact units give it.
  return folded != 0 ? folded < 0 : *leftName < *rightName;
}

ResourceDirectoryChunk::ResourceDirectoryChunk(TypeTable tree) : tree_(std::move(tree)) {
  // Tables in the order WriteTo writes them: the types, each type's names, each name's languages.
  uint32_t offset = TableSize(tree_.size());
  size_t resources = 0;
  for (const auto& [type, names] : tree_) offset += TableSize(names.size());
  for (const auto& [type, names] : tree_) {
    for (const auto& [name, languages] : names) {
      offset += TableSize(languages.size());
      resources += languages.size();
    }
  }
  dataEntriesOffset_ = offset;
  offset += static_cast<uint32_t>(resources * sizeof(pe::ResourceDataEntry));
  // Each string once, as a length and the UTF-16 units without a terminator.
  auto placeName = [&](const res::ResourceId& id) {
    const auto* name = std::get_if<std::u16string>(&id);
    if (name != nullptr && nameOffsets_.emplace(*name, offset).second) {
      offset += static_cast<uint32_t>(2 + 2 * name->size());
    }
  };
  for (const auto& [type, names] : tree_) {
    placeName(type);
    for (const auto& [name, languages] : names) placeName(name);
  }
  size_ = offset;
}

void ResourceDirectoryChunk::WriteEntry(std::span<uint8_t> buffer, uint32_t offset,
                                        const res::ResourceId& id, uint32_t target) const {
  pe::ResourceDirectoryEntry entry{};
  if (const auto* name = std::get_if<std::u16string>(&id)) {
    entry.Name = pe::IMAGE_RESOURCE_NAME_IS_STRING | nameOffsets_.at(*name);
  } else {
    entry.Name = std::get<uint16_t>(id);
  }
  entry.OffsetToData = target;
  WriteStruct(buffer, offset, entry);
}

void ResourceDirectoryChunk::WriteTo(std::span<uint8_t> buffer) const {
  constexpr uint32_t kHeader = sizeof(pe::ResourceDirectoryTable);
  constexpr uint32_t kEntry = sizeof(pe::ResourceDirectoryEntry);
  constexpr uint32_t kDirectory = pe::IMAGE_RESOURCE_DATA_IS_DIRECTORY;
  // Each level's tables follow the previous level's, so walking the tree level by level meets
  // the tables in the order the constructor laid them out.
  uint32_t nextTable = TableSize(tree_.size());
  WriteTableHeader(buffer, 0, tree_);
  uint32_t entry = kHeader;
  for (const auto& [type, names] : tree_) {
    WriteEntry(buffer, entry, type, kDirectory | nextTable);
    entry += kEntry;
    nextTable += TableSize(names.size());
  }
  uint32_t table = TableSize(tree_.size());
  for (const auto& [type, names] : tree_) {
    WriteTableHeader(buffer, table, names);
    entry = table + kHeader;
    for (const auto& [name, languages] : names) {
      WriteEntry(buffer, entry, name, kDirectory | nextTable);
      entry += kEntry;
      nextTable += TableSize(languages.size());
    }
    table += TableSize(names.size());
  }
  uint32_t dataEntry = dataEntriesOffset_;
  for (const auto& [type, names] : tree_) {
    for (const auto& [name, languages] : names) {
      WriteTableHeader(buffer, table, languages);
      entry = table + kHeader;
      for (const auto& [language, data] : languages) {
        WriteEntry(buffer, entry, language, dataEntry);
        entry += kEntry;
        pe::ResourceDataEntry description{};
        description.OffsetToData = data->Rva();
        description.Size = data->Size();
        WriteStruct(buffer, dataEntry, description);
        dataEntry += sizeof(pe::ResourceDataEntry);
      }
      table += TableSize(languages.size());
    }
  }
  for (const auto& [name, offset] : nameOffsets_) {
    Store16(buffer, offset, static_cast<uint16_t>(name.size()));
    for (size_t i = 0; i < name.size(); ++i) Store16(buffer, offset + 2 + 2 * i, name[i]);
  }
}

Resources BuildResources(const std::vector<res::ResourceEntry>& entries,
                         const std::string& resourceFile) {
  Resources resources;
  TypeTable tree;
  for (const res::ResourceEntry& entry : entries) {
    for (const res::ResourceId* id : {&entry.type, &entry.name}) {
      const auto* name = std::get_if<std::u16string>(id);
      if (name != nullptr && (name->empty() || name->size() > 0xFFFF)) {
        throw ImageError(resourceFile, "a resource name must have 1 to 65535 units");
      }
    }
    resources.data.push_back(std::make_unique<ResourceDataChunk>(entry.data));
    if (!tree[entry.type][entry.name].emplace(entry.language, resources.data.back().get()).second) {
      throw ImageError(resourceFile, "resource type " + Describe(entry.type) + ", name " +
                                         Describe(entry.name) + ", language " +
                                         Hex(entry.language) + " appears twice");
    }
  }
  resources.directory = std::make_unique<ResourceDirectoryChunk>(std::move(tree));
  return resources;
}

}  // namespace imagewriter
