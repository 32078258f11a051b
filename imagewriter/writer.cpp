#include "writer.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "chunks.h"
#include "image_error.h"
#include "imports.h"
#include "little_endian.h"
#include "pe_format.h"
#include "resources.h"

// The DOS program at the start of the file: assembled from dos_stub.s when the writer is built.
extern const std::span<const unsigned char> kDosStub;

namespace imagewriter {
namespace {

using namespace pe;

// Windows CE 4.20: the loader takes the subsystem version as the CE version the program needs.
constexpr uint16_t kCeMajorVersion = 4;
constexpr uint16_t kCeMinorVersion = 20;
constexpr uint32_t kStackReserve = 64 * 1024;
constexpr uint32_t kStackCommit = 4 * 1024;
constexpr uint32_t kHeapReserve = 1024 * 1024;  // not read by the loader; the usual values
constexpr uint32_t kHeapCommit = 4 * 1024;

// An executable, loaded only at kImageBase since it carries no base relocations; never a DLL,
// which the loader refuses to start.
constexpr uint16_t kImageCharacteristics =
    IMAGE_FILE_RELOCS_STRIPPED | IMAGE_FILE_EXECUTABLE_IMAGE | IMAGE_FILE_32BIT_MACHINE;
static_assert((kImageCharacteristics & IMAGE_FILE_DLL) == 0);

// Every RVA in the image has bit 31 clear, so a lookup table entry holding one imports by name.
static_assert(kImageEnd - kImageBase < IMAGE_ORDINAL_FLAG32);

// No section is discardable: the loader decommits those after resolving imports, and every
// section here (code, data, import tables, resources) is used while the program runs.
constexpr uint32_t kCodeCharacteristics =
    IMAGE_SCN_CNT_CODE | IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_MEM_READ;
constexpr uint32_t kResourceCharacteristics = IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ;
static_assert(((kCodeCharacteristics | kResourceCharacteristics) & IMAGE_SCN_MEM_DISCARDABLE) == 0);

uint32_t SectionCharacteristics(const ProgramSection& section) {
  if (section.executable) return kCodeCharacteristics;
  uint32_t contents =
      section.zeroFilled ? IMAGE_SCN_CNT_UNINITIALIZED_DATA : IMAGE_SCN_CNT_INITIALIZED_DATA;
  return contents | IMAGE_SCN_MEM_READ | (section.writable ? IMAGE_SCN_MEM_WRITE : 0);
}

struct OutputSection {
  std::string name;
  uint32_t characteristics = 0;
  std::optional<uint32_t> linkedRva;  // program sections stay where the code was linked for
  bool hasFileData = true;
  std::vector<Chunk*> chunks;
  // Assigned by Writer::AssignAddresses.
  uint32_t rva = 0;
  uint32_t virtualSize = 0;
  uint32_t pointerToRawData = 0;
  uint32_t sizeOfRawData = 0;
};

class Writer {
 public:
  explicit Writer(const ImageInputs& inputs) : in_(inputs) {}

  // Pass one gives every chunk its address; pass two writes the bytes, each chunk into its place.
  std::vector<uint8_t> Run() {
    BuildImports();
    CreateSections();
    BuildResources();
    AssignAddresses();
    std::vector<uint8_t> file(fileSize_);
    WriteHeaders(file);
    WriteSections(file);
    WriteChecksum(file);
    return file;
  }

 private:
  void BuildImports() {
    imports_ = imagewriter::BuildImports(in_.program.importSlots, in_.imports, in_.programFile,
                                         in_.importListFile);
  }

  // One image section per program section, at its linked address. The import address table is
  // carved out of the section that reserved it, and the rest of the import directory is put
  // after that section's data.
  void CreateSections() {
    for (const ProgramSection& section : in_.program.sections) {
      OutputSection& out = sections_.emplace_back();
      out.name = section.name;
      out.characteristics = SectionCharacteristics(section);
      out.linkedRva = section.address - kImageBase;
      out.hasFileData = !section.zeroFilled;
      if (section.zeroFilled) {
        out.chunks.push_back(Own(std::make_unique<ZeroFillChunk>(section.size)));
        continue;
      }
      uint32_t tableStart = imports_.Empty() ? 0 : in_.program.importSlots.front().address;
      if (imports_.Empty() || tableStart - section.address >= section.size) {
        AddProgramBytes(out, section.contents);
        continue;
      }
      uint32_t before = tableStart - section.address;
      uint32_t after = before + imports_.addressTable->Size();
      AddProgramBytes(out, section.contents.first(before));
      out.chunks.push_back(imports_.addressTable.get());
      AddProgramBytes(out, section.contents.subspan(after));
      std::ranges::copy(imports_.DirectoryChunks(), std::back_inserter(out.chunks));
    }
  }

  void BuildResources() {
    resources_ = imagewriter::BuildResources(in_.resources, in_.resourceFile);
    OutputSection& out = sections_.emplace_back();
    out.name = ".rsrc";
    out.characteristics = kResourceCharacteristics;
    out.chunks.push_back(resources_.directory.get());
    for (const auto& data : resources_.data) out.chunks.push_back(data.get());
  }

  // Pass one: every chunk gets its RVA and every section its place in memory and in the file.
  void AssignAddresses() {
    headerSize_ = DosHeaderAndStubSize() + kNtHeadersSize +
                  static_cast<uint32_t>(sections_.size() * sizeof(SectionHeader));
    if (headerSize_ > kSectionAlignment) {
      throw ImageError(in_.programFile, "has too many sections for the headers' page");
    }
    uint32_t fileOffset = AlignTo(headerSize_, kFileAlignment);
    uint32_t end = kSectionAlignment;  // the headers' page
    const OutputSection* previous = nullptr;
    for (OutputSection& section : sections_) {
      section.rva = section.linkedRva.value_or(AlignTo(end, kSectionAlignment));
      if (section.rva < end) {
        throw ImageError(in_.programFile, "the import directory after " + previous->name +
                                              " runs into " + section.name + " at " +
                                              Hex(kImageBase + section.rva) +
                                              "; leave room for it when linking");
      }
      uint32_t offset = 0;
      for (Chunk* chunk : section.chunks) {
        offset = AlignTo(offset, chunk->Alignment());
        chunk->SetRva(section.rva + offset);
        offset += chunk->Size();
      }
      section.virtualSize = offset;
      section.sizeOfRawData = section.hasFileData ? AlignTo(offset, kFileAlignment) : 0;
      section.pointerToRawData = section.sizeOfRawData != 0 ? fileOffset : 0;
      fileOffset += section.sizeOfRawData;
      end = section.rva + offset;
      previous = &section;
    }
    if (kImageBase + uint64_t{end} > kImageEnd) {
      throw ImageError(in_.resourceFile, "the resources end past " + Hex(kImageEnd) +
                                             ", outside the process's address slot");
    }
    sizeOfImage_ = AlignTo(end, kSectionAlignment);
    fileSize_ = fileOffset;
    // The thunks load from the slots' linked addresses; the layout must have kept them there.
    if (!imports_.Empty() &&
        imports_.addressTable->Rva() != in_.program.importSlots.front().address - kImageBase) {
      throw std::logic_error("image writer: the import address table moved");
    }
  }

  static uint32_t DosHeaderAndStubSize() {
    return AlignTo(static_cast<uint32_t>(sizeof(DosHeader) + kDosStub.size()), 8);
  }

  // Pass two: the headers, from the addresses pass one settled.
  void WriteHeaders(std::span<uint8_t> file) const {
    const uint32_t ntHeaders = DosHeaderAndStubSize();
    WriteDosHeader(file, ntHeaders);
    Store32(file, ntHeaders, IMAGE_NT_SIGNATURE);

    FileHeader header{};
    header.Machine = IMAGE_FILE_MACHINE_ARM;
    header.NumberOfSections = static_cast<uint16_t>(sections_.size());
    header.TimeDateStamp = in_.timeStamp;
    header.SizeOfOptionalHeader = sizeof(OptionalHeader32);
    header.Characteristics = kImageCharacteristics;
    WriteStruct(file, ntHeaders + sizeof(uint32_t), header);
    WriteStruct(file, ntHeaders + sizeof(uint32_t) + sizeof(FileHeader), OptionalHeader());

    uint32_t table = ntHeaders + kNtHeadersSize;
    for (const OutputSection& section : sections_) {
      SectionHeader entry{};
      std::memcpy(entry.Name, section.name.data(),
                  std::min(section.name.size(), sizeof entry.Name));
      entry.VirtualSize = section.virtualSize;
      entry.VirtualAddress = section.rva;
      entry.SizeOfRawData = section.sizeOfRawData;
      entry.PointerToRawData = section.pointerToRawData;
      entry.Characteristics = section.characteristics;
      WriteStruct(file, table, entry);
      table += sizeof(SectionHeader);
    }
  }

  // A DOS header whose program, the stub right after it, says that the file is not for DOS.
  static void WriteDosHeader(std::span<uint8_t> file, uint32_t ntHeaders) {
    const auto dosImage = static_cast<uint32_t>(sizeof(DosHeader) + kDosStub.size());
    DosHeader dos{};
    dos.e_magic = IMAGE_DOS_SIGNATURE;
    dos.e_cblp = static_cast<uint16_t>(dosImage % 512);  // bytes in the last 512-byte page
    dos.e_cp = static_cast<uint16_t>((dosImage + 511) / 512);
    dos.e_cparhdr = sizeof(DosHeader) / 16;  // the stub starts right after the header
    dos.e_minalloc = 0x10;                   // 256 bytes for the stack below SS:SP
    dos.e_maxalloc = 0xFFFF;
    dos.e_sp = 0x100;
    dos.e_lfarlc = sizeof(DosHeader);  // no DOS relocations
    dos.e_lfanew = ntHeaders;
    WriteStruct(file, 0, dos);
    std::ranges::copy(kDosStub, Slice(file, sizeof(DosHeader), kDosStub.size()).begin());
  }

  OptionalHeader32 OptionalHeader() const {
    OptionalHeader32 header{};
    header.Magic = IMAGE_NT_OPTIONAL_HDR32_MAGIC;
    uint32_t code = 0, data = 0, zeroed = 0;
    for (const OutputSection& section : sections_) {
      if (section.characteristics & IMAGE_SCN_CNT_CODE) code += section.sizeOfRawData;
      if (section.characteristics & IMAGE_SCN_CNT_INITIALIZED_DATA) data += section.sizeOfRawData;
      if (section.characteristics & IMAGE_SCN_CNT_UNINITIALIZED_DATA) {
        zeroed += AlignTo(section.virtualSize, kFileAlignment);
      }
    }
    header.SizeOfCode = code;
    header.SizeOfInitializedData = data;
    header.SizeOfUninitializedData = zeroed;
    header.AddressOfEntryPoint = in_.program.entry - kImageBase;
    header.BaseOfCode = FirstRva(true);
    header.BaseOfData = FirstRva(false);
    header.ImageBase = kImageBase;
    header.SectionAlignment = kSectionAlignment;
    header.FileAlignment = kFileAlignment;
    header.MajorOperatingSystemVersion = kCeMajorVersion;
    header.MinorOperatingSystemVersion = kCeMinorVersion;
    header.MajorSubsystemVersion = kCeMajorVersion;
    header.MinorSubsystemVersion = kCeMinorVersion;
    header.SizeOfImage = sizeOfImage_;
    header.SizeOfHeaders = AlignTo(headerSize_, kFileAlignment);
    header.Subsystem = IMAGE_SUBSYSTEM_WINDOWS_CE_GUI;
    header.SizeOfStackReserve = kStackReserve;
    header.SizeOfStackCommit = kStackCommit;
    header.SizeOfHeapReserve = kHeapReserve;
    header.SizeOfHeapCommit = kHeapCommit;
    header.NumberOfRvaAndSizes = IMAGE_NUMBEROF_DIRECTORY_ENTRIES;
    if (!imports_.Empty()) {
      header.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT] = {imports_.descriptors->Rva(),
                                                            imports_.descriptors->Size()};
      header.DataDirectory[IMAGE_DIRECTORY_ENTRY_IAT] = {imports_.addressTable->Rva(),
                                                         imports_.addressTable->Size()};
    }
    const OutputSection& resources = sections_.back();
    header.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE] = {resources.rva, resources.virtualSize};
    // With a COM descriptor the loader would start the program as managed code.
    header.DataDirectory[IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR] = {0, 0};
    return header;
  }

  uint32_t FirstRva(bool code) const {
    auto section = std::ranges::find_if(sections_, [&](const OutputSection& s) {
      return ((s.characteristics & IMAGE_SCN_CNT_CODE) != 0) == code;
    });
    return section == sections_.end() ? 0 : section->rva;
  }

  void WriteSections(std::span<uint8_t> file) const {
    for (const OutputSection& section : sections_) {
      if (!section.hasFileData) continue;
      std::span<uint8_t> raw = Slice(file, section.pointerToRawData, section.sizeOfRawData);
      for (const Chunk* chunk : section.chunks) {
        chunk->WriteTo(Slice(raw, chunk->Rva() - section.rva, chunk->Size()));
      }
    }
  }

  static void WriteChecksum(std::span<uint8_t> file) {
    const uint32_t field = DosHeaderAndStubSize() + sizeof(uint32_t) + sizeof(FileHeader) +
                           offsetof(OptionalHeader32, CheckSum);
    Store32(file, field, ImageChecksum(file, field));
  }

  void AddProgramBytes(OutputSection& section, std::span<const uint8_t> bytes) {
    if (!bytes.empty()) section.chunks.push_back(Own(std::make_unique<ProgramBytesChunk>(bytes)));
  }

  Chunk* Own(std::unique_ptr<Chunk> chunk) {
    return programChunks_.emplace_back(std::move(chunk)).get();
  }

  const ImageInputs& in_;
  Imports imports_;
  Resources resources_;
  std::vector<std::unique_ptr<Chunk>> programChunks_;
  std::vector<OutputSection> sections_;
  uint32_t headerSize_ = 0;
  uint32_t sizeOfImage_ = 0;
  uint32_t fileSize_ = 0;
};

}  // namespace

std::vector<uint8_t> WriteImage(const ImageInputs& inputs) {
  return Writer(inputs).Run();
}

}  // namespace imagewriter
