// The ELF file beside the image as the symbol reader sees it, checked against llvm-objdump and
// llvm-readelf; condition codes as the ARM architecture defines them.
#include "program_symbols.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <regex>
#include <set>

#include "disassembler.h"

namespace debuginfo {
namespace {

std::string Output(const std::string& command) {
  std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(command.c_str(), "r"), &pclose);
  std::string text;
  char buffer[4096];
  while (pipe && fgets(buffer, sizeof buffer, pipe.get())) text += buffer;
  return text;
}

TEST(ProgramSymbols, InstructionsAreWhatObjdumpDisassemblesAsCode) {
  const ProgramSymbols symbols = ProgramSymbols::Load(DEVICE_SYMBOLS);
  std::set<uint32_t> expected;
  // "   112e8: 04 c0 9f e5  \tldr\tr12, [pc, #4]": an instruction; data has other layouts.
  const std::regex line(R"(^\s+([0-9a-f]+): (?:[0-9a-f]{2} ){4} \t([a-z]+)\t?)");
  std::istringstream lines(Output("llvm-objdump -d " DEVICE_SYMBOLS));
  for (std::string text; std::getline(lines, text);) {
    std::smatch match;
    if (std::regex_search(text, match, line)) {
      expected.insert(static_cast<uint32_t>(std::stoul(match[1], nullptr, 16)));
    }
  }
  ASSERT_GT(expected.size(), 100u);
  const std::vector<uint32_t> instructions = symbols.Instructions();
  EXPECT_EQ(std::set<uint32_t>(instructions.begin(), instructions.end()), expected);
}

TEST(ProgramSymbols, EachFunctionIsFoundWithItsFirstSourceLine) {
  const ProgramSymbols symbols = ProgramSymbols::Load(DEVICE_SYMBOLS);
  std::istringstream lines(Output("llvm-readelf --symbols --demangle " DEVICE_SYMBOLS));
  const std::regex function(R"(:\s+([0-9a-f]{8})\s+(\d+)\s+FUNC\s+\S+\s+\S+\s+\S+\s+(\w+))");
  int found = 0;
  for (std::string text; std::getline(lines, text);) {
    std::smatch match;
    if (!std::regex_search(text, match, function)) continue;
    ++found;
    const auto address = static_cast<uint32_t>(std::stoul(match[1], nullptr, 16));
    const uint32_t size = static_cast<uint32_t>(std::stoul(match[2]));
    const CodeLocation start = symbols.Locate(address), last = symbols.Locate(address + size - 4);
    ASSERT_NE(start.function, nullptr) << match[3];
    EXPECT_EQ(start.function->name, match[3].str());
    EXPECT_EQ(start.offset, 0u);
    ASSERT_NE(last.function, nullptr);
    EXPECT_EQ(last.offset, size - 4) << match[3];
    EXPECT_EQ(symbols.Locate(address + size).function == start.function, false) << match[3];
    if (start.line) {
      EXPECT_TRUE(start.line->file.ends_with(".cpp")) << start.line->file;
      EXPECT_TRUE(symbols.Describe(address).starts_with(match[3].str() + "+0x0 (update/"))
          << symbols.Describe(address);
    }
  }
  EXPECT_GE(found, 10);
  EXPECT_EQ(symbols.Describe(0x10000), "");  // the headers: no function, no line
}

// Moved, before its line table is read or after, the program describes each instruction at its
// new address as it did at its old one, and nothing at the old one.
TEST(ProgramSymbols, MovedSymbolsDescribeEachInstructionAtItsNewAddress) {
  const ProgramSymbols linked = ProgramSymbols::Load(DEVICE_SYMBOLS);
  const uint32_t delta = 0x400000 - 0x10000;
  for (bool linesFirst : {false, true}) {
    ProgramSymbols moved = ProgramSymbols::Load(DEVICE_SYMBOLS);
    if (linesFirst) moved.lines();
    moved.MoveBy(delta);
    const std::vector<uint32_t> instructions = linked.Instructions();
    for (uint32_t address : instructions) {
      EXPECT_EQ(moved.Describe(address + delta), linked.Describe(address)) << linesFirst;
      EXPECT_EQ(moved.Describe(address), "") << linesFirst;
    }
    EXPECT_EQ(moved.Instructions().front(), instructions.front() + delta);
    EXPECT_EQ(moved.sections().front().address, linked.sections().front().address + delta);
  }
}

TEST(ProgramSymbols, RefusesWhatIsNotTheImagesKindOfProgramInOneLine) {
  struct Case {
    std::vector<uint8_t> bytes;
    const char* message;
  } const cases[] = {
      {{'M', 'Z', 0, 0}, "x.elf: not an ELF file"},
      {{}, "x.elf: not an ELF file"},
      {{0x7F, 'E', 'L', 'F', 2, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0x3E, 0, 1, 0, 0, 0},
       "x.elf: not an ELF file"},  // cut short
  };
  for (const Case& c : cases) {
    try {
      ProgramSymbols::Read(c.bytes, "x.elf");
      ADD_FAILURE() << c.message;
    } catch (const SymbolsError& error) {
      EXPECT_STREQ(error.what(), c.message);
    }
  }
  try {
    ProgramSymbols::Load("/bin/sh");
    ADD_FAILURE() << "a host program was taken";
  } catch (const SymbolsError& error) {
    EXPECT_STREQ(error.what(), "/bin/sh: not a 32-bit little-endian ARM executable");
  }
}

TEST(Disassembler, ConditionsHoldAsTheArchitectureDefines) {
  constexpr uint32_t N = 1u << 31, Z = 1u << 30, C = 1u << 29, V = 1u << 28;
  struct Case {
    unsigned condition;
    uint32_t holds, fails;  // a flag word under which it holds, and one under which it does not
  } const cases[] = {
      {0, Z, 0},
      {1, 0, Z},
      {2, C, 0},
      {3, 0, C},
      {4, N, 0},
      {5, 0, N},
      {6, V, 0},
      {7, 0, V},
      {8, C, C | Z},
      {9, Z, C},
      {10, N | V, N},
      {11, V, N | V},
      {12, N | V, Z | N | V},
      {13, Z, 0},
      {14, 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(ConditionHolds(c.condition, c.holds)) << c.condition;
    if (c.condition != 14) {
      EXPECT_FALSE(ConditionHolds(c.condition, c.fails)) << c.condition;
    }
  }
  const Disassembler disassembler;
  const uint8_t branchIfEqual[] = {0xF6, 0xFF, 0xFF, 0x0A}, move[] = {0x04, 0x00, 0xA0, 0xE1},
                returning[] = {0x1E, 0xFF, 0x2F, 0xE1}, popPc[] = {0x30, 0x80, 0xBD, 0xE8};
  const auto beq = disassembler.Decode(0x11224, branchIfEqual);
  ASSERT_TRUE(beq);
  EXPECT_EQ(beq->text, "beq #0x11204");
  EXPECT_TRUE(beq->branch && beq->conditional);
  EXPECT_EQ(beq->condition, 0u);
  EXPECT_FALSE(disassembler.Decode(0, move)->branch);
  EXPECT_TRUE(disassembler.Decode(0, returning)->branch);
  EXPECT_FALSE(disassembler.Decode(0, returning)->conditional);
  EXPECT_TRUE(disassembler.Decode(0, popPc)->branch);
}

}  // namespace
}  // namespace debuginfo
