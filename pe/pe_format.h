// The PE/COFF structures and constants the image is made of, spelled as the PE/COFF documentation
// spells them. There are no Windows headers on the build machine, so they are defined here. Every
// structure is built from byte-aligned little-endian fields: its size is its size in the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "little_endian_field.h"

namespace pe {

constexpr uint16_t IMAGE_DOS_SIGNATURE = 0x5A4D;     // "MZ"
constexpr uint32_t IMAGE_NT_SIGNATURE = 0x00004550;  // "PE\0\0"

constexpr uint16_t IMAGE_FILE_MACHINE_ARM = 0x01C0;

// File header characteristics.
constexpr uint16_t IMAGE_FILE_RELOCS_STRIPPED = 0x0001;
constexpr uint16_t IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002;
constexpr uint16_t IMAGE_FILE_32BIT_MACHINE = 0x0100;
constexpr uint16_t IMAGE_FILE_DLL = 0x2000;

constexpr uint16_t IMAGE_NT_OPTIONAL_HDR32_MAGIC = 0x010B;
constexpr uint16_t IMAGE_SUBSYSTEM_WINDOWS_CE_GUI = 9;

// Data directory indices.
constexpr size_t IMAGE_DIRECTORY_ENTRY_IMPORT = 1;
constexpr size_t IMAGE_DIRECTORY_ENTRY_RESOURCE = 2;
constexpr size_t IMAGE_DIRECTORY_ENTRY_BASERELOC = 5;
constexpr size_t IMAGE_DIRECTORY_ENTRY_IAT = 12;
constexpr size_t IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR = 14;
constexpr size_t IMAGE_NUMBEROF_DIRECTORY_ENTRIES = 16;

// Section characteristics.
constexpr uint32_t IMAGE_SCN_CNT_CODE = 0x00000020;
constexpr uint32_t IMAGE_SCN_CNT_INITIALIZED_DATA = 0x00000040;
constexpr uint32_t IMAGE_SCN_CNT_UNINITIALIZED_DATA = 0x00000080;
constexpr uint32_t IMAGE_SCN_MEM_DISCARDABLE = 0x02000000;
constexpr uint32_t IMAGE_SCN_MEM_EXECUTE = 0x20000000;
constexpr uint32_t IMAGE_SCN_MEM_READ = 0x40000000;
constexpr uint32_t IMAGE_SCN_MEM_WRITE = 0x80000000;

constexpr size_t IMAGE_SIZEOF_SHORT_NAME = 8;

// Import lookup table entries: bit 31 clear means "by name", the rest is a hint/name RVA.
constexpr uint32_t IMAGE_ORDINAL_FLAG32 = 0x80000000;

// Resource directory entries: bit 31 of the name marks a string name, bit 31 of the offset marks
// a subdirectory.
constexpr uint32_t IMAGE_RESOURCE_NAME_IS_STRING = 0x80000000;
constexpr uint32_t IMAGE_RESOURCE_DATA_IS_DIRECTORY = 0x80000000;

struct DosHeader {
  ulittle16_t e_magic;
  ulittle16_t e_cblp;
  ulittle16_t e_cp;
  ulittle16_t e_crlc;
  ulittle16_t e_cparhdr;
  ulittle16_t e_minalloc;
  ulittle16_t e_maxalloc;
  ulittle16_t e_ss;
  ulittle16_t e_sp;
  ulittle16_t e_csum;
  ulittle16_t e_ip;
  ulittle16_t e_cs;
  ulittle16_t e_lfarlc;
  ulittle16_t e_ovno;
  ulittle16_t e_res[4];
  ulittle16_t e_oemid;
  ulittle16_t e_oeminfo;
  ulittle16_t e_res2[10];
  ulittle32_t e_lfanew;
};

struct FileHeader {
  ulittle16_t Machine;
  ulittle16_t NumberOfSections;
  ulittle32_t TimeDateStamp;
  ulittle32_t PointerToSymbolTable;
  ulittle32_t NumberOfSymbols;
  ulittle16_t SizeOfOptionalHeader;
  ulittle16_t Characteristics;
};

struct ImageDataDirectory {
  ulittle32_t VirtualAddress;
  ulittle32_t Size;
};

struct OptionalHeader32 {
  ulittle16_t Magic;
  uint8_t MajorLinkerVersion;
  uint8_t MinorLinkerVersion;
  ulittle32_t SizeOfCode;
  ulittle32_t SizeOfInitializedData;
  ulittle32_t SizeOfUninitializedData;
  ulittle32_t AddressOfEntryPoint;
  ulittle32_t BaseOfCode;
  ulittle32_t BaseOfData;
  ulittle32_t ImageBase;
  ulittle32_t SectionAlignment;
  ulittle32_t FileAlignment;
  ulittle16_t MajorOperatingSystemVersion;
  ulittle16_t MinorOperatingSystemVersion;
  ulittle16_t MajorImageVersion;
  ulittle16_t MinorImageVersion;
  ulittle16_t MajorSubsystemVersion;
  ulittle16_t MinorSubsystemVersion;
  ulittle32_t Win32VersionValue;
  ulittle32_t SizeOfImage;
  ulittle32_t SizeOfHeaders;
  ulittle32_t CheckSum;
  ulittle16_t Subsystem;
  ulittle16_t DllCharacteristics;
  ulittle32_t SizeOfStackReserve;
  ulittle32_t SizeOfStackCommit;
  ulittle32_t SizeOfHeapReserve;
  ulittle32_t SizeOfHeapCommit;
  ulittle32_t LoaderFlags;
  ulittle32_t NumberOfRvaAndSizes;
  ImageDataDirectory DataDirectory[IMAGE_NUMBEROF_DIRECTORY_ENTRIES];
};

struct SectionHeader {
  char Name[IMAGE_SIZEOF_SHORT_NAME];
  ulittle32_t VirtualSize;
  ulittle32_t VirtualAddress;
  ulittle32_t SizeOfRawData;
  ulittle32_t PointerToRawData;
  ulittle32_t PointerToRelocations;
  ulittle32_t PointerToLinenumbers;
  ulittle16_t NumberOfRelocations;
  ulittle16_t NumberOfLinenumbers;
  ulittle32_t Characteristics;
};

struct ImportDescriptor {
  ulittle32_t OriginalFirstThunk;  // RVA of the import lookup table
  ulittle32_t TimeDateStamp;
  ulittle32_t ForwarderChain;
  ulittle32_t Name;        // RVA of the library name
  ulittle32_t FirstThunk;  // RVA of the import address table
};

// A block of base relocations: the page it fixes up, then 16-bit entries, type << 12 | offset.
struct BaseRelocationBlock {
  ulittle32_t VirtualAddress;
  ulittle32_t SizeOfBlock;  // the header and its entries, in bytes
};

constexpr uint16_t IMAGE_REL_BASED_ABSOLUTE = 0;
constexpr uint16_t IMAGE_REL_BASED_HIGH = 1;
constexpr uint16_t IMAGE_REL_BASED_LOW = 2;
constexpr uint16_t IMAGE_REL_BASED_HIGHLOW = 3;
constexpr uint16_t IMAGE_REL_BASED_HIGHADJ = 4;

struct ResourceDirectoryTable {
  ulittle32_t Characteristics;
  ulittle32_t TimeDateStamp;
  ulittle16_t MajorVersion;
  ulittle16_t MinorVersion;
  ulittle16_t NumberOfNamedEntries;
  ulittle16_t NumberOfIdEntries;
};

struct ResourceDirectoryEntry {
  ulittle32_t Name;          // an id, or IMAGE_RESOURCE_NAME_IS_STRING | offset of the name
  ulittle32_t OffsetToData;  // a data entry's offset, or IMAGE_RESOURCE_DATA_IS_DIRECTORY | offset
};

struct ResourceDataEntry {
  ulittle32_t OffsetToData;  // an RVA, unlike the other offsets in the resource directory
  ulittle32_t Size;
  ulittle32_t CodePage;
  ulittle32_t Reserved;
};

static_assert(sizeof(DosHeader) == 64);
static_assert(offsetof(DosHeader, e_lfanew) == 0x3C);
static_assert(sizeof(FileHeader) == 20);
static_assert(sizeof(ImageDataDirectory) == 8);
// The loader reads the optional header as a fixed 224 bytes with 16 directories, whatever
// SizeOfOptionalHeader says, and finds the section table right after it.
static_assert(sizeof(OptionalHeader32) == 0xE0);
static_assert(offsetof(OptionalHeader32, CheckSum) == 64);
static_assert(offsetof(OptionalHeader32, DataDirectory) == 96);
// The PE signature, file header and optional header: the loader reads this fixed size and finds the
// section table right after it.
constexpr uint32_t kNtHeadersSize =
    sizeof(uint32_t) + sizeof(FileHeader) + sizeof(OptionalHeader32);
static_assert(kNtHeadersSize == 248);
static_assert(sizeof(SectionHeader) == 40);
static_assert(sizeof(ImportDescriptor) == 20);
static_assert(sizeof(BaseRelocationBlock) == 8);
static_assert(sizeof(ResourceDirectoryTable) == 16);
static_assert(sizeof(ResourceDirectoryEntry) == 8);
static_assert(sizeof(ResourceDataEntry) == 16);

// The standard PE checksum: the file's 16-bit words added with end-around carry, plus the file's
// length, with the CheckSum field itself counted as zero.
inline uint32_t ImageChecksum(std::span<const uint8_t> file, size_t checksumField) {
  auto byteAt = [&](size_t i) -> uint32_t {
    return i >= file.size() || (i >= checksumField && i < checksumField + 4) ? 0 : file[i];
  };
  uint32_t sum = 0;
  for (size_t i = 0; i < file.size(); i += 2) {
    const bool plain = i + 1 < file.size() && (i + 1 < checksumField || i >= checksumField + 4);
    sum += plain ? file[i] | file[i + 1] << 8 : byteAt(i) | byteAt(i + 1) << 8;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return sum + static_cast<uint32_t>(file.size());
}

}  // namespace pe
