// The import directory for the one library the image imports from: a descriptor table, the import
// lookup table, one hint/name entry per routine and the library's name. The import address table
// is a second lookup table; it goes where the linked program reserved it, because the import
// thunks load from those addresses.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "chunks.h"
#include "import_list.h"
#include "linked_program.h"

namespace imagewriter {

// A routine imported by name: the hint (here the export ordinal) and the name.
class HintNameChunk : public Chunk {
 public:
  HintNameChunk(uint16_t hint, std::string name) : hint_(hint), name_(std::move(name)) {}

  uint32_t Size() const override;
  uint32_t Alignment() const override { return 2; }
  void WriteTo(std::span<uint8_t> buffer) const override;

 private:
  uint16_t hint_;
  std::string name_;
};

// A zero-terminated table of hint/name RVAs. As the import lookup table the loader reads it; as
// the import address table it holds the same words until the loader overwrites each with the
// routine's address.
class LookupTableChunk : public Chunk {
 public:
  explicit LookupTableChunk(std::vector<const HintNameChunk*> entries)
      : entries_(std::move(entries)) {}

  uint32_t Size() const override;
  uint32_t Alignment() const override { return 4; }
  void WriteTo(std::span<uint8_t> buffer) const override;

 private:
  std::vector<const HintNameChunk*> entries_;
};

// A NUL-terminated ASCII string.
class StringChunk : public Chunk {
 public:
  explicit StringChunk(std::string text) : text_(std::move(text)) {}

  uint32_t Size() const override { return static_cast<uint32_t>(text_.size() + 1); }
  uint32_t Alignment() const override { return 2; }
  void WriteTo(std::span<uint8_t> buffer) const override;

 private:
  std::string text_;
};

// The library's import descriptor and the all-zero descriptor that ends the table.
class ImportDescriptorChunk : public Chunk {
 public:
  ImportDescriptorChunk(const LookupTableChunk& lookupTable, const LookupTableChunk& addressTable,
                        const StringChunk& libraryName)
      : lookupTable_(lookupTable), addressTable_(addressTable), libraryName_(libraryName) {}

  uint32_t Size() const override;
  uint32_t Alignment() const override { return 4; }
  void WriteTo(std::span<uint8_t> buffer) const override;

 private:
  const LookupTableChunk& lookupTable_;
  const LookupTableChunk& addressTable_;
  const StringChunk& libraryName_;
};

struct Imports {
  std::vector<std::unique_ptr<HintNameChunk>> hintNames;
  std::unique_ptr<LookupTableChunk> lookupTable;
  std::unique_ptr<LookupTableChunk> addressTable;
  std::unique_ptr<StringChunk> libraryName;
  std::unique_ptr<ImportDescriptorChunk> descriptors;

  bool Empty() const { return addressTable == nullptr; }
  // The pieces placed after the program's data, in their order there.
  std::vector<Chunk*> DirectoryChunks() const;
};

// The imports for the program's import slots, in slot order. A routine the import list does not
// know is refused, naming `programFile`.
Imports BuildImports(const std::vector<ImportSlot>& slots, const ImportList& list,
                     const std::string& programFile, const std::string& listFile);

}  // namespace imagewriter
