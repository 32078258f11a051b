#include "image_loader.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <string_view>
#include <utility>

#include "base_relocations.h"
#include "binary.h"
#include "coredll_exports.h"
#include "pe_format.h"

namespace emulator {
namespace {

using namespace pe;
using binary::Hex;
using binary::Printable;

constexpr uint32_t kPageSize = 0x1000;
constexpr uint32_t kLoadBase = 0x10000;  // where an image that keeps its relocations is loaded
constexpr uint32_t kHighestFixedBase = 0x400000;  // the last base an image without them may have
// Windows CE 4.20: the newest subsystem version the device starts.
constexpr std::pair<uint16_t, uint16_t> kDeviceVersion{4, 20};
// The main thread's stack: SizeOfStackReserve counts from version 2.2, page-rounded and clamped.
constexpr std::pair<uint16_t, uint16_t> kStackReserveVersion{2, 2};
constexpr uint32_t kDefaultStack = 64 * 1024;
constexpr uint32_t kMinStack = 16 * 1024;  // twice the ARM kernel's smallest reserve
constexpr uint32_t kMaxStack = 1024 * 1024;
constexpr int kResourceLevels = 3;
constexpr const char* kResourceLevelNames[kResourceLevels] = {"type", "name", "language"};

uint64_t AlignUp(uint64_t value, uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

template <typename T>
T ReadAt(std::span<const uint8_t> bytes, uint64_t offset) {
  T value;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

// ARMv4 and ARMv5 pages have no execute-never bit: every mapped page can be executed. The
// protection kept here is what the section asks for; the emulator notes fetches outside code.
uint32_t SectionProtection(uint32_t characteristics) {
  uint32_t protection = kRead;
  if (characteristics & IMAGE_SCN_MEM_WRITE) protection |= kWrite;
  if (characteristics & (IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_CNT_CODE)) protection |= kExecute;
  return protection;
}

struct Section {
  std::string name;  // printable
  uint32_t rva = 0;
  uint32_t end = 0;        // rva + VirtualSize
  uint32_t fileBytes = 0;  // how many bytes at rva come from the file
  uint32_t protection = 0;
  bool discardable = false;
};

class Loader {
 public:
  Loader(std::span<const uint8_t> file, const std::string& fileName)
      : file_(file), fileName_(fileName) {}

  LoadedImage Run() {
    ReadHeaders();
    CheckFileHeader();
    CheckOptionalHeader();
    ReadSections();
    CheckChecksum();
    CheckEntry();
    Relocate();
    ReadImports();
    ReadResources();
    MakeRegions();
    return std::move(image_);
  }

 private:
  [[noreturn]] void Fail(const std::string& field, const std::string& problem) const {
    throw ImageError(fileName_ + ": " + field + ": " + problem);
  }

  // Something the device lets pass that almost certainly means a broken image.
  void Note(const std::string& field, const std::string& what) {
    image_.notes.push_back(fileName_ + ": " + field + ": " + what);
  }

  void ReadHeaders() {
    // A file that does not even start as an executable is said to be none before the field that
    // gave it away is named: `--image factory.reg` is a mistake of file, not a broken image.
    const bool mz = file_.size() >= 2 && file_[0] == 'M' && file_[1] == 'Z';
    auto fail = [&](const std::string& field, const std::string& problem) {
      if (!mz)
        Fail("not a Windows CE executable (it does not start with \"MZ\")", field + ": " + problem);
      Fail(field, problem);
    };
    if (file_.size() < sizeof(DosHeader)) {
      fail("DOS header", "the file has " + std::to_string(file_.size()) +
                             " bytes, fewer than the 64 of a DOS header");
    }
    const auto dos = ReadAt<DosHeader>(file_, 0);
    ntHeaders_ = dos.e_lfanew.Value();
    if (uint64_t{ntHeaders_} + kNtHeadersSize > file_.size()) {
      fail("e_lfanew", Hex(ntHeaders_) + ", leaves no room for the 248-byte PE headers in a " +
                           std::to_string(file_.size()) + "-byte file");
    }
    const uint32_t signature = ReadAt<ulittle32_t>(file_, ntHeaders_).Value();
    if (signature != IMAGE_NT_SIGNATURE) {
      fail("PE signature", Hex(signature, 8) + ", expected 0x00004550 (\"PE\\0\\0\")");
    }
    if (dos.e_magic.Value() != IMAGE_DOS_SIGNATURE) {
      Note("e_magic", Hex(dos.e_magic.Value(), 4) +
                          ", not 0x5A4D (\"MZ\"): the device's loader reads only e_lfanew");
    }
    header_ = ReadAt<FileHeader>(file_, ntHeaders_ + sizeof(uint32_t));
    optional_ = ReadAt<OptionalHeader32>(file_, ntHeaders_ + sizeof(uint32_t) + sizeof(FileHeader));
  }

  void CheckFileHeader() {
    const uint16_t machine = header_.Machine.Value();
    if (machine != IMAGE_FILE_MACHINE_ARM) {
      Fail("Machine", Hex(machine, 4) + ", expected 0x01C0 (ARM)");
    }
    const uint16_t flags = header_.Characteristics.Value();
    if (flags & IMAGE_FILE_DLL) {
      Fail("Characteristics", Hex(flags, 4) + ", IMAGE_FILE_DLL is set: a DLL is not a program");
    }
    if (!(flags & IMAGE_FILE_EXECUTABLE_IMAGE)) {
      Note("Characteristics", Hex(flags, 4) +
                                  ", IMAGE_FILE_EXECUTABLE_IMAGE is not set: the device's loader "
                                  "does not look at it");
    }
    if (header_.SizeOfOptionalHeader.Value() != sizeof(OptionalHeader32)) {
      Note("SizeOfOptionalHeader", Hex(header_.SizeOfOptionalHeader.Value(), 4) +
                                       ", not 0x00E0: the device reads the section table after "
                                       "224 bytes all the same");
    }
  }

  void CheckOptionalHeader() {
    const OptionalHeader32& o = optional_;
    if (o.Magic.Value() != IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
      Note("Magic", Hex(o.Magic.Value(), 4) +
                        ", not 0x010B (PE32): the device reads the header as PE32 all the same");
    }
    if (o.NumberOfRvaAndSizes.Value() != IMAGE_NUMBEROF_DIRECTORY_ENTRIES) {
      Note("NumberOfRvaAndSizes", std::to_string(o.NumberOfRvaAndSizes.Value()) +
                                      ", not 16: the device reads 16 directories all the same");
    }
    // Only a Windows CE GUI image states its version; the device takes any other as CE 1.0.
    std::pair<uint16_t, uint16_t> version{1, 0};
    if (o.Subsystem.Value() == IMAGE_SUBSYSTEM_WINDOWS_CE_GUI) {
      version = {o.MajorSubsystemVersion.Value(), o.MinorSubsystemVersion.Value()};
    } else {
      Note("Subsystem",
           std::to_string(o.Subsystem.Value()) +
               ", not 9 (Windows CE GUI): the device runs the image as Windows CE 1.0, "
               "with a 64 KB stack");
    }
    const std::string shown = std::to_string(version.first) + "." + std::to_string(version.second);
    if (version > kDeviceVersion) {
      Fail("subsystem version", shown + ", newer than the device's 4.20");
    }
    if (o.SectionAlignment.Value() != kPageSize) {
      Note("SectionAlignment", Hex(o.SectionAlignment.Value()) +
                                   ", not 0x1000: the device places each section at its RVA "
                                   "without looking at it");
    }
    const uint32_t fileAlignment = o.FileAlignment.Value();
    if (!std::has_single_bit(fileAlignment) || fileAlignment < 0x200 || fileAlignment > kPageSize) {
      Note("FileAlignment", Hex(fileAlignment) +
                                ", not a power of two from 0x200 to 0x1000: the device reads each "
                                "section from its file offset without looking at it");
    }
    CheckPlacement();
    const ImageDataDirectory& com = o.DataDirectory[IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR];
    if (com.VirtualAddress.Value() != 0 || com.Size.Value() != 0) {
      Fail("DataDirectory[14] (COM descriptor)",
           "RVA " + Hex(com.VirtualAddress.Value()) + ", size " + Hex(com.Size.Value()) +
               ": the device would start the managed runtime");
    }
    image_.stackSize = StackSize(version);
  }

  // An image without relocations loads at its own base; any other always at 0x10000.
  void CheckPlacement() {
    const uint32_t preferred = optional_.ImageBase.Value();
    uint32_t base = kLoadBase;
    if (header_.Characteristics.Value() & IMAGE_FILE_RELOCS_STRIPPED) {
      if (preferred % kPageSize != 0 || preferred < kLoadBase || preferred > kHighestFixedBase) {
        Fail("ImageBase", Hex(preferred) +
                              " with relocations stripped, expected a page-aligned address from "
                              "0x10000 to 0x400000");
      }
      base = preferred;
    }
    const uint64_t size = AlignUp(optional_.SizeOfImage.Value(), kPageSize);
    if (size == 0 || base + size > kImageLimit) {
      Fail("SizeOfImage", Hex(optional_.SizeOfImage.Value()) + ", the image would end at " +
                              Hex(base + size) + ", past " + Hex(kImageLimit) +
                              ", where the emulator keeps the stack");
    }
    image_.base = base;
    image_.preferredBase = preferred;
    image_.sizeOfImage = static_cast<uint32_t>(size);
    memory_.assign(size, 0);
  }

  uint32_t StackSize(std::pair<uint16_t, uint16_t> version) const {
    if (version < kStackReserveVersion) return kDefaultStack;
    const uint64_t reserve = AlignUp(optional_.SizeOfStackReserve.Value(), kPageSize);
    return static_cast<uint32_t>(std::clamp<uint64_t>(reserve, kMinStack, kMaxStack));
  }

  // The device reads each section header from the file and maps only the sections, not the
  // headers; SizeOfHeaders means nothing to it.
  void ReadSections() {
    const uint32_t headers = optional_.SizeOfHeaders.Value();
    const uint64_t table = uint64_t{ntHeaders_} + kNtHeadersSize;
    const uint64_t tableEnd = table + header_.NumberOfSections.Value() * sizeof(SectionHeader);
    if (tableEnd > file_.size()) {
      Fail("section table", "ends at " + Hex(tableEnd) + ", past the end of the " +
                                std::to_string(file_.size()) + "-byte file");
    }
    if (headers < tableEnd || headers > file_.size()) {
      Note("SizeOfHeaders", Hex(headers) + ", not the headers' size within the " +
                                std::to_string(file_.size()) +
                                "-byte file: the device does not use it");
    }
    if (tableEnd == table) {
      Note("NumberOfSections",
           "0: the device finds no section for the entry point and starts the process at 0");
    }
    for (uint64_t at = table; at < tableEnd; at += sizeof(SectionHeader)) {
      ReadSection(ReadAt<SectionHeader>(file_, at));
    }
  }

  void ReadSection(const SectionHeader& header) {
    const std::string name =
        Printable({header.Name, strnlen(header.Name, IMAGE_SIZEOF_SHORT_NAME)});
    const std::string field = "section " + name;
    const uint32_t rva = header.VirtualAddress.Value();
    const uint32_t virtualSize = header.VirtualSize.Value();
    if (rva % kPageSize != 0 || rva < previousEnd_) {
      Fail(field + ": VirtualAddress",
           Hex(rva) + ", expected a page-aligned RVA" +
               (sections_.empty()
                    ? std::string()
                    : " from " + Hex(previousEnd_) + ", after " + sections_.back().name));
    }
    if (virtualSize == 0 || uint64_t{rva} + virtualSize > optional_.SizeOfImage.Value()) {
      Fail(field + ": VirtualSize", Hex(virtualSize) + " at RVA " + Hex(rva) +
                                        ", expected 1 byte or more, ending within SizeOfImage " +
                                        Hex(optional_.SizeOfImage.Value()));
    }
    // The device wants all of SizeOfRawData in the file, though it reads no more than VirtualSize.
    const uint32_t pointer = header.PointerToRawData.Value();
    const uint32_t raw = header.SizeOfRawData.Value();
    const uint32_t count = std::min(raw, virtualSize);
    if (raw != 0 && uint64_t{pointer} + raw > file_.size()) {
      Fail(field + ": PointerToRawData", Hex(pointer) + " with SizeOfRawData " + Hex(raw) +
                                             ", past the end of the " +
                                             std::to_string(file_.size()) + "-byte file");
    }
    const uint32_t characteristics = header.Characteristics.Value();
    std::ranges::copy(file_.subspan(pointer, count), memory_.begin() + rva);
    sections_.push_back({name, rva, rva + virtualSize, count, SectionProtection(characteristics),
                         (characteristics & IMAGE_SCN_MEM_DISCARDABLE) != 0});
    previousEnd_ = AlignUp(uint64_t{rva} + virtualSize, kPageSize);
  }

  void CheckChecksum() {
    const size_t field =
        ntHeaders_ + sizeof(uint32_t) + sizeof(FileHeader) + offsetof(OptionalHeader32, CheckSum);
    const uint32_t stated = optional_.CheckSum.Value();
    const uint32_t actual = ImageChecksum(file_, field);
    if (stated != 0 && stated != actual) {
      Note("CheckSum", Hex(stated, 8) + ", but the file's is " + Hex(actual, 8) +
                           ": the device does not check it");
    }
  }

  // Once the imports are bound, the device decommits every discardable section except the one
  // the resource directory starts at.
  void MakeRegions() {
    const uint32_t resources =
        optional_.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE].VirtualAddress.Value();
    for (const Section& section : sections_) {
      if (section.discardable && section.rva != resources) {
        if (!OnlyForTheLoader(section)) {
          Note("section " + section.name,
               "discardable: the device decommits it once the imports are bound, and any access "
               "to it faults");
        }
        continue;
      }
      const auto start = memory_.begin() + section.rva;
      image_.regions.push_back(
          {section.name,
           image_.base + section.rva,
           static_cast<uint32_t>(AlignUp(section.end - section.rva, kPageSize)),
           section.protection,
           {start, start + section.fileBytes},
           {}});
      if (!linkedMemory_.empty()) {
        const auto linked = linkedMemory_.begin() + section.rva;
        image_.regions.back().linkedBytes.assign(linked, linked + section.fileBytes);
      }
    }
    for (ImportBinding& binding : image_.imports) {
      const Section* slot = SectionAt(binding.slotAddress - image_.base, 4);
      binding.slotMapped = !(slot->discardable && slot->rva != resources);
    }
  }

  // A discardable section the base relocations lie in, with no import slot and no entry point,
  // is what linkers write: the loader reads it before it decommits it, and the program never
  // touches it. Any other discardable section almost certainly means a broken image.
  bool OnlyForTheLoader(const Section& section) const {
    const uint32_t relocations =
        optional_.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC].VirtualAddress.Value();
    const auto inside = [&](uint32_t rva) { return rva >= section.rva && rva < section.end; };
    if (relocations == 0 || !inside(relocations)) return false;
    if (inside(optional_.AddressOfEntryPoint.Value())) return false;
    return std::none_of(
        image_.imports.begin(), image_.imports.end(),
        [&](const ImportBinding& binding) { return inside(binding.slotAddress - image_.base); });
  }

  // The device moves an image that keeps its relocations to 0x10000 and applies them; with none
  // to apply the image runs unchanged at the new place.
  void Relocate() {
    const uint32_t preferred = optional_.ImageBase.Value();
    const uint32_t delta = image_.base - preferred;
    if (delta == 0) return;
    const auto directory =
        Directory(IMAGE_DIRECTORY_ENTRY_BASERELOC, "DataDirectory[5] (base relocations)");
    if (!directory) {
      Note("ImageBase", Hex(preferred) +
                            " with no base relocations: the device loads the image at 0x10000 "
                            "and fixes up nothing");
      return;
    }
    const uint32_t rva = directory->VirtualAddress.Value(), size = directory->Size.Value();
    if (SectionAt(rva, size) == nullptr) {
      Fail("DataDirectory[5] (base relocations)",
           "RVA " + Hex(rva) + ", size " + Hex(size) + ", not inside one section");
    }
    linkedMemory_ = memory_;
    ApplyBaseRelocations(
        memory_, rva, size, delta,
        [this](uint64_t at, uint64_t bytes) { return SectionAt(at, bytes) != nullptr; },
        [this](const std::string& field, const std::string& problem) { Fail(field, problem); },
        [this](const std::string& field, const std::string& what) { Note(field, what); });
  }

  // The device starts the main thread at base + AddressOfEntryPoint without looking at it.
  void CheckEntry() {
    const uint32_t entry = optional_.AddressOfEntryPoint.Value();
    if (sections_.empty()) return;  // the entry address stays 0
    const Section* section = SectionAt(entry, 4);
    if (section == nullptr || !(section->protection & kExecute) || entry % 4 != 0) {
      Note("AddressOfEntryPoint",
           Hex(entry) +
               ", not a word-aligned RVA inside an executable section: the device "
               "starts there anyway");
    }
    image_.entryAddress = image_.base + entry;
  }

  // The section holding [rva, rva + size), or null.
  const Section* SectionAt(uint64_t rva, uint64_t size) const {
    auto inside = [&](const Section& s) { return s.rva <= rva && rva + size <= s.end; };
    auto found = std::ranges::find_if(sections_, inside);
    return found == sections_.end() ? nullptr : &*found;
  }

  template <typename T>
  T ImageRead(uint64_t rva, const std::string& field) const {
    if (SectionAt(rva, sizeof(T)) == nullptr) {
      Fail(field, "RVA " + Hex(rva) + ", outside the sections");
    }
    return ReadAt<T>(memory_, rva);
  }

  std::string ImageString(uint64_t rva, const std::string& field) const {
    const Section* section = SectionAt(rva, 1);
    if (section == nullptr) Fail(field, "RVA " + Hex(rva) + ", outside the sections");
    const auto start = memory_.begin() + static_cast<ptrdiff_t>(rva);
    const auto end = std::find(start, memory_.begin() + section->end, 0);
    if (end == memory_.begin() + section->end) {
      Fail(field, "RVA " + Hex(rva) + ", not NUL-terminated within " + section->name);
    }
    return {start, end};
  }

  // A data directory, or nothing when its size is zero: the device then reads none of it.
  std::optional<ImageDataDirectory> Directory(size_t index, const std::string& field) {
    const ImageDataDirectory& directory = optional_.DataDirectory[index];
    const uint32_t rva = directory.VirtualAddress.Value(), size = directory.Size.Value();
    if (size != 0) return directory;
    if (rva != 0) Note(field, "RVA " + Hex(rva) + " with size 0: the device reads none of it");
    return std::nullopt;
  }

  // The descriptors end at the first one without a lookup table, as on the device.
  void ReadImports() {
    const auto directory = Directory(IMAGE_DIRECTORY_ENTRY_IMPORT, "DataDirectory[1] (imports)");
    if (!directory) return;
    for (uint64_t i = 0;; ++i) {
      const std::string field = "import descriptor " + std::to_string(i);
      const auto descriptor = ImageRead<ImportDescriptor>(
          directory->VirtualAddress.Value() + i * sizeof(ImportDescriptor), field);
      if (descriptor.OriginalFirstThunk.Value() == 0) return;
      const std::string library = ImageString(descriptor.Name.Value(), field + ": Name");
      if (!IsCoreLibraryName(library)) {
        Fail(field + " (" + Printable(library) + ")",
             "the device would not start the image: it has no library of that name (the "
             "emulated device has " +
                 std::string(kCoreLibraryName) + " only)");
      }
      ReadImportTables(descriptor, library, field + " (" + Printable(library) + ")");
    }
  }

  void ReadImportTables(const ImportDescriptor& descriptor, const std::string& library,
                        const std::string& field) {
    const uint64_t lookup = descriptor.OriginalFirstThunk.Value();
    const uint64_t slots = descriptor.FirstThunk.Value();
    for (uint64_t i = 0;; i++) {
      const std::string entryField = field + ": lookup entry " + std::to_string(i);
      const uint32_t entry = ImageRead<ulittle32_t>(lookup + 4 * i, entryField).Value();
      const uint64_t slotRva = slots + 4 * i;
      const std::string slotField = field + ": FirstThunk slot " + std::to_string(i);
      const uint32_t slot = ImageRead<ulittle32_t>(slotRva, slotField).Value();
      if ((entry == 0) != (slot == 0)) {
        Fail(slotField, "the address table and the lookup table differ in length");
      }
      if (entry == 0) return;
      MakeWritable(slotRva);
      const auto address = static_cast<uint32_t>(image_.base + slotRva);
      image_.imports.push_back(Binding(library, entry, address, entryField));
    }
  }

  // Writing the slot into a read-only section faults in the device's loader, which then makes the
  // section read-write-execute and writes again.
  void MakeWritable(uint64_t slotRva) {
    Section& section = *const_cast<Section*>(SectionAt(slotRva, 4));
    if (section.protection & kWrite) return;
    section.protection |= kWrite | kExecute;
    Note("section " + section.name,
         "holds import address table slots but is not writable: the device makes it writable "
         "and executable to bind them");
  }

  // Every import must resolve in the core library, or the device does not start the process.
  ImportBinding Binding(const std::string& library, uint32_t entry, uint32_t slotAddress,
                        const std::string& field) const {
    ImportBinding binding{library, std::nullopt, 0, slotAddress};
    const std::string refusal = "the device would not start the image: " + Printable(library);
    if (entry & IMAGE_ORDINAL_FLAG32) {
      if (entry & ~IMAGE_ORDINAL_FLAG32 & ~0xFFFFu) {
        Fail(field, Hex(entry) + ", an ordinal above 0xFFFF");
      }
      binding.ordinal = static_cast<uint16_t>(entry);
      if (!CoreLibraryExportName(binding.ordinal)) {
        Fail(field, "ordinal " + std::to_string(binding.ordinal) + ": " + refusal +
                        " exports nothing under it");
      }
      return binding;
    }
    binding.ordinal = ImageRead<ulittle16_t>(entry, field + ": hint").Value();
    binding.name = ImageString(uint64_t{entry} + 2, field + ": name");
    if (binding.name->empty()) Fail(field + ": name", "RVA " + Hex(entry + 2) + ", empty");
    if (!CoreLibraryExportsName(*binding.name)) {
      Fail(field, "\"" + Printable(*binding.name) + "\": " + refusal +
                      " exports no routine of that name (names match case-sensitively)");
    }
    return binding;
  }

  // The device reads the resource tree only when the program asks for a resource: a broken tree
  // does not stop the image from starting, and the program finds no resources in it.
  void ReadResources() {
    try {
      ReadResourceTree();
    } catch (const ImageError& error) {
      image_.notes.push_back(std::string(error.what()) +
                             ": the device reads resources only when asked, so the image starts "
                             "and finds none");
      image_.resources.clear();
      image_.resourceRvas.clear();
    }
  }

  void ReadResourceTree() {
    const auto directory =
        Directory(IMAGE_DIRECTORY_ENTRY_RESOURCE, "DataDirectory[2] (resources)");
    if (!directory) return;
    resourceRva_ = directory->VirtualAddress.Value();
    resourceSize_ = directory->Size.Value();
    if (SectionAt(resourceRva_, resourceSize_) == nullptr) {
      Fail("DataDirectory[2] (resources)", "RVA " + Hex(resourceRva_) + ", size " +
                                               Hex(resourceSize_) + ", not inside one section");
    }
    ReadResourceTable(0, 0, {}, "resource directory");
  }

  // Offsets in the resource directory are from its start, and stay within its size.
  void InDirectory(uint64_t offset, uint64_t size, const std::string& field) const {
    if (offset + size > resourceSize_) {
      Fail(field, "offset " + Hex(offset) + ", " + Hex(size) + " bytes, outside the " +
                      Hex(resourceSize_) + "-byte resource directory");
    }
  }

  template <typename T>
  T ResourceRead(uint64_t offset, const std::string& field) const {
    InDirectory(offset, sizeof(T), field);
    return ReadAt<T>(memory_, resourceRva_ + offset);
  }

  // Every table, with its entries, and every data entry has bytes of its own. A loop, or entries
  // sharing bytes, could otherwise make a small directory describe a huge tree.
  void Claim(uint64_t offset, uint64_t size, const std::string& field) {
    InDirectory(offset, size, field);
    const auto next = resourceClaims_.lower_bound(offset);
    if ((next != resourceClaims_.end() && next->first < offset + size) ||
        (next != resourceClaims_.begin() && std::prev(next)->second > offset)) {
      Fail(field, "offset " + Hex(offset) +
                      ", overlaps a table or data entry read before: the tree loops");
    }
    resourceClaims_.emplace(offset, offset + size);
  }

  // Level 0 holds the types, level 1 the names, level 2 the languages and their data.
  void ReadResourceTable(uint32_t offset, int level, res::ResourceEntry leaf,
                         const std::string& where) {
    const auto table = ResourceRead<ResourceDirectoryTable>(offset, where + ": table");
    const uint32_t count = table.NumberOfNamedEntries.Value() + table.NumberOfIdEntries.Value();
    Claim(offset, sizeof table + uint64_t{count} * sizeof(ResourceDirectoryEntry),
          where + ": table");
    for (uint32_t i = 0; i < count; ++i) {
      const auto entry = ReadAt<ResourceDirectoryEntry>(
          memory_, resourceRva_ + offset + sizeof table + i * sizeof(ResourceDirectoryEntry));
      const res::ResourceId id = ResourceName(entry.Name.Value(), level, where);
      const std::string here = where + ", " + kResourceLevelNames[level] + " " + Describe(id);
      const uint32_t target = entry.OffsetToData.Value();
      const bool isTable = target & IMAGE_RESOURCE_DATA_IS_DIRECTORY;
      if (isTable != (level + 1 < kResourceLevels)) {
        Fail(here, isTable ? "a table below the language level"
                           : "data above the language level (expected type, name, language)");
      }
      if (level == 0) leaf.type = id;
      if (level == 1) leaf.name = id;
      if (isTable) {
        ReadResourceTable(target & ~IMAGE_RESOURCE_DATA_IS_DIRECTORY, level + 1, leaf, here);
      } else {
        leaf.language = std::get<uint16_t>(id);
        ReadResourceData(target, leaf, here);
      }
    }
  }

  res::ResourceId ResourceName(uint32_t name, int level, const std::string& where) const {
    if (!(name & IMAGE_RESOURCE_NAME_IS_STRING)) {
      if (name > 0xFFFF) Fail(where, "id " + Hex(name) + ", above 0xFFFF");
      return static_cast<uint16_t>(name);
    }
    if (level + 1 == kResourceLevels) Fail(where, "a language named by a string");
    const uint64_t offset = name & ~IMAGE_RESOURCE_NAME_IS_STRING;
    const uint16_t length = ResourceRead<ulittle16_t>(offset, where + ": name").Value();
    InDirectory(offset + 2, 2 * length, where + ": name");
    std::u16string text;
    for (uint64_t at = resourceRva_ + offset + 2; text.size() < length; at += 2) {
      text.push_back(ReadAt<ulittle16_t>(memory_, at).Value());
    }
    return text;
  }

  static std::string Describe(const res::ResourceId& id) {
    if (const auto* number = std::get_if<uint16_t>(&id)) return std::to_string(*number);
    std::string text;
    for (char16_t unit : std::get<std::u16string>(id)) {
      text += unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    return "\"" + Printable(text) + "\"";
  }

  void ReadResourceData(uint32_t offset, res::ResourceEntry& leaf, const std::string& where) {
    Claim(offset, sizeof(ResourceDataEntry), where + ": data entry");
    const auto data = ReadAt<ResourceDataEntry>(memory_, resourceRva_ + offset);
    const uint64_t rva = data.OffsetToData.Value(), size = data.Size.Value();
    if (SectionAt(rva, size) == nullptr) {
      Fail(where + ": data", "RVA " + Hex(rva) + ", size " + Hex(size) + ", outside the sections");
    }
    resourceBytes_ += size;  // leaves that share their data would otherwise copy it without end
    if (resourceBytes_ > image_.sizeOfImage) {
      Fail(where + ": data", "the resources add up to more than SizeOfImage");
    }
    leaf.data.assign(memory_.begin() + rva, memory_.begin() + rva + size);
    image_.resources.push_back(leaf);
    image_.resourceRvas.push_back(static_cast<uint32_t>(rva));
  }

  std::span<const uint8_t> file_;
  const std::string& fileName_;
  uint32_t ntHeaders_ = 0;
  FileHeader header_{};
  OptionalHeader32 optional_{};
  std::vector<Section> sections_;
  uint64_t previousEnd_ = 0;           // where the next section may start, page aligned
  std::vector<uint8_t> memory_;        // the image as mapped, from RVA 0
  std::vector<uint8_t> linkedMemory_;  // the same before the base relocations, when applied
  uint32_t resourceRva_ = 0, resourceSize_ = 0;
  std::map<uint64_t, uint64_t> resourceClaims_;  // start -> end of each table and data entry
  uint64_t resourceBytes_ = 0;
  LoadedImage image_;
};

}  // namespace

bool IsCoreLibraryName(std::string_view library) {
  return std::ranges::equal(library, kCoreLibraryName, [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
  });
}

LoadedImage LoadImage(std::span<const uint8_t> file, const std::string& fileName) {
  return Loader(file, fileName).Run();
}

}  // namespace emulator
