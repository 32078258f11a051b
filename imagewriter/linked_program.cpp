// The ELF structures are elfutils' to read (libelf, through gelf), as the image's symbols are in
// debuginfo/; this file keeps only the checks of what the writer accepts as a linked program.
#include "linked_program.h"

#include <gelf.h>
#include <libelf.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <string_view>

#include "image_error.h"

namespace imagewriter {
namespace {

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
  // libelf reads from memory it may write to; the reader keeps its own copy of the file.
  ElfReader(std::span<const uint8_t> file, const std::string& fileName)
      : file_(file), fileName_(fileName), bytes_(file.begin(), file.end()) {}

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

  // `what` could not be read; libelf's own message says why.
  [[noreturn]] void FailReading(const std::string& what) const {
    Fail(what + " cannot be read: " + Printable(elf_errmsg(-1)));
  }

  void ReadHeader() {
    elf_version(EV_CURRENT);
    elf_.reset(elf_memory(bytes_.data(), bytes_.size()));
    if (!elf_ || elf_kind(elf_.get()) != ELF_K_ELF) Fail("not an ELF file");
    size_t identSize = 0;
    const char* ident = elf_getident(elf_.get(), &identSize);
    if (ident == nullptr || identSize < EI_NIDENT) Fail("not an ELF file");
    if (ident[EI_DATA] != ELFDATA2LSB) Fail("not a little-endian ELF file");
    // A file built for another machine is named as such before its class is looked at.
    if (!gelf_getehdr(elf_.get(), &header_)) FailReading("the ELF header");
    if (header_.e_machine != EM_ARM) {
      Fail("built for machine " + std::to_string(header_.e_machine) + ", not ARM");
    }
    if (ident[EI_CLASS] != ELFCLASS32) Fail("not a 32-bit ELF file");
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
    const uint64_t whole =
        header_.e_shoff > file_.size() ? 0 : (file_.size() - header_.e_shoff) / sizeof(Elf32_Shdr);
    if (whole < header_.e_shnum) {
      Fail("truncated: the section header at offset " +
           std::to_string(header_.e_shoff + whole * sizeof(Elf32_Shdr)) +
           " runs past the end of the file");
    }
    size_t count = 0;
    if (elf_getshdrnum(elf_.get(), &count) != 0) FailReading("the section headers");
    for (size_t i = 0; i < count; ++i) {
      GElf_Shdr section;
      Elf_Scn* scn = elf_getscn(elf_.get(), i);
      if (scn == nullptr || !gelf_getshdr(scn, &section)) {
        FailReading("section header " + std::to_string(i));
      }
      if (section.sh_type != SHT_NOBITS && section.sh_type != SHT_NULL &&
          (section.sh_offset > file_.size() ||
           section.sh_size > file_.size() - section.sh_offset)) {
        Fail("truncated: section " + std::to_string(i) + " runs past the end of the file");
      }
      sections_.push_back(section);
    }
    size_t names = 0;
    if (elf_getshdrstrndx(elf_.get(), &names) != 0 || names >= sections_.size() ||
        sections_[names].sh_type != SHT_STRTAB) {
      Fail("has no section name table");
    }
    names_ = names;
  }

  // The string at `offset` in string table section `table`.
  std::string StringAt(size_t table, size_t offset) const {
    const char* text = elf_strptr(elf_.get(), table, offset);
    if (text == nullptr) {
      Fail("a name at offset " + std::to_string(offset) + " of string table section " +
           std::to_string(table) + " cannot be read");
    }
    return text;
  }

  std::string SectionName(const GElf_Shdr& section) const {
    return StringAt(names_, section.sh_name);
  }

  // The data of section `index`, whole.
  Elf_Data* SectionData(size_t index) const {
    Elf_Data* data = elf_getdata(elf_getscn(elf_.get(), index), nullptr);
    if (data == nullptr) FailReading("section " + std::to_string(index));
    return data;
  }

  // The sections the program occupies memory with, each checked to be something a PE section can
  // hold at the address the code was linked for.
  std::vector<ProgramSection> ReadProgramSections(AddressRange image, uint32_t pageSize) const {
    std::vector<ProgramSection> program;
    for (const GElf_Shdr& section : sections_) {
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

  ProgramSection CheckedProgramSection(const GElf_Shdr& section, AddressRange image,
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
      Fail(shown + " at " + Hex(section.sh_addr) + "-" + Hex(end) +
           " lies outside the image's range " + Hex(image.begin) + "-" + Hex(image.end));
    }
    if (section.sh_addr % pageSize != 0) {
      Fail(shown + " at " + Hex(section.sh_addr) + " does not start on a " + Hex(pageSize) +
           " page");
    }
    ProgramSection result;
    result.name = name;
    result.address = static_cast<uint32_t>(section.sh_addr);
    result.size = static_cast<uint32_t>(section.sh_size);
    result.executable = executable;
    result.writable = writable;
    result.zeroFilled = section.sh_type == SHT_NOBITS;
    if (!result.zeroFilled) result.contents = file_.subspan(section.sh_offset, section.sh_size);
    return result;
  }

  void ReadSymbols() {
    auto table = std::ranges::find(sections_, SHT_SYMTAB, &GElf_Shdr::sh_type);
    if (table == sections_.end()) Fail("has no symbol table; keep it when linking");
    if (table->sh_entsize != sizeof(Elf32_Sym) || table->sh_link >= sections_.size()) {
      Fail("has a malformed symbol table");
    }
    symbolTable_ = static_cast<size_t>(table - sections_.begin());
    Elf_Data* data = SectionData(symbolTable_);
    for (size_t i = 0; i < data->d_size / sizeof(Elf32_Sym); ++i) {
      GElf_Sym symbol;
      if (!gelf_getsym(data, static_cast<int>(i), &symbol))
        FailReading("symbol " + std::to_string(i));
      symbols_.push_back({.name = StringAt(table->sh_link, symbol.st_name),
                          .value = static_cast<uint32_t>(symbol.st_value),
                          .size = static_cast<uint32_t>(symbol.st_size),
                          .section = symbol.st_shndx});
    }
  }

  // With --emit-relocs the linker keeps the relocations it applied. One against a symbol nobody
  // defines (a weak reference) was left unresolved: the code would jump to or read address 0.
  void CheckRelocations() const {
    for (size_t index = 0; index < sections_.size(); ++index) {
      const GElf_Shdr& section = sections_[index];
      if (section.sh_type != SHT_REL && section.sh_type != SHT_RELA) continue;
      if (section.sh_info >= sections_.size() ||
          !(sections_[section.sh_info].sh_flags & SHF_ALLOC)) {
        continue;  // relocations of debugging information
      }
      if (section.sh_link != symbolTable_)
        Fail(Printable(SectionName(section)) + " uses another symbol table");
      const bool rel = section.sh_type == SHT_REL;
      Elf_Data* data = SectionData(index);
      const size_t count = data->d_size / (rel ? sizeof(Elf32_Rel) : sizeof(Elf32_Rela));
      for (size_t i = 0; i < count; ++i) {
        GElf_Rela relocation;
        GElf_Rel plain;
        if (rel && gelf_getrel(data, static_cast<int>(i), &plain)) {
          relocation = {plain.r_offset, plain.r_info, 0};
        } else if (rel || !gelf_getrela(data, static_cast<int>(i), &relocation)) {
          FailReading("relocation " + std::to_string(i) + " of section " + std::to_string(index));
        }
        const size_t symbol = GELF_R_SYM(relocation.r_info);
        if (symbol >= symbols_.size()) {
          Fail("relocation at " + Hex(relocation.r_offset) + " names symbol " +
               std::to_string(symbol) + ", which does not exist");
        }
        if (symbol != 0 && symbols_[symbol].section == SHN_UNDEF) {
          Fail("relocation type " + std::to_string(GELF_R_TYPE(relocation.r_info)) + " at " +
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
    const uint64_t entry = header_.e_entry;
    auto section = std::ranges::find_if(program, [&](const ProgramSection& s) {
      return entry >= s.address && entry - s.address < s.size;
    });
    if (section == program.end() || !section->executable) {
      Fail("entry point " + Hex(entry) + " is not in a code section");
    }
    if (entry & 1) Fail("entry point " + Hex(entry) + " is Thumb code; the loader calls ARM code");
    if (entry & 3) Fail("entry point " + Hex(entry) + " is not on a 4-byte boundary");
    return static_cast<uint32_t>(entry);
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
  std::vector<char> bytes_;
  std::unique_ptr<Elf, decltype(&elf_end)> elf_{nullptr, &elf_end};
  GElf_Ehdr header_{};
  std::vector<GElf_Shdr> sections_;
  size_t names_ = 0;  // the section name table
  std::vector<Symbol> symbols_;
  size_t symbolTable_ = 0;
};

}  // namespace

LinkedProgram ReadLinkedProgram(std::span<const uint8_t> file, const std::string& fileName,
                                AddressRange image, uint32_t pageSize) {
  return ElfReader(file, fileName).Read(image, pageSize);
}

}  // namespace imagewriter
