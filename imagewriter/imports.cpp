#include "imports.h"

#include "image_error.h"
#include "little_endian.h"
#include "pe_format.h"

namespace imagewriter {

uint32_t HintNameChunk::Size() const {
  // The hint, the name and its NUL, padded to an even size so that the next entry is aligned.
  return AlignTo(static_cast<uint32_t>(2 + name_.size() + 1), 2);
}

void HintNameChunk::WriteTo(std::span<uint8_t> buffer) const {
  Store16(buffer, 0, hint_);
  std::ranges::copy(name_, buffer.begin() + 2);
}

uint32_t LookupTableChunk::Size() const {
  return static_cast<uint32_t>(4 * (entries_.size() + 1));
}

void LookupTableChunk::WriteTo(std::span<uint8_t> buffer) const {
  for (size_t i = 0; i < entries_.size(); ++i) {
    // An RVA has bit 31 (IMAGE_ORDINAL_FLAG32) clear: imported by name, through this entry.
    Store32(buffer, 4 * i, entries_[i]->Rva());
  }
}

void StringChunk::WriteTo(std::span<uint8_t> buffer) const {
  std::ranges::copy(text_, buffer.begin());
}

uint32_t ImportDescriptorChunk::Size() const {
  return 2 * sizeof(pe::ImportDescriptor);
}

void ImportDescriptorChunk::WriteTo(std::span<uint8_t> buffer) const {
  pe::ImportDescriptor descriptor{};
  // The device's loader walks the lookup table, not the address table: without
  // OriginalFirstThunk it would take this descriptor for the end of the list.
  descriptor.OriginalFirstThunk = lookupTable_.Rva();
  descriptor.Name = libraryName_.Rva();
  descriptor.FirstThunk = addressTable_.Rva();
  WriteStruct(buffer, 0, descriptor);
}

std::vector<Chunk*> Imports::DirectoryChunks() const {
  if (Empty()) return {};
  std::vector<Chunk*> chunks{descriptors.get(), lookupTable.get()};
  for (const auto& hintName : hintNames) chunks.push_back(hintName.get());
  chunks.push_back(libraryName.get());
  return chunks;
}

Imports BuildImports(const std::vector<ImportSlot>& slots, const ImportList& list,
                     const std::string& programFile, const std::string& listFile) {
  Imports imports;
  if (slots.empty()) return imports;
  std::vector<const HintNameChunk*> entries;
  for (const ImportSlot& slot : slots) {
    auto known = list.ordinals.find(slot.routine);
    if (known == list.ordinals.end()) {
      throw ImageError(programFile, "imports " + Printable(slot.routine) + ", which " + listFile +
                                        " does not list");
    }
    imports.hintNames.push_back(std::make_unique<HintNameChunk>(known->second, slot.routine));
    entries.push_back(imports.hintNames.back().get());
  }
  imports.lookupTable = std::make_unique<LookupTableChunk>(entries);
  imports.addressTable = std::make_unique<LookupTableChunk>(entries);
  imports.libraryName = std::make_unique<StringChunk>(list.library);
  imports.descriptors = std::make_unique<ImportDescriptorChunk>(
      *imports.lookupTable, *imports.addressTable, *imports.libraryName);
  return imports;
}

}  // namespace imagewriter
