// What the linked ELF file beside a device image knows about it: its sections at the image's
// addresses, its functions, which words of the code are instructions, and the DWARF line table
// that maps each instruction to a source line. Read with elfutils (libelf and libdw); the line
// table is read when it is first asked for, so a run that never names a source line does not pay
// for the DWARF.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace debuginfo {

// An ELF file that cannot be read as the image's symbols; what() is one line naming the file.
struct SymbolsError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct ProgramSection {
  std::string name;
  uint32_t address = 0;
  uint32_t size = 0;
  bool executable = false;
  bool zeroFilled = false;     // SHT_NOBITS: no bytes in the file
  std::vector<uint8_t> bytes;  // the section's contents, empty when zero-filled
};

struct Function {
  std::string name;  // demangled, without its parameter list: "CheckRomLanguage"
  uint32_t address = 0;
  uint32_t size = 0;
};

// One row of the line table: the instructions from `address` up to the next row's address.
struct SourceLine {
  uint32_t address = 0;
  std::string file;  // as the compiler recorded it, normally absolute
  int line = 0;      // 0: code the compiler attributes to no line
};

// Where an address lies in the program, for messages: function+offset and source line.
struct CodeLocation {
  const Function* function = nullptr;
  uint32_t offset = 0;  // from the function's start
  const SourceLine* line = nullptr;
};

class ProgramSymbols {
 public:
  // Reads `elf`, a 32-bit little-endian ARM executable. Throws SymbolsError.
  static ProgramSymbols Load(const std::filesystem::path& elf);
  // The same from bytes already read; `name` is used in messages only.
  static ProgramSymbols Read(std::span<const uint8_t> elf, const std::string& name);

  // Moves every address by `delta` (modulo 2^32), the line table's too: the symbols of an image
  // the device loads elsewhere than where it was linked.
  void MoveBy(uint32_t delta);

  const std::string& fileName() const { return fileName_; }
  const std::vector<ProgramSection>& sections() const { return sections_; }
  const std::vector<Function>& functions() const { return functions_; }  // by address
  const std::vector<SourceLine>& lines() const;                          // by address

  CodeLocation Locate(uint32_t address) const;
  // A source file's name relative to the folder that holds every source of the program.
  std::string ShortName(const std::string& file) const;
  // Whether the word at `address` is an ARM instruction, by the ELF's mapping symbols ($a code,
  // $d data such as literal pools and strings).
  bool IsInstruction(uint32_t address) const;
  // The addresses of every ARM instruction in the executable sections, ascending.
  std::vector<uint32_t> Instructions() const;
  // "CheckRomLanguage+0x1C (update/rom_check.cpp:42)", "CheckRomLanguage+0x1C" or
  // "update/rom_check.cpp:42", as far as it is known; empty when nothing is.
  std::string Describe(uint32_t address) const;

 private:
  struct CodeRange {
    uint32_t begin = 0, end = 0;  // [begin, end)
  };

  // The line table and the folder all source files lie in (for short names), read on first use.
  struct LineTable {
    std::vector<SourceLine> lines;  // a sequence's end is a row with no file and line 0
    std::string sourceRoot;
  };
  const LineTable& Lines() const;
  static LineTable Moved(LineTable table, uint32_t delta);

  std::string fileName_;
  std::vector<ProgramSection> sections_;
  std::vector<Function> functions_;
  std::vector<CodeRange> code_;                      // ARM-state instruction ranges, by address
  std::shared_ptr<const std::vector<uint8_t>> elf_;  // the file, kept for the line table
  mutable std::shared_ptr<const LineTable> lineTable_;
  uint32_t moved_ = 0;  // what MoveBy added, for the line table read later

  friend class ElfReader;
};

}  // namespace debuginfo
