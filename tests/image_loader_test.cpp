// The emulator's image loader: the device image as it maps it, and the faults it refuses, each made
// by patching a copy of the device image in one place.
#include "image_loader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "coredll_exports.h"
#include "pe_format.h"

namespace {

using Bytes = std::vector<uint8_t>;
using emulator::kExecute;
using emulator::kRead;
using emulator::kWrite;

Bytes DeviceImage() {
  std::ifstream in(IMAGE_PATH, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

uint32_t Get32(const Bytes& file, size_t at) {
  return file.at(at) | file.at(at + 1) << 8 | file.at(at + 2) << 16 |
         uint32_t{file.at(at + 3)} << 24;
}

void Put(Bytes& file, size_t at, uint32_t value, size_t width = 4) {
  for (size_t i = 0; i < width; ++i) file.at(at + i) = static_cast<uint8_t>(value >> (8 * i));
}

// File offsets of the device image's structures, found the way a loader finds them.
struct Layout {
  explicit Layout(const Bytes& file)
      : file(file), nt(Get32(file, offsetof(pe::DosHeader, e_lfanew))) {}

  size_t FileHeader(size_t field) const { return nt + 4 + field; }
  size_t Optional(size_t field) const { return nt + 4 + sizeof(pe::FileHeader) + field; }
  size_t Directory(size_t index) const {
    return Optional(offsetof(pe::OptionalHeader32, DataDirectory)) + 8 * index;
  }
  size_t Section(std::string_view name, size_t field) const {
    for (size_t at = nt + 248;; at += sizeof(pe::SectionHeader)) {
      if (std::string_view(reinterpret_cast<const char*>(&file.at(at))) == name) return at + field;
    }
  }
  // The file offset of an RVA in a section with file data.
  size_t Rva(uint32_t rva) const {
    for (size_t at = nt + 248;; at += sizeof(pe::SectionHeader)) {
      const uint32_t start = Get32(file, at + offsetof(pe::SectionHeader, VirtualAddress));
      const uint32_t size = Get32(file, at + offsetof(pe::SectionHeader, SizeOfRawData));
      if (rva >= start && rva < start + size) {
        return Get32(file, at + offsetof(pe::SectionHeader, PointerToRawData)) + rva - start;
      }
    }
  }
  size_t DirectoryData(size_t index) const { return Rva(Get32(file, Directory(index))); }
  size_t FirstImport(size_t field) const {
    return DirectoryData(pe::IMAGE_DIRECTORY_ENTRY_IMPORT) + field;
  }
  size_t ImportTable(size_t field, size_t entry) const {
    return Rva(Get32(file, FirstImport(field))) + 4 * entry;
  }
  // The OffsetToData field of the first entry at `level` (0 type, 1 name, 2 language), following
  // the first entries above it.
  size_t FirstResourceEntry(int level) const {
    const size_t directory = DirectoryData(pe::IMAGE_DIRECTORY_ENTRY_RESOURCE);
    size_t table = 0;
    for (int above = 0; above < level; ++above) {
      table = Get32(file, directory + table + 16 + 4) & 0x7FFFFFFF;
    }
    return directory + table + 16 + 4;
  }
  // The data entry of the first resource: first type, first name, first language.
  size_t FirstResourceData() const {
    return DirectoryData(pe::IMAGE_DIRECTORY_ENTRY_RESOURCE) + Get32(file, FirstResourceEntry(2));
  }

  const Bytes& file;
  uint32_t nt;
};

// `text` with "{size}" standing for the device image's size in bytes, so that a message does not
// change with the update's size.
std::string WithImageSize(std::string text) {
  const size_t at = text.find("{size}");
  if (at != std::string::npos) text.replace(at, 6, std::to_string(DeviceImage().size()));
  return text;
}

TEST(ImageLoader, MapsTheDeviceImage) {
  const Bytes file = DeviceImage();
  const Layout sections(file);
  ASSERT_EQ(file.size(),
            Get32(file, sections.Section(".rsrc", offsetof(pe::SectionHeader, PointerToRawData))) +
                Get32(file, sections.Section(".rsrc", offsetof(pe::SectionHeader, SizeOfRawData))))
      << "the image ends with its last section's data";
  const emulator::LoadedImage image = emulator::LoadImage(file, "CardFolderUpdate.exe");
  EXPECT_EQ(image.base, 0x10000u);
  EXPECT_EQ(image.stackSize, 64u * 1024);

  struct Expected {
    std::string name;
    uint32_t protection;
  };
  const std::vector<Expected> expected{{".text", kRead | kExecute},
                                       {".data", kRead | kWrite},
                                       {".bss", kRead | kWrite},
                                       {".rsrc", kRead}};
  ASSERT_EQ(image.regions.size(), expected.size());
  uint32_t end = image.base + 0x1000;  // no section covers the headers
  for (size_t i = 0; i < expected.size(); ++i) {
    const emulator::ImageRegion& region = image.regions[i];
    SCOPED_TRACE(region.name);
    EXPECT_EQ(region.name, expected[i].name);
    EXPECT_EQ(region.protection, expected[i].protection);
    EXPECT_GE(region.address, end);
    EXPECT_EQ(region.address % 0x1000, 0u);
    EXPECT_EQ(region.size % 0x1000, 0u);
    EXPECT_LE(region.bytes.size(), region.size);
    end = region.address + region.size;
  }
  EXPECT_EQ(image.base + image.sizeOfImage, end);
  EXPECT_EQ(image.regions[0].address, image.base + 0x1000);
  EXPECT_TRUE(image.regions[2].bytes.empty());  // .bss: all zero
  EXPECT_TRUE(image.notes.empty());
  const emulator::ImageRegion& text = image.regions[0];
  EXPECT_GE(image.entryAddress, text.address);
  EXPECT_LT(image.entryAddress, text.address + text.bytes.size());
  // Each section's bytes are the file's, as many as the file and the section both hold.
  const Layout layout(file);
  for (const emulator::ImageRegion& region : image.regions) {
    auto field = [&](size_t offset) { return Get32(file, layout.Section(region.name, offset)); };
    const uint32_t raw = field(offsetof(pe::SectionHeader, PointerToRawData));
    const uint32_t count = std::min(field(offsetof(pe::SectionHeader, SizeOfRawData)),
                                    field(offsetof(pe::SectionHeader, VirtualSize)));
    ASSERT_EQ(region.bytes.size(), count) << region.name;
    EXPECT_TRUE(std::equal(region.bytes.begin(), region.bytes.end(), file.begin() + raw))
        << region.name;
  }
}

TEST(ImageLoader, BindsTheCoreLibraryImportsByNameInWritableSlots) {
  const emulator::LoadedImage image = emulator::LoadImage(DeviceImage(), "CardFolderUpdate.exe");
  struct Expected {
    std::string name;
    uint16_t hint;
  };
  const std::vector<Expected> expected{
      {"KernelIoControl", 557}, {"LoadStringW", 874},    {"MessageBoxW", 858}, {"RegCloseKey", 455},
      {"RegOpenKeyExW", 461},   {"RegSetValueExW", 464}, {"memset", 1047}};
  const emulator::ImageRegion& data = image.regions[1];
  ASSERT_EQ(image.imports.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const emulator::ImportBinding& binding = image.imports[i];
    EXPECT_EQ(binding.library, "COREDLL.dll");
    EXPECT_EQ(binding.name, expected[i].name);
    EXPECT_EQ(binding.ordinal, expected[i].hint) << expected[i].name;
    EXPECT_EQ(binding.slotAddress, image.imports[0].slotAddress + 4 * i) << expected[i].name;
  }
  EXPECT_GE(image.imports.front().slotAddress, data.address);
  EXPECT_LE(image.imports.back().slotAddress + 4, data.address + data.bytes.size());
}

// The export list is searched as text: a name or an ordinal matches a whole field, never the
// start or the end of another one (ordinal 9's line follows lines whose ordinals end in 9).
TEST(CoreLibraryExports, MatchWholeNamesAndOrdinals) {
  const std::pair<std::string, bool> names[] = {{"memset", true},    {"SystemStarted", true},
                                                {"MD5Final", true},  {"memse", false},
                                                {"emset", false},    {"", false},
                                                {"memset\n", false}, {"MEMSET", false}};
  for (const auto& [name, exported] : names) {
    EXPECT_EQ(emulator::CoreLibraryExportsName(name), exported) << name;
  }
  const std::pair<uint16_t, std::optional<std::string_view>> ordinals[] = {
      {1, "SystemStarted"}, {9, "InterlockedTestExchange"},
      {1047, "memset"},     {1794, "MD5Final"},
      {55, std::nullopt},   {0, std::nullopt}};
  for (const auto& [ordinal, name] : ordinals) {
    EXPECT_EQ(emulator::CoreLibraryExportName(ordinal), name) << ordinal;
  }
}

TEST(ImageLoader, ReadsTheResourceTree) {
  const emulator::LoadedImage image = emulator::LoadImage(DeviceImage(), "CardFolderUpdate.exe");
  const auto question = res::LocateString(image.resources, 5020);
  ASSERT_TRUE(question);
  EXPECT_EQ(question->text.substr(0, 27), u"Sie müssen einen Soft-Reset");
  EXPECT_TRUE(std::ranges::any_of(image.resources, [](const res::ResourceEntry& entry) {
    return entry.type == res::ResourceId{res::RT_VERSION} && !entry.data.empty();
  }));
}

TEST(ImageLoader, StackIsTheReservePageRoundedAndClampedAsTheArmKernelDoes) {
  struct Row {
    uint32_t reserve;
    uint16_t major, minor;
    uint32_t stack;
    uint16_t subsystem = 9;
  };
  const Row rows[] = {
      {0x10000, 4, 20, 0x10000},     {0x12345, 4, 20, 0x13000}, {0, 4, 20, 0x4000},
      {0x1001, 4, 20, 0x4000},  // at least twice 8 KB
      {0x3001, 4, 20, 0x4000},       {0x4001, 4, 20, 0x5000},   {0x200000, 4, 20, 0x100000},
      {0xFFFFFFFF, 4, 20, 0x100000},                             // rounding must not wrap to 0
      {0x200000, 2, 2, 0x100000},    {0x200000, 2, 1, 0x10000},  // before 2.2: the default
      {0x200000, 0, 0, 0x10000},                                 // older than any CE: runs
      {0x200000, 4, 20, 0x10000, 2},  // not a CE GUI image: runs as CE 1.0
  };
  for (const Row& row : rows) {
    Bytes file = DeviceImage();
    const Layout layout(file);
    Put(file, layout.Optional(offsetof(pe::OptionalHeader32, SizeOfStackReserve)), row.reserve);
    Put(file, layout.Optional(offsetof(pe::OptionalHeader32, MajorSubsystemVersion)), row.major, 2);
    Put(file, layout.Optional(offsetof(pe::OptionalHeader32, MinorSubsystemVersion)), row.minor, 2);
    Put(file, layout.Optional(offsetof(pe::OptionalHeader32, Subsystem)), row.subsystem, 2);
    EXPECT_EQ(emulator::LoadImage(file, "image.exe").stackSize, row.stack)
        << std::hex << row.reserve << " " << row.major << "." << row.minor << " " << row.subsystem;
  }
}

// Each row patches a copy of the device image, or cuts it short, and gives the refusal.
using Patch = std::function<void(Bytes&, const Layout&)>;
struct Refusal {
  Patch patch;
  std::string message;
};

using Head = pe::FileHeader;
using Opt = pe::OptionalHeader32;
using Sec = pe::SectionHeader;
using Imp = pe::ImportDescriptor;

// Writes `value` (`width` bytes) at the offset `where` finds.
Patch Set(std::function<size_t(const Layout&)> where, uint32_t value, size_t width = 4) {
  return [=](Bytes& file, const Layout& layout) { Put(file, where(layout), value, width); };
}
Patch SetHeader(size_t field, uint32_t value) {
  return Set([=](const Layout& l) { return l.FileHeader(field); }, value, 2);
}
Patch SetOptional(size_t field, uint32_t value, size_t width = 4) {
  return Set([=](const Layout& l) { return l.Optional(field); }, value, width);
}
Patch SetSection(std::string name, size_t field, uint32_t value) {
  return Set([=](const Layout& l) { return l.Section(name, field); }, value);
}
Patch Truncate(size_t size) {
  return [=](Bytes& file, const Layout&) { file.resize(size); };
}

// Makes the device image one that keeps its relocations, prefers base 0x1F800 (so the device moves
// it by 0xFFFF0800) and has one relocation block for page `page` with `entries`, at RVA 0x2100 in
// the padding of .data. `blockSize` and `directorySize` default to what the entries need. Should
// the program's data reach that far, the patch fails rather than write over it.
constexpr uint32_t kPreferredBase = 0x1F800;
constexpr uint32_t kDelta = 0x10000 - kPreferredBase;
Patch WithRelocations(uint32_t page, std::vector<uint16_t> entries, uint32_t blockSize = 0,
                      uint32_t directorySize = 0) {
  return [=](Bytes& f, const Layout& l) {
    const uint32_t size = blockSize ? blockSize : 8 + 2 * static_cast<uint32_t>(entries.size());
    Put(f, l.FileHeader(offsetof(Head, Characteristics)), 0x0102, 2);
    Put(f, l.Optional(offsetof(Opt, ImageBase)), kPreferredBase);
    const uint32_t data = Get32(f, l.Section(".data", offsetof(Sec, VirtualAddress)));
    if (data + Get32(f, l.Section(".data", offsetof(Sec, VirtualSize))) > 0x2100 ||
        data + Get32(f, l.Section(".data", offsetof(Sec, SizeOfRawData))) < 0x2200) {
      throw std::logic_error(".data does not end before RVA 0x2100 with its padding to 0x2200");
    }
    Put(f, l.Section(".data", offsetof(Sec, VirtualSize)), 0x200);
    const size_t block = l.Rva(0x2100);
    Put(f, block, page);
    Put(f, block + 4, size);
    for (size_t i = 0; i < entries.size(); ++i) Put(f, block + 8 + 2 * i, entries[i], 2);
    Put(f, l.Directory(pe::IMAGE_DIRECTORY_ENTRY_BASERELOC), 0x2100);
    Put(f, l.Directory(pe::IMAGE_DIRECTORY_ENTRY_BASERELOC) + 4,
        directorySize ? directorySize : size);
  };
}

// WithRelocations, with the block moved to the start of .rsrc, which no longer holds the
// resources and is discardable, with `characteristics`.
Patch RelocationsInDiscardableRsrc(uint32_t characteristics = 0x42000040) {
  return [=](Bytes& f, const Layout& l) {
    WithRelocations(0x1000, {0x3000 | 0x100})(f, l);
    const size_t block = l.Rva(0x4000);
    std::copy_n(f.begin() + static_cast<ptrdiff_t>(l.Rva(0x2100)), 10, f.begin() + block);
    Put(f, l.Directory(pe::IMAGE_DIRECTORY_ENTRY_BASERELOC), 0x4000);
    Put(f, l.Directory(pe::IMAGE_DIRECTORY_ENTRY_RESOURCE), 0);
    Put(f, l.Directory(pe::IMAGE_DIRECTORY_ENTRY_RESOURCE) + 4, 0);
    Put(f, l.Section(".rsrc", offsetof(Sec, Characteristics)), characteristics);
  };
}

// An image without relocations must lie where the device can load it as it is.
Refusal BadFixedBase(uint32_t base) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%X", base);
  return {SetOptional(offsetof(Opt, ImageBase), base),
          std::string("ImageBase: ") + hex +
              " with relocations stripped, expected a page-aligned address from 0x10000 to "
              "0x400000"};
}

std::vector<Refusal> Refusals() {
  return {
      {Truncate(0),
       "not a Windows CE executable (it does not start with \"MZ\"): DOS header: the file has 0 "
       "bytes, fewer than the 64 of a DOS header"},
      {Truncate(63), "DOS header: the file has 63 bytes, fewer than the 64 of a DOS header"},
      {Truncate(0x100),
       "e_lfanew: 0x68, leaves no room for the 248-byte PE headers in a 256-byte file"},
      // A file that is no executable at all says so before naming the field that shows it.
      {[](Bytes& f, const Layout&) {
         const std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Comm]\n\"Folder\"=\"x\"\n";
         f.assign(text.begin(), text.end());
       },
       "not a Windows CE executable (it does not start with \"MZ\"): DOS header: the file has 49 "
       "bytes, fewer than the 64 of a DOS header"},
      {[](Bytes& f, const Layout&) {
         const std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Comm]\n";
         f.assign(text.begin(), text.end());
         f.resize(0x400, ';');
       },
       "not a Windows CE executable (it does not start with \"MZ\"): e_lfanew: 0x3B3B3B3B, leaves "
       "no room for the 248-byte PE headers in a 1024-byte file"},
      {[](Bytes& f, const Layout& l) {
         f[0] = 'Z';
         f[l.nt] = 'N';
       },
       "not a Windows CE executable (it does not start with \"MZ\"): PE signature: 0x0000454E, "
       "expected 0x00004550 (\"PE\\0\\0\")"},
      {Set([](const Layout& l) { return l.nt; }, 'N', 1),
       "PE signature: 0x0000454E, expected 0x00004550 (\"PE\\0\\0\")"},
      {SetHeader(offsetof(Head, Machine), 0x01C2), "Machine: 0x01C2, expected 0x01C0 (ARM)"},
      {SetHeader(offsetof(Head, Characteristics), 0x2103),
       "Characteristics: 0x2103, IMAGE_FILE_DLL is set: a DLL is not a program"},
      {SetHeader(offsetof(Head, NumberOfSections), 0),  // no section holds the imports
       "import descriptor 0: RVA 0x2024, outside the sections"},
      {SetHeader(offsetof(Head, NumberOfSections), 200),
       "section table: ends at 0x20A0, past the end of the {size}-byte file"},
      {SetOptional(offsetof(Opt, MinorSubsystemVersion), 21, 2),
       "subsystem version: 4.21, newer than the device's 4.20"},
      {SetOptional(offsetof(Opt, MajorSubsystemVersion), 5, 2),
       "subsystem version: 5.20, newer than the device's 4.20"},
      BadFixedBase(0xF000),
      BadFixedBase(0x401000),
      BadFixedBase(0x10800),
      {SetOptional(offsetof(Opt, SizeOfImage), 0xEF0001),
       "SizeOfImage: 0xEF0001, the image would end at 0xF01000, past 0xF00000, where the emulator "
       "keeps the stack"},
      {Set([](const Layout& l) { return l.Directory(14); }, 0x4000),
       "DataDirectory[14] (COM descriptor): RVA 0x4000, size 0x0: the device would start the "
       "managed runtime"},
      {SetSection(".text", offsetof(Sec, VirtualAddress), 0x1100),
       "section .text: VirtualAddress: 0x1100, expected a page-aligned RVA"},
      {SetSection(".data", offsetof(Sec, VirtualAddress), 0x1000),
       "section .data: VirtualAddress: 0x1000, expected a page-aligned RVA from 0x2000, after "
       ".text"},
      {SetSection(".rsrc", offsetof(Sec, VirtualSize), 0x1001),
       "section .rsrc: VirtualSize: 0x1001 at RVA 0x4000, expected 1 byte or more, ending within "
       "SizeOfImage 0x5000"},
      {SetSection(".rsrc", offsetof(Sec, PointerToRawData), 0x1000),
       "section .rsrc: PointerToRawData: 0x1000 with SizeOfRawData 0xA00, past the end of the "
       "{size}-byte file"},
      {Truncate(0x1000),
       "section .rsrc: PointerToRawData: 0xA00 with SizeOfRawData 0xA00, past the end of the "
       "4096-byte file"},
      {SetSection(".rsrc", offsetof(Sec, SizeOfRawData), 0xA01),  // more than VirtualSize reads
       "section .rsrc: PointerToRawData: 0xA00 with SizeOfRawData 0xA01, past the end of the "
       "{size}-byte file"},
      {Set([](const Layout& l) { return l.FirstImport(offsetof(Imp, Name)); }, 0x8000),
       "import descriptor 0: Name: RVA 0x8000, outside the sections"},
      {[](Bytes& f, const Layout& l) {
         const size_t name = l.Rva(Get32(f, l.FirstImport(offsetof(Imp, Name))));
         *std::find(f.begin() + name, f.end(), 0) = 'X';  // the name ends the section
       },
       "import descriptor 0: Name: RVA 0x20D4, not NUL-terminated within .data"},
      {Set([](const Layout& l) { return l.ImportTable(offsetof(Imp, OriginalFirstThunk), 2); },
           0x7000),
       "import descriptor 0 (COREDLL.dll): lookup entry 2: hint: RVA 0x7000, outside the sections"},
      {[](Bytes& f, const Layout& l) {
         const size_t name = l.Rva(Get32(f, l.FirstImport(offsetof(Imp, Name))));
         std::copy_n("KERNEL.dll", 11, f.begin() + name);
       },
       "import descriptor 0 (KERNEL.dll): the device would not start the image: it has no library "
       "of that name (the emulated device has COREDLL.dll only)"},
      {[](Bytes& f, const Layout& l) {  // memset -> Memset
         const size_t entry = l.Rva(Get32(f, l.ImportTable(offsetof(Imp, OriginalFirstThunk), 6)));
         f.at(entry + 2) = 'M';
       },
       "import descriptor 0 (COREDLL.dll): lookup entry 6: \"Memset\": the device would not start "
       "the image: COREDLL.dll exports no routine of that name (names match case-sensitively)"},
      {[](Bytes& f, const Layout& l) {  // memset -> memcpz
         const size_t entry = l.Rva(Get32(f, l.ImportTable(offsetof(Imp, OriginalFirstThunk), 6)));
         std::copy_n("memcpz", 6, f.begin() + entry + 2);
       },
       "import descriptor 0 (COREDLL.dll): lookup entry 6: \"memcpz\": the device would not start "
       "the image: COREDLL.dll exports no routine of that name (names match case-sensitively)"},
      {Set([](const Layout& l) { return l.ImportTable(offsetof(Imp, OriginalFirstThunk), 0); },
           0x80000000 | 1078),  // between _ultow (1080) and tanh (1076) nothing is exported
       "import descriptor 0 (COREDLL.dll): lookup entry 0: ordinal 1078: the device would not "
       "start the image: COREDLL.dll exports nothing under it"},
      {Set([](const Layout& l) { return l.ImportTable(offsetof(Imp, FirstThunk), 6); }, 0),
       "import descriptor 0 (COREDLL.dll): FirstThunk slot 6: the address table and the lookup "
       "table differ in length"},
      {WithRelocations(0x1000, {0x3010}, 11, 12),
       "base relocation block at RVA 0x2100: SizeOfBlock 0xB, expected an even size of 8 bytes or "
       "more, ending within the 0xC-byte directory"},
      {WithRelocations(0x1000, {0x3010}, 4, 10),
       "base relocation block at RVA 0x2100: SizeOfBlock 0x4, expected an even size of 8 bytes or "
       "more, ending within the 0xA-byte directory"},
      {WithRelocations(0x1000, {0x3010}, 10, 14),
       "base relocation block at RVA 0x210A: the 0xE-byte directory ends inside its 8-byte "
       "header"},
      {WithRelocations(0x1000, {0x3010, 0x3014}, 0, 10),
       "base relocation block at RVA 0x2100: SizeOfBlock 0xC, expected an even size of 8 bytes or "
       "more, ending within the 0xA-byte directory"},
      {WithRelocations(0x6000, {0x3010}),
       "base relocation block at RVA 0x2100, entry 0x8: fixes up RVA 0x6010, outside the sections"},
      {WithRelocations(0x1000, {0x3FFE}),
       "base relocation block at RVA 0x2100, entry 0x8: fixes up RVA 0x1FFE, outside the sections"},
      {WithRelocations(0x1000, {0x4010}),
       "base relocation block at RVA 0x2100, entry 0x8: HIGHADJ without the entry it needs after "
       "it"},
      {[](Bytes& f, const Layout& l) {
         WithRelocations(0x1000, {0x3010})(f, l);
         Put(f, l.Directory(pe::IMAGE_DIRECTORY_ENTRY_BASERELOC), 0x2180);
         Put(f, l.Directory(pe::IMAGE_DIRECTORY_ENTRY_BASERELOC) + 4, 0x100);
       },
       "DataDirectory[5] (base relocations): RVA 0x2180, size 0x100, not inside one section"},
  };
}

TEST(ImageLoader, RefusesFaultyImagesWithOneLineNamingTheField) {
  for (const Refusal& row : Refusals()) {
    SCOPED_TRACE(row.message);
    Bytes file = DeviceImage();
    row.patch(file, Layout(file));
    try {
      emulator::LoadImage(file, "image.exe");
      ADD_FAILURE() << "loaded";
    } catch (const emulator::ImageError& error) {
      EXPECT_EQ(error.what(), "image.exe: " + WithImageSize(row.message));
    }
  }
}

// Images the device starts although they are almost certainly broken: each loads, with one note
// naming the field, and is mapped as the device maps it.
struct Noted {
  Patch patch;
  std::string note;  // the only note, after "image.exe: "
  std::function<void(const emulator::LoadedImage&)> check = [](const emulator::LoadedImage&) {};
};

const emulator::ImageRegion* RegionNamed(const emulator::LoadedImage& image,
                                         std::string_view name) {
  for (const emulator::ImageRegion& region : image.regions) {
    if (region.name == name) return &region;
  }
  return nullptr;
}

// The note for a discardable section the program may need.
std::string Decommitted(const std::string& section) {
  return "section " + section +
         ": discardable: the device decommits it once the imports are bound, and any access to it "
         "faults";
}

std::vector<Noted> NotedImages() {
  const uint32_t kTable = pe::IMAGE_RESOURCE_DATA_IS_DIRECTORY;
  return {
      {Set([](const Layout&) { return 1; }, 'Y', 1),
       "e_magic: 0x594D, not 0x5A4D (\"MZ\"): the device's loader reads only e_lfanew"},
      {SetHeader(offsetof(Head, Characteristics), 0x0101),
       "Characteristics: 0x0101, IMAGE_FILE_EXECUTABLE_IMAGE is not set: the device's loader does "
       "not look at it"},
      {SetHeader(offsetof(Head, SizeOfOptionalHeader), 0xF0),
       "SizeOfOptionalHeader: 0x00F0, not 0x00E0: the device reads the section table after 224 "
       "bytes all the same"},
      {SetOptional(offsetof(Opt, Magic), 0x20B, 2),
       "Magic: 0x020B, not 0x010B (PE32): the device reads the header as PE32 all the same"},
      {SetOptional(offsetof(Opt, NumberOfRvaAndSizes), 10),
       "NumberOfRvaAndSizes: 10, not 16: the device reads 16 directories all the same"},
      {SetOptional(offsetof(Opt, SectionAlignment), 0x200),
       "SectionAlignment: 0x200, not 0x1000: the device places each section at its RVA without "
       "looking at it"},
      {SetOptional(offsetof(Opt, FileAlignment), 0x300),
       "FileAlignment: 0x300, not a power of two from 0x200 to 0x1000: the device reads each "
       "section from its file offset without looking at it"},
      {SetOptional(offsetof(Opt, SizeOfHeaders), 0x1800),
       "SizeOfHeaders: 0x1800, not the headers' size within the {size}-byte file: the device does "
       "not use it"},
      {SetOptional(offsetof(Opt, SizeOfHeaders), 0x100),
       "SizeOfHeaders: 0x100, not the headers' size within the {size}-byte file: the device does "
       "not "
       "use it"},
      {Set([](const Layout& l) { return l.Directory(pe::IMAGE_DIRECTORY_ENTRY_IMPORT) + 4; }, 0),
       "DataDirectory[1] (imports): RVA 0x2024 with size 0: the device reads none of it"},
      {Set([](const Layout& l) { return l.FirstResourceEntry(0); }, kTable),
       "resource directory, type 6: table: offset 0x0, overlaps a table or data entry read before: "
       "the tree loops"
       ": the device reads resources only when asked, so the image starts and finds none"},
      {Set([](const Layout& l) { return l.FirstResourceEntry(0); }, kTable | 0xA00),
       "resource directory, type 6: table: offset 0xA00, 0x10 bytes, outside the 0x9FC-byte "
       "resource directory"
       ": the device reads resources only when asked, so the image starts and finds none"},
      {Set([](const Layout& l) { return l.FirstResourceEntry(0); }, 0x20),
       "resource directory, type 6: data above the language level (expected type, name, language)"
       ": the device reads resources only when asked, so the image starts and finds none"},
      {Set([](const Layout& l) { return l.FirstResourceEntry(2); }, 0),
       "resource directory, type 6, name 313, language 1033: data entry: offset 0x0, overlaps a "
       "table or data entry read before: the tree loops"
       ": the device reads resources only when asked, so the image starts and finds none"},
      {Set([](const Layout& l) { return l.FirstResourceData(); }, 0x4F00),
       "resource directory, type 6, name 313, language 1033: data: RVA 0x4F00, size 0xDA, outside "
       "the sections"
       ": the device reads resources only when asked, so the image starts and finds none"},
      {Set([](const Layout& l) { return l.Directory(pe::IMAGE_DIRECTORY_ENTRY_RESOURCE) + 4; },
           0x1001),
       "DataDirectory[2] (resources): RVA 0x4000, size 0x1001, not inside one section"
       ": the device reads resources only when asked, so the image starts and finds none"},
      {SetOptional(offsetof(Opt, CheckSum), 0x1234),
       "CheckSum: 0x00001234, but the file's is 0x00002C15: the device does not check it"},
      {SetOptional(offsetof(Opt, AddressOfEntryPoint), 0x2000),
       "AddressOfEntryPoint: 0x2000, not a word-aligned RVA inside an executable section: the "
       "device starts there anyway",
       [](const emulator::LoadedImage& image) { EXPECT_EQ(image.entryAddress, 0x12000u); }},
      {SetOptional(offsetof(Opt, AddressOfEntryPoint), 0x1001),
       "AddressOfEntryPoint: 0x1001, not a word-aligned RVA inside an executable section: the "
       "device starts there anyway",
       [](const emulator::LoadedImage& image) { EXPECT_EQ(image.entryAddress, 0x11001u); }},
      {SetOptional(offsetof(Opt, Subsystem), 2, 2),
       "Subsystem: 2, not 9 (Windows CE GUI): the device runs the image as Windows CE 1.0, with a "
       "64 KB stack"},
      {SetSection(".data", offsetof(Sec, Characteristics), 0x40000040),
       "section .data: holds import address table slots but is not writable: the device makes it "
       "writable and executable to bind them",
       [](const emulator::LoadedImage& image) {
         EXPECT_EQ(RegionNamed(image, ".data")->protection, kRead | kWrite | kExecute);
       }},
      {SetSection(".data", offsetof(Sec, Characteristics), 0xC2000040), Decommitted(".data"),
       [](const emulator::LoadedImage& image) {
         EXPECT_EQ(RegionNamed(image, ".data"), nullptr);
         EXPECT_EQ(image.regions.size(), 3u);
         EXPECT_FALSE(image.imports.front().slotMapped);
       }},
      // Base relocations in a discardable section of their own, as linkers write .reloc: the
      // loader reads them before it decommits the section, which is no sign of a broken image.
      {RelocationsInDiscardableRsrc(), "",
       [](const emulator::LoadedImage& image) { EXPECT_EQ(RegionNamed(image, ".rsrc"), nullptr); }},
      // Any other discardable section is: one the relocations lie outside, one that also holds
      // the import slots, one that also holds the entry point.
      {[](Bytes& f, const Layout& l) {
         WithRelocations(0x1000, {0x3000 | 0x100})(f, l);  // in .data
         Put(f, l.Directory(pe::IMAGE_DIRECTORY_ENTRY_RESOURCE), 0);
         Put(f, l.Directory(pe::IMAGE_DIRECTORY_ENTRY_RESOURCE) + 4, 0);
         Put(f, l.Section(".rsrc", offsetof(Sec, Characteristics)), 0x42000040);
       },
       Decommitted(".rsrc")},
      {[](Bytes& f, const Layout& l) {
         WithRelocations(0x1000, {0x3000 | 0x100})(f, l);
         Put(f, l.Section(".data", offsetof(Sec, Characteristics)), 0xC2000040);
       },
       Decommitted(".data")},
      {[](Bytes& f, const Layout& l) {
         RelocationsInDiscardableRsrc(0x62000020)(f, l);  // code, so that the entry may lie there
         Put(f, l.Optional(offsetof(Opt, AddressOfEntryPoint)), 0x4010);
       },
       Decommitted(".rsrc")},
      {SetSection(".rsrc", offsetof(Sec, Characteristics), 0x42000040), "",  // never discarded
       [](const emulator::LoadedImage& image) { EXPECT_NE(RegionNamed(image, ".rsrc"), nullptr); }},
      {[](Bytes& f, const Layout& l) {
         Put(f, l.FileHeader(offsetof(Head, Characteristics)), 0x0102, 2);
         Put(f, l.Optional(offsetof(Opt, ImageBase)), 0x20000);
       },
       "ImageBase: 0x20000 with no base relocations: the device loads the image at 0x10000 and "
       "fixes up nothing",
       [](const emulator::LoadedImage& image) { EXPECT_EQ(image.base, 0x10000u); }},
      {SetOptional(offsetof(Opt, ImageBase), 0x400000), "",  // the highest base, inclusive
       [](const emulator::LoadedImage& image) {
         EXPECT_EQ(image.base, 0x400000u);
         EXPECT_EQ(image.regions[0].address, 0x401000u);
       }},
      {WithRelocations(0x1000, {0x7010}),
       "base relocation block at RVA 0x2100, entry 0x8: type 7, which the device's loader does "
       "not apply"},
  };
}

TEST(ImageLoader, RunsWhatTheDeviceRunsWithANoteNamingTheField) {
  for (const Noted& row : NotedImages()) {
    SCOPED_TRACE(row.note);
    Bytes file = DeviceImage();
    const Layout layout(file);
    if (!row.note.starts_with("CheckSum")) Put(file, layout.Optional(offsetof(Opt, CheckSum)), 0);
    row.patch(file, layout);
    const emulator::LoadedImage image = emulator::LoadImage(file, "image.exe");
    const std::vector<std::string> expected =
        row.note.empty() ? std::vector<std::string>{}
                         : std::vector{"image.exe: " + WithImageSize(row.note)};
    EXPECT_EQ(image.notes, expected);
    if (row.note.ends_with("finds none")) {
      EXPECT_TRUE(image.resources.empty());
    }
    row.check(image);
  }
}

// The word, or half-word pair, at .text + 0x10 as the device leaves it after relocation.
TEST(ImageLoader, AppliesBaseRelocationsAsTheDeviceDoes) {
  const Bytes original = DeviceImage();
  const Layout originalLayout(original);
  const size_t text = originalLayout.Rva(0x1000);
  const uint32_t word = Get32(original, text + 0x10);
  const uint16_t low = word & 0xFFFF, high = word >> 16;
  struct Row {
    const char* what;
    std::vector<uint16_t> entries;
    uint32_t expected;  // the word at .text + 0x10
    uint32_t preferredBase = kPreferredBase;
  };
  const uint32_t highLow = (uint32_t{high} << 16 | low) + 0x10000 - 0x30000;
  const Row rows[] = {
      {"HIGHLOW", {0x3010}, word + kDelta},
      {"ABSOLUTE is padding", {0x0010, 0x3010}, word + kDelta},
      {"LOW alone", {0x2010}, (word & 0xFFFF0000) | ((low + kDelta) & 0xFFFF)},
      {"HIGH then LOW",
       {0x1012, 0x2010},
       (((highLow + 0x8000) >> 16) & 0xFFFF) << 16 | (highLow & 0xFFFF),
       0x30000},
      {"HIGHADJ takes the next entry as its low half, rounded",
       {0x4012, 0x7900},
       (word & 0xFFFF) | ((high + ((0x7900 + kDelta + 0x8000) >> 16)) & 0xFFFF) << 16},
      {"a second HIGHLOW block entry", {0x3010, 0x3010}, word + 2 * kDelta},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Bytes file = original;
    const Layout layout(file);
    Put(file, layout.Optional(offsetof(Opt, CheckSum)), 0);
    WithRelocations(0x1000, row.entries)(file, layout);
    Put(file, layout.Optional(offsetof(Opt, ImageBase)), row.preferredBase);
    const emulator::LoadedImage image = emulator::LoadImage(file, "image.exe");
    EXPECT_EQ(image.base, 0x10000u);
    EXPECT_TRUE(image.notes.empty());
    EXPECT_EQ(Get32(image.regions[0].bytes, 0x10), row.expected);
    EXPECT_EQ(Get32(image.regions[0].bytes, 0x14), Get32(original, text + 0x14));
    // The code as linked stays known, for the ELF file it was linked as.
    EXPECT_EQ(image.preferredBase, row.preferredBase);
    EXPECT_EQ(Get32(image.regions[0].linkedBytes, 0x10), word);
    EXPECT_EQ(image.regions[0].linkedBytes.size(), image.regions[0].bytes.size());
  }
}

}  // namespace
