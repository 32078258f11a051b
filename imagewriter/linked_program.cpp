#include "linked_program.h"

#include <elf.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "image_error.h"

namespace imagewriter {
namespace {

// The <elf.h> structures are read by copying them out of the file, which holds them little-endian.
static_assert(std::endian::native == std::endian::little,
              "the ELF structures are read in place; build the writer on a little-endian host");
// The machine field sits at the same place in 32- and 64-bit files, so a file built for another
// machine is named as such before its class is looked at.
static_assert(offsetof(Elf32_Ehdr, e_machine) == offsetof(Elf64_Ehdr, e_machine));

// The thunk for routine R jumps through the import address table slot named __imp_R.
constexpr std::string_view kImportSlotPrefix = "__imp_";

// True for the routines a compiler calls on its own: the ARM run-time ABI's helpers (division,
// block copies, unwinding), C++ run-time support, atomics and the GNU arithmetic helpers such as
// __udivsi3 or __adddf3. The device's core library exports none of them.
bool IsCompilerHelper(std::string_view name) {
  for (std::string_view prefix : {"__aeabi_", "__gnu_", "__cxa_", "__sync_", "__atomic_"}) {
    if (name.starts_with(prefix)) return true;
  }
  if (!name.starts_with("__")) return false;
  std::string_view stem = name.substr(2);
  while (!stem.empty() && std::isdigit(static_cast<unsigned char>(stem.back()))) {
    stem.remove_suffix(1);
  }
  if (stem.empty() ||
      !std::all_of(stem.begin(), stem.end(), [](char c) { return c >= 'a' && c <= 'z'; })) {
    return false;
  }
  for (std::string_view mode : {"qi", "hi", "si", "di", "ti", "sf", "df", "tf"}) {
    if (stem.size() > mode.size() && stem.ends_with(mode)) return true;
  }
  return false;
}

std::string ElfTypeName(uint16_t type) {
  switch (type) {
    case ET_REL:
      return "a relocatable object";
    case ET_DYN:
      return "a shared object or position-independent executable";
    case ET_CORE:
      return "a core file";
    default:
      return "an unknown kind";
  }
}

struct Symbol {
  std::string name;
  uint32_t value = 0;
  uint32_t size = 0;
  uint16_t section = SHN_UNDEF;
};

class ElfReader {
 public:
  ElfReader(std::span<const uint8_t> file, const std::string& fileName)
      : file_(file), fileName_(fileName) {}

  LinkedProgram Read(AddressRange image, uint32_t pageSize) {
    ReadHeader();
    ReadSectionHeaders();
    LinkedProgram program;
    program.sections = ReadProgramSections(image, pageSize);
    ReadSymbols();
    CheckRelocations();
    CheckSymbols();
    program.entry = CheckedEntry(program.sections);
    program.importSlots = FindImportSlots(program.sections);
    return program;
  }

 private:
  [[noreturn]] void Fail(const std::string& problem) const { throw ImageError(fileName_, problem); }

  template <typename T>
  T ReadAt(uint64_t offset, const char* what) const {
    static_assert(std::is_trivially_copyable_v<T>);
    if (offset > file_.size() || sizeof(T) > file_.size() - offset) {
      Fail("truncated: the " + std::string(what) + " at offset " + std::to_string(offset) +
           " runs past the end of the file");
    }
    T value;
    std::memcpy(&value, file_.data() + offset, sizeof(T));
    return value;
  }

  void ReadHeader() {
    if (file_.size() < EI_NIDENT || std::memcmp(file_.data(), ELFMAG, SELFMAG) != 0) {
      Fail("not an ELF file");
    }
    if (file_[EI_DATA] != ELFDATA2LSB) Fail("not a little-endian ELF file");
    auto machine = ReadAt<Elf32_Half>(offsetof(Elf32_Ehdr, e_machine), "ELF header");
    if (machine != EM_ARM) Fail("built for machine " + std::to_string(machine) + ", not ARM");
    if (file_[EI_CLASS] != ELFCLASS32) Fail("not a 32-bit ELF file");
    header_ = ReadAt<Elf32_Ehdr>(0, "ELF header");
    if (header_.e_type != ET_EXEC) {
      Fail("not a linked executable but " + ElfTypeName(header_.e_type));
    }
    if ((header_.e_flags & EF_ARM_EABIMASK) != EF_ARM_EABI_VER5) {
      Fail("not built for version 5 of the ARM EABI");
    }
    if (header_.e_flags & EF_ARM_ABI_FLOAT_HARD) {
      Fail("passes floating-point values in FPU registers; the device has no FPU");
    }
  }

  void ReadSectionHeaders() {
    if (header_.e_shoff == 0 || header_.e_shnum == 0) Fail("has no section headers");
    if (header_.e_shentsize != sizeof(Elf32_Shdr)) {
      Fail("section headers of " + std::to_string(header_.e_shentsize) + " bytes, not " +
           std::to_string(sizeof(Elf32_Shdr)));
    }
    for (uint32_t i = 0; i < header_.e_shnum; ++i) {
      sections_.push_back(
          ReadAt<Elf32_Shdr>(header_.e_shoff + uint64_t{i} * sizeof(Elf32_Shdr), "section header"));
    }
    for (uint32_t i = 0; i < sections_.size(); ++i) {
      const Elf32_Shdr& section = sections_[i];
      if (section.sh_type != SHT_NOBITS && section.sh_type != SHT_NULL &&
          uint64_t{section.sh_offset} + section.sh_size > file_.size()) {
        Fail("truncated: section " + std::to_string(i) + " runs past the end of the file");
      }
    }
    if (header_.e_shstrndx >= sections_.size() ||
        sections_[header_.e_shstrndx].sh_type != SHT_STRTAB) {
      Fail("has no section name table");
    }
  }

  // The string at `offset` in string table section `table`.
  std::string StringAt(uint32_t table, uint32_t offset) const {
    const Elf32_Shdr& strings = sections_[table];
    if (strings.sh_type != SHT_STRTAB || offset >= strings.sh_size) {
      Fail("a name lies outside string table section " + std::to_string(table));
    }
    const auto* begin = reinterpret_cast<const char*>(file_.data() + strings.sh_offset);
    std::string_view rest(begin + offset, strings.sh_size - offset);
    size_t end = rest.find('\0');
    if (end == std::string_view::npos) {
      Fail("string table section " + std::to_string(table) + " does not end its last name");
    }
    return std::string(rest.substr(0, end));
  }

  std::string SectionName(const Elf32_Shdr& section) const {
    return StringAt(header_.e_shstrndx, section.sh_name);
  }

  // The sections the program occupies memory with, each checked to be something a PE section can
  // hold at the address the code was linked for.
  std::vector<ProgramSection> ReadProgramSections(AddressRange image, uint32_t pageSize) const {
    std::vector<ProgramSection> program;
    for (const Elf32_Shdr& section : sections_) {
      if (!(section.sh_flags & SHF_ALLOC) || section.sh_size == 0) continue;
      program.push_back(CheckedProgramSection(section, image, pageSize));
    }
    if (program.empty()) Fail("has no program sections");
    std::ranges::sort(program, {}, &ProgramSection::address);
    for (size_t i = 1; i < program.size(); ++i) {
      const ProgramSection& previous = program[i - 1];
      if (previous.address + previous.size > program[i].address) {
        Fail("sections " + Printable(previous.name) + " and " + Printable(program[i].name) +
             " overlap");
      }
    }
    return program;
  }

  ProgramSection CheckedProgramSection(const Elf32_Shdr& section, AddressRange image,
                                       uint32_t pageSize) const {
    std::string name = SectionName(section);
    std::string shown = "section " + Printable(name);
    if (section.sh_flags & SHF_TLS) Fail(shown + " holds thread-local data");
    if (section.sh_type == SHT_INIT_ARRAY || section.sh_type == SHT_PREINIT_ARRAY ||
        section.sh_type == SHT_FINI_ARRAY || name == ".ctors" || name == ".dtors") {
      Fail(shown + " lists static initialisers or exit handlers, which nothing would run");
    }
    if (section.sh_type == SHT_REL || section.sh_type == SHT_RELA) {
      Fail(shown + " holds dynamic relocations, which the device's loader does not apply");
    }
    if (section.sh_type != SHT_PROGBITS && section.sh_type != SHT_NOBITS) {
      Fail(shown + " of type " + Hex(section.sh_type) +
           " is neither code nor data; discard it when linking");
    }
    bool executable = section.sh_flags & SHF_EXECINSTR;
    bool writable = section.sh_flags & SHF_WRITE;
    if (executable && writable) Fail(shown + " is both writable and executable");
    if (name.size() > 8) Fail(shown + " has a longer name than the 8 characters a PE section has");
    uint64_t end = uint64_t{section.sh_addr} + section.sh_size;
    if (section.sh_addr < image.begin || end > image.end) {
      Fail(shown + " at " + Hex(section.sh_addr) + "-" + Hex(static_cast<uint32_t>(end)) +
           " lies outside the image's range " + Hex(image.begin) + "-" + Hex(image.end));
    }
    if (section.sh_addr % pageSize != 0) {
      Fail(shown + " at " + Hex(section.sh_addr) + " does not start on a " + Hex(pageSize) +
           " page");
    }
    ProgramSection result;
    result.name = name;
    result.address = section.sh_addr;
    result.size = section.sh_size;
    result.executable = executable;
    result.writable = writable;
    result.zeroFilled = section.sh_type == SHT_NOBITS;
    if (!result.zeroFilled) result.contents = file_.subspan(section.sh_offset, section.sh_size);
    return result;
  }

  void ReadSymbols() {
    auto table = std::ranges::find(sections_, SHT_SYMTAB, &Elf32_Shdr::sh_type);
    if (table == sections_.end()) Fail("has no symbol table; keep it when linking");
    if (table->sh_entsize != sizeof(Elf32_Sym) || table->sh_link >= sections_.size()) {
      Fail("has a malformed symbol table");
    }
    symbolTable_ = static_cast<uint32_t>(table - sections_.begin());
    for (uint32_t offset = 0; offset + sizeof(Elf32_Sym) <= table->sh_size;
         offset += sizeof(Elf32_Sym)) {
      auto symbol = ReadAt<Elf32_Sym>(uint64_t{table->sh_offset} + offset, "symbol");
      symbols_.push_back({.name = StringAt(table->sh_link, symbol.st_name),
                          .value = symbol.st_value,
                          .size = symbol.st_size,
                          .section = symbol.st_shndx});
    }
  }

  // With --emit-relocs the linker keeps the relocations it applied. One against a symbol nobody
  // defines (a weak reference) was left unresolved: the code would jump to or read address 0.
  void CheckRelocations() const {
    for (const Elf32_Shdr& section : sections_) {
      if (section.sh_type != SHT_REL && section.sh_type != SHT_RELA) continue;
      if (section.sh_info >= sections_.size() ||
          !(sections_[section.sh_info].sh_flags & SHF_ALLOC)) {
        continue;  // relocations of debugging information
      }
      if (section.sh_link != symbolTable_)
        Fail(Printable(SectionName(section)) + " uses another symbol table");
      size_t entrySize = section.sh_type == SHT_REL ? sizeof(Elf32_Rel) : sizeof(Elf32_Rela);
      for (uint32_t offset = 0; offset + entrySize <= section.sh_size; offset += entrySize) {
        auto relocation = ReadAt<Elf32_Rel>(uint64_t{section.sh_offset} + offset, "relocation");
        uint32_t symbol = ELF32_R_SYM(relocation.r_info);
        if (symbol >= symbols_.size()) {
          Fail("relocation at " + Hex(relocation.r_offset) + " names symbol " +
               std::to_string(symbol) + ", which does not exist");
        }
        if (symbol != 0 && symbols_[symbol].section == SHN_UNDEF) {
          Fail("relocation type " + std::to_string(ELF32_R_TYPE(relocation.r_info)) + " at " +
               Hex(relocation.r_offset) + " against undefined symbol " +
               Printable(symbols_[symbol].name) + " is left unresolved");
        }
      }
    }
  }

  void CheckSymbols() const {
    for (const Symbol& symbol : symbols_) {
      if (IsCompilerHelper(symbol.name)) {
        Fail("uses compiler helper " + Printable(symbol.name) +
             ", which the device's core library does not have");
      }
      if (symbol.section == SHN_UNDEF && !symbol.name.empty()) {
        Fail("undefined symbol " + Printable(symbol.name));
      }
    }
  }

  uint32_t CheckedEntry(const std::vector<ProgramSection>& program) const {
    uint32_t entry = header_.e_entry;
    auto section = std::ranges::find_if(program, [&](const ProgramSection& s) {
      return entry >= s.address && entry - s.address < s.size;
    });
    if (section == program.end() || !section->executable) {
      Fail("entry point " + Hex(entry) + " is not in a code section");
    }
    if (entry & 1) Fail("entry point " + Hex(entry) + " is Thumb code; the loader calls ARM code");
    if (entry & 3) Fail("entry point " + Hex(entry) + " is not on a 4-byte boundary");
    return entry;
  }

  // The import address table: the __imp_ slots, which must be adjacent words of initialised,
  // writable data (the loader stores each routine's address there) followed by a zero word.
  std::vector<ImportSlot> FindImportSlots(const std::vector<ProgramSection>& program) const {
    std::vector<ImportSlot> slots;
    const ProgramSection* table = nullptr;
    for (const Symbol& symbol : symbols_) {
      if (!symbol.name.starts_with(kImportSlotPrefix)) continue;
      std::string shown = "import slot " + Printable(symbol.name);
      auto section = std::ranges::find_if(program, [&](const ProgramSection& s) {
        return symbol.value >= s.address && symbol.value - s.address < s.size;
      });
      if (section == program.end() || symbol.size != 4 || symbol.value % 4 != 0) {
        Fail(shown + " is not a 4-byte word on a 4-byte boundary in the program");
      }
      if (!section->writable || section->zeroFilled) {
        Fail(shown + " lies in " + Printable(section->name) +
             ", which is not initialised writable data; the loader writes the slot");
      }
      if (table != nullptr && table != &*section) {
        Fail(shown + " lies in " + Printable(section->name) + ", apart from the other slots");
      }
      table = &*section;
      slots.push_back({symbol.name.substr(kImportSlotPrefix.size()), symbol.value});
    }
    if (slots.empty()) return slots;
    std::ranges::sort(slots, {}, &ImportSlot::address);
    for (size_t i = 1; i < slots.size(); ++i) {
      if (slots[i].address != slots[i - 1].address + 4) {
        Fail("import slots for " + Printable(slots[i - 1].routine) + " and " +
             Printable(slots[i].routine) + " are not adjacent words");
      }
    }
    uint32_t end = slots.back().address + 4 - table->address;
    if (end + 4 > table->size || table->contents[end] != 0 || table->contents[end + 1] != 0 ||
        table->contents[end + 2] != 0 || table->contents[end + 3] != 0) {
      Fail("the import address table at " + Hex(slots.front().address) +
           " is not followed by a zero word");
    }
    return slots;
  }

  std::span<const uint8_t> file_;
  const std::string& fileName_;
  Elf32_Ehdr header_{};
  std::vector<Elf32_Shdr> sections_;
  std::vector<Symbol> symbols_;
  uint32_t symbolTable_ = 0;
};

}  // namespace

LinkedProgram ReadLinkedProgram(std::span<const uint8_t> file, const std::string& fileName,
                                AddressRange image, uint32_t pageSize) {
  return ElfReader(file, fileName).Read(image, pageSize);
}

}  // namespace imagewriter
