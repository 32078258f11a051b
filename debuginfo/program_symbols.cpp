// The ELF and DWARF parsing is elfutils' (libelf, libdw); this file only walks what they give and
// checks that the file is the kind of program the device image is written from.
#include "program_symbols.h"

#include <cxxabi.h>
#include <dwarf.h>
#include <elfutils/libdw.h>
#include <gelf.h>
#include <libelf.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "binary.h"
#include "file_io.h"
#include "shared_library.h"

namespace debuginfo {
namespace {

// The elfutils routines used here, looked up once, when the first ELF file is read. libdw needs
// libelf, so both are found through libdw.
struct Elfutils {
  decltype(&::elf_version) elf_version = nullptr;
  decltype(&::elf_memory) elf_memory = nullptr;
  decltype(&::elf_end) elf_end = nullptr;
  decltype(&::elf_kind) elf_kind = nullptr;
  decltype(&::elf_errmsg) elf_errmsg = nullptr;
  decltype(&::gelf_getehdr) gelf_getehdr = nullptr;
  decltype(&::elf_getshdrstrndx) elf_getshdrstrndx = nullptr;
  decltype(&::elf_nextscn) elf_nextscn = nullptr;
  decltype(&::gelf_getshdr) gelf_getshdr = nullptr;
  decltype(&::elf_strptr) elf_strptr = nullptr;
  decltype(&::elf_getdata) elf_getdata = nullptr;
  decltype(&::gelf_getsym) gelf_getsym = nullptr;
  decltype(&::dwarf_begin_elf) dwarf_begin_elf = nullptr;
  decltype(&::dwarf_end) dwarf_end = nullptr;
  decltype(&::dwarf_nextcu) dwarf_nextcu = nullptr;
  decltype(&::dwarf_offdie) dwarf_offdie = nullptr;
  decltype(&::dwarf_getsrclines) dwarf_getsrclines = nullptr;
  decltype(&::dwarf_onesrcline) dwarf_onesrcline = nullptr;
  decltype(&::dwarf_attr) dwarf_attr = nullptr;
  decltype(&::dwarf_formstring) dwarf_formstring = nullptr;
  decltype(&::dwarf_lineaddr) dwarf_lineaddr = nullptr;
  decltype(&::dwarf_lineno) dwarf_lineno = nullptr;
  decltype(&::dwarf_lineendsequence) dwarf_lineendsequence = nullptr;
  decltype(&::dwarf_linesrc) dwarf_linesrc = nullptr;
};

// Throws SymbolsError, naming `fileName`, when the library or a routine is missing.
const Elfutils& Library(const std::string& fileName) try {
  static const Elfutils elfutils = [] {
    const SharedLibrary library("elfutils", {"libdw.so.1", "libdw.so"});
    Elfutils found;
    library.Find("elf_version", found.elf_version);
    library.Find("elf_memory", found.elf_memory);
    library.Find("elf_end", found.elf_end);
    library.Find("elf_kind", found.elf_kind);
    library.Find("elf_errmsg", found.elf_errmsg);
    library.Find("gelf_getehdr", found.gelf_getehdr);
    library.Find("elf_getshdrstrndx", found.elf_getshdrstrndx);
    library.Find("elf_nextscn", found.elf_nextscn);
    library.Find("gelf_getshdr", found.gelf_getshdr);
    library.Find("elf_strptr", found.elf_strptr);
    library.Find("elf_getdata", found.elf_getdata);
    library.Find("gelf_getsym", found.gelf_getsym);
    library.Find("dwarf_begin_elf", found.dwarf_begin_elf);
    library.Find("dwarf_end", found.dwarf_end);
    library.Find("dwarf_nextcu", found.dwarf_nextcu);
    library.Find("dwarf_offdie", found.dwarf_offdie);
    library.Find("dwarf_getsrclines", found.dwarf_getsrclines);
    library.Find("dwarf_onesrcline", found.dwarf_onesrcline);
    library.Find("dwarf_attr", found.dwarf_attr);
    library.Find("dwarf_formstring", found.dwarf_formstring);
    library.Find("dwarf_lineaddr", found.dwarf_lineaddr);
    library.Find("dwarf_lineno", found.dwarf_lineno);
    library.Find("dwarf_lineendsequence", found.dwarf_lineendsequence);
    library.Find("dwarf_linesrc", found.dwarf_linesrc);
    found.elf_version(EV_CURRENT);
    return found;
  }();
  return elfutils;
} catch (const std::runtime_error& error) {
  throw SymbolsError(fileName + ": cannot be read: " + error.what());
}

// "_Z16CheckRomLanguagev" -> "CheckRomLanguage"; a name that is not mangled stays as it is.
std::string PlainName(const char* name) {
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> demangled(
      abi::__cxa_demangle(name, nullptr, nullptr, &status), &std::free);
  if (status != 0 || !demangled) return name;
  std::string text = demangled.get();
  if (size_t open = text.find('('); open != std::string::npos) text.resize(open);
  return text;
}

bool IsMappingSymbol(std::string_view name, char kind) {
  return name.size() >= 2 && name[0] == '$' && name[1] == kind &&
         (name.size() == 2 || name[2] == '.');
}

// The deepest folder holding every source file and every folder they were compiled in: the
// checkout, when the build folder lies inside it, so that names read "update/main.cpp".
std::string CommonFolder(const std::vector<SourceLine>& lines,
                         const std::vector<std::string>& compileFolders) {
  std::optional<std::string> common;
  auto narrow = [&common](const std::string& path) {
    if (!common) {
      common = path;
      return;
    }
    auto [differs, unused] = std::ranges::mismatch(*common, path);
    common->resize(static_cast<size_t>(differs - common->begin()));
  };
  for (const SourceLine& row : lines) {
    if (!row.file.empty()) narrow(row.file);
  }
  for (const std::string& folder : compileFolders) narrow(folder);
  if (!common) return "";
  return common->substr(0, common->rfind('/') + 1);
}

}  // namespace

class ElfReader {
 public:
  // Throws SymbolsError when elfutils cannot be loaded.
  ElfReader(std::span<const uint8_t> file, const std::string& name)
      : name_(name),
        bytes_(std::make_shared<std::vector<uint8_t>>(file.begin(), file.end())),
        elfutils_(Library(name)) {}

  ProgramSymbols Read() {
    const auto elf = Open();
    if (!elf || elfutils_.elf_kind(elf.get()) != ELF_K_ELF) Fail("not an ELF file");
    GElf_Ehdr header;
    if (!elfutils_.gelf_getehdr(elf.get(), &header))
      Fail(std::string("ELF header: ") + elfutils_.elf_errmsg(-1));
    if (header.e_ident[EI_CLASS] != ELFCLASS32 || header.e_ident[EI_DATA] != ELFDATA2LSB ||
        header.e_machine != EM_ARM || header.e_type != ET_EXEC) {
      Fail("not a 32-bit little-endian ARM executable");
    }
    ProgramSymbols symbols;
    symbols.fileName_ = name_;
    ReadSections(elf.get(), symbols);
    ReadSymbols(elf.get(), symbols);
    symbols.elf_ = bytes_;
    return symbols;
  }

  // The line table of a file Read has accepted; a file without DWARF has none.
  ProgramSymbols::LineTable ReadLineTable() {
    ProgramSymbols::LineTable table;
    if (const auto elf = Open()) ReadLines(elf.get(), table.lines);
    table.sourceRoot = CommonFolder(table.lines, compileFolders_);
    return table;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const { throw SymbolsError(name_ + ": " + what); }

  std::unique_ptr<Elf, decltype(Elfutils::elf_end)> Open() {
    return {elfutils_.elf_memory(reinterpret_cast<char*>(bytes_->data()), bytes_->size()),
            elfutils_.elf_end};
  }

  void ReadSections(Elf* elf, ProgramSymbols& symbols) {
    size_t namesIndex = 0;
    if (elfutils_.elf_getshdrstrndx(elf, &namesIndex) != 0) Fail("has no section name table");
    for (Elf_Scn* section = elfutils_.elf_nextscn(elf, nullptr); section;
         section = elfutils_.elf_nextscn(elf, section)) {
      GElf_Shdr header;
      if (!elfutils_.gelf_getshdr(section, &header))
        Fail(std::string("section header: ") + elfutils_.elf_errmsg(-1));
      if (!(header.sh_flags & SHF_ALLOC) || header.sh_size == 0) continue;
      const char* name = elfutils_.elf_strptr(elf, namesIndex, header.sh_name);
      if (!name) Fail("a section name lies outside the name table");
      ProgramSection program{name,
                             static_cast<uint32_t>(header.sh_addr),
                             static_cast<uint32_t>(header.sh_size),
                             (header.sh_flags & SHF_EXECINSTR) != 0,
                             header.sh_type == SHT_NOBITS,
                             {}};
      if (uint64_t{program.address} + program.size > (uint64_t{1} << 32)) {
        Fail("section " + program.name + " runs past the end of the address space");
      }
      if (!program.zeroFilled) {
        Elf_Data* data = elfutils_.elf_getdata(section, nullptr);
        if (!data || data->d_size != header.sh_size || !data->d_buf) {
          Fail("section " + program.name + ": contents cannot be read");
        }
        const auto* begin = static_cast<const uint8_t*>(data->d_buf);
        program.bytes.assign(begin, begin + data->d_size);
      }
      symbols.sections_.push_back(std::move(program));
    }
    std::ranges::sort(symbols.sections_, {}, &ProgramSection::address);
  }

  void ReadSymbols(Elf* elf, ProgramSymbols& symbols) {
    std::vector<std::pair<uint32_t, bool>> marks;  // mapping symbols: address, starts code
    for (Elf_Scn* section = elfutils_.elf_nextscn(elf, nullptr); section;
         section = elfutils_.elf_nextscn(elf, section)) {
      GElf_Shdr header;
      if (!elfutils_.gelf_getshdr(section, &header) || header.sh_type != SHT_SYMTAB) continue;
      Elf_Data* data = elfutils_.elf_getdata(section, nullptr);
      if (!data || header.sh_entsize == 0) Fail("symbol table cannot be read");
      const size_t count = header.sh_size / header.sh_entsize;
      for (size_t i = 0; i < count; ++i) {
        GElf_Sym symbol;
        if (!elfutils_.gelf_getsym(data, static_cast<int>(i), &symbol))
          Fail("symbol table cannot be read");
        const char* name = elfutils_.elf_strptr(elf, header.sh_link, symbol.st_name);
        if (!name) continue;
        const auto address = static_cast<uint32_t>(symbol.st_value);
        if (GELF_ST_TYPE(symbol.st_info) == STT_FUNC && symbol.st_size > 0) {
          symbols.functions_.push_back(
              {PlainName(name), address & ~1u, static_cast<uint32_t>(symbol.st_size)});
        } else if (IsMappingSymbol(name, 'a') || IsMappingSymbol(name, 'd') ||
                   IsMappingSymbol(name, 't')) {
          marks.emplace_back(address, name[1] == 'a');
        }
      }
    }
    std::ranges::sort(symbols.functions_, {}, &Function::address);
    std::ranges::sort(marks);
    for (size_t i = 0; i < marks.size(); ++i) {
      if (!marks[i].second) continue;
      const uint32_t end =
          i + 1 < marks.size() ? marks[i + 1].first : SectionEnd(symbols, marks[i].first);
      if (end > marks[i].first) symbols.code_.push_back({marks[i].first, end});
    }
  }

  static uint32_t SectionEnd(const ProgramSymbols& symbols, uint32_t address) {
    for (const ProgramSection& section : symbols.sections_) {
      if (address >= section.address && address - section.address < section.size) {
        return section.address + section.size;
      }
    }
    return address;
  }

  void ReadLines(Elf* elf, std::vector<SourceLine>& table) {
    std::unique_ptr<Dwarf, decltype(Elfutils::dwarf_end)> dwarf(
        elfutils_.dwarf_begin_elf(elf, DWARF_C_READ, nullptr), elfutils_.dwarf_end);
    if (!dwarf) return;  // no debug information: functions only
    Dwarf_Off offset = 0, next = 0;
    size_t headerSize = 0;
    while (elfutils_.dwarf_nextcu(dwarf.get(), offset, &next, &headerSize, nullptr, nullptr,
                                  nullptr) == 0) {
      Dwarf_Die unit;
      Dwarf_Lines* lines = nullptr;
      size_t count = 0;
      if (elfutils_.dwarf_offdie(dwarf.get(), offset + headerSize, &unit) &&
          elfutils_.dwarf_getsrclines(&unit, &lines, &count) == 0) {
        for (size_t i = 0; i < count; ++i) AddRow(elfutils_.dwarf_onesrcline(lines, i), table);
        Dwarf_Attribute attribute;
        const char* folder =
            elfutils_.dwarf_formstring(elfutils_.dwarf_attr(&unit, DW_AT_comp_dir, &attribute));
        if (folder && folder[0] == '/') compileFolders_.push_back(std::string(folder) + "/");
      }
      offset = next;
    }
    // Rows from different units interleave by address; at one address the last row wins, as
    // a debugger takes it, except that an end of sequence never hides a real row.
    std::ranges::stable_sort(table, {}, &SourceLine::address);
    std::vector<SourceLine> rows;
    for (SourceLine& row : table) {
      if (!rows.empty() && rows.back().address == row.address) {
        if (row.file.empty() && !rows.back().file.empty()) continue;
        if (rows.back().file.empty() || row.line != 0) rows.back() = std::move(row);
        continue;
      }
      rows.push_back(std::move(row));
    }
    table = std::move(rows);
  }

  void AddRow(Dwarf_Line* row, std::vector<SourceLine>& table) {
    Dwarf_Addr address = 0;
    int line = 0;
    bool endOfSequence = false;
    if (!row || elfutils_.dwarf_lineaddr(row, &address) != 0 ||
        elfutils_.dwarf_lineno(row, &line) != 0 ||
        elfutils_.dwarf_lineendsequence(row, &endOfSequence) != 0 || address > UINT32_MAX) {
      return;
    }
    const char* file = endOfSequence ? nullptr : elfutils_.dwarf_linesrc(row, nullptr, nullptr);
    if (!file) {
      table.push_back({static_cast<uint32_t>(address), "", 0});
      return;
    }
    table.push_back({static_cast<uint32_t>(address), file, std::max(line, 0)});
  }

  std::string name_;
  std::shared_ptr<std::vector<uint8_t>> bytes_;  // libelf reads the file in place
  std::vector<std::string> compileFolders_;
  const Elfutils& elfutils_;
};

ProgramSymbols ProgramSymbols::Load(const std::filesystem::path& elf) {
  std::vector<uint8_t> bytes;
  try {
    bytes = fileio::ReadWholeFile(elf);
  } catch (const fileio::FileError& error) {
    throw SymbolsError(elf.string() + ": cannot read: " + error.code.message());
  }
  return Read(bytes, elf.string());
}

ProgramSymbols ProgramSymbols::Read(std::span<const uint8_t> elf, const std::string& name) {
  return ElfReader(elf, name).Read();
}

const ProgramSymbols::LineTable& ProgramSymbols::Lines() const {
  if (!lineTable_) {
    lineTable_ = std::make_shared<const LineTable>(
        Moved(ElfReader(*elf_, fileName_).ReadLineTable(), moved_));
  }
  return *lineTable_;
}

ProgramSymbols::LineTable ProgramSymbols::Moved(LineTable table, uint32_t delta) {
  for (SourceLine& row : table.lines) row.address += delta;
  return table;
}

void ProgramSymbols::MoveBy(uint32_t delta) {
  for (ProgramSection& section : sections_) section.address += delta;
  for (Function& function : functions_) function.address += delta;
  for (CodeRange& range : code_) {
    range.begin += delta;
    range.end += delta;
  }
  moved_ += delta;
  if (lineTable_) lineTable_ = std::make_shared<const LineTable>(Moved(*lineTable_, delta));
}

const std::vector<SourceLine>& ProgramSymbols::lines() const {
  return Lines().lines;
}

CodeLocation ProgramSymbols::Locate(uint32_t address) const {
  CodeLocation location;
  auto function = std::ranges::upper_bound(functions_, address, {}, &Function::address);
  if (function != functions_.begin()) {
    --function;
    if (address - function->address < function->size) {
      location.function = &*function;
      location.offset = address - function->address;
    }
  }
  const std::vector<SourceLine>& rows = lines();
  auto row = std::ranges::upper_bound(rows, address, {}, &SourceLine::address);
  if (row != rows.begin() && !std::prev(row)->file.empty() && IsInstruction(address)) {
    location.line = &*std::prev(row);
  }
  return location;
}

std::string ProgramSymbols::ShortName(const std::string& file) const {
  const std::string& root = Lines().sourceRoot;
  if (!root.empty() && file.starts_with(root)) return file.substr(root.size());
  return file;
}

bool ProgramSymbols::IsInstruction(uint32_t address) const {
  if (address % 4 != 0) return false;
  if (code_.empty()) {  // no mapping symbols: every word of the code sections
    return std::ranges::any_of(sections_, [address](const ProgramSection& section) {
      return section.executable && address >= section.address &&
             address - section.address + 4 <= section.size;
    });
  }
  auto range = std::ranges::upper_bound(code_, address, {}, &CodeRange::begin);
  return range != code_.begin() && address < std::prev(range)->end;
}

std::vector<uint32_t> ProgramSymbols::Instructions() const {
  std::vector<uint32_t> addresses;
  if (code_.empty()) {
    for (const ProgramSection& section : sections_) {
      for (uint64_t address = section.address;
           section.executable && address + 4 <= uint64_t{section.address} + section.size;
           address += 4) {
        addresses.push_back(static_cast<uint32_t>(address));
      }
    }
    return addresses;
  }
  for (const CodeRange& range : code_) {
    for (uint64_t address = (range.begin + 3) & ~3u; address + 4 <= range.end; address += 4) {
      addresses.push_back(static_cast<uint32_t>(address));
    }
  }
  return addresses;
}

std::string ProgramSymbols::Describe(uint32_t address) const {
  const CodeLocation location = Locate(address);
  std::string text;
  if (location.function) text = location.function->name + "+" + binary::Hex(location.offset);
  if (location.line) {
    const std::string line =
        ShortName(location.line->file) + ":" + std::to_string(location.line->line);
    text += text.empty() ? line : " (" + line + ")";
  }
  return text;
}

}  // namespace debuginfo
