// Looking inside an emulated run with cesim: the image's symbols found beside it or named, and
// refused when they do not match; fault reports and the instruction trace that read as code;
// coverage written as an lcov tracefile.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

#include "cesim_runner.h"

namespace {

const std::filesystem::path kImage = DEVICE_IMAGE;
const std::filesystem::path kSymbols = DEVICE_SYMBOLS;
const std::filesystem::path kFaultImages = FAULT_IMAGES;

std::filesystem::path FaultProgram(const std::string& name, const char* extension) {
  return kFaultImages / name / (name + extension);
}

// The image alone in a scratch folder, with `beside` copied next to it as its .elf when given.
std::filesystem::path ImageCopy(const ScratchFolder& folder,
                                const std::optional<std::filesystem::path>& beside) {
  std::filesystem::copy_file(kImage, folder.path() / "update.exe");
  if (beside) std::filesystem::copy_file(*beside, folder.path() / "update.elf");
  return folder.path() / "update.exe";
}

// relocated.exe made the image a linker writes for 0x400000, which the device moves to 0x10000,
// alone in a scratch folder as update.exe, with `beside` copied next to it as its .elf.
std::filesystem::path MovedImageCopy(const ScratchFolder& folder,
                                     const std::filesystem::path& beside) {
  std::string image = ReadText(FaultProgram("relocated", ".exe"));
  LinkedFor(image, 0x400000);
  std::ofstream(folder.path() / "update.exe", std::ios::binary) << image;
  std::filesystem::copy_file(beside, folder.path() / "update.elf");
  return folder.path() / "update.exe";
}

// The ELF file of that image, linked for 0x400000.
const std::filesystem::path kMovedSymbols =
    kFaultImages / "relocated" / "relocated_at_0x400000.elf";

int CountLines(const std::string& text, const std::string& prefix) {
  int count = 0;
  for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
    if (text.compare(at, prefix.size(), prefix) == 0) ++count;
    if (text.find('\n', at) == std::string::npos) break;
  }
  return count;
}

// Symbols that cannot be used end the run before it starts: exit 2, one line, no output.
TEST(ImageSymbols, RefusedWithOneLineBeforeTheRun) {
  ScratchFolder folder;
  const std::string other = FaultProgram("read_null", ".elf").string();
  struct Case {
    std::vector<std::string> arguments;
    std::optional<std::filesystem::path> beside;
    std::string message;  // "{image}" and "{folder}" stand for the copy and its folder
    bool moved = false;   // the image the device moves, not the update's
  };
  const Case cases[] = {
      {{"--symbols", other},
       std::nullopt,
       "cesim: " + other + ": does not match {image}: the code differs at 0x00011000"},
      {{"--trace-instructions"},
       FaultProgram("read_null", ".elf"),
       "cesim: {folder}/update.elf: does not match {image}: the code differs at 0x00011000"},
      // The ELF file is compared with the image as linked, not as the device moved it.
      {{"--trace-instructions"},
       FaultProgram("relocated", ".elf"),
       "cesim: {folder}/update.elf: does not match {image}: .text lies at 0x00011000 in it and at "
       "0x00401000 in the image as linked for ImageBase 0x400000",
       true},
      {{"--symbols", "/nonexistent/update.elf"},
       std::nullopt,
       "cesim: /nonexistent/update.elf: cannot read: No such file or directory"},
      {{"--symbols", kImage.string()},
       std::nullopt,
       "cesim: " + kImage.string() + ": not an ELF file"},
      {{"--coverage", "{folder}/run.info"},
       std::nullopt,
       "cesim: --coverage needs the image's symbols: no {folder}/update.elf beside it and no "
       "--symbols"},
  };
  for (const Case& c : cases) {
    ScratchFolder scratch;
    const std::filesystem::path image =
        c.moved ? MovedImageCopy(scratch, *c.beside) : ImageCopy(scratch, c.beside);
    std::vector<std::string> arguments = {"--image", image.string(), "--answer", "no"};
    for (std::string argument : c.arguments) {
      arguments.push_back(
          std::regex_replace(argument, std::regex("\\{folder\\}"), scratch.path().string()));
    }
    const CesimRun run = RunCesim(arguments);
    std::string expected = std::regex_replace(c.message, std::regex("\\{image\\}"), image.string());
    expected = std::regex_replace(expected, std::regex("\\{folder\\}"), scratch.path().string());
    EXPECT_EQ(run.exitStatus, 2) << expected;
    EXPECT_EQ(run.out, "") << expected;
    EXPECT_EQ(run.err, expected + "\n");
    EXPECT_FALSE(std::filesystem::exists(scratch.path() / "run.info"));
  }
  // The ELF file beside the image is read only when something needs it: a run that asks for no
  // symbols and does not fault never looks at a stale one.
  ScratchFolder stale;
  const CesimRun run = RunCesim(
      {"--image", ImageCopy(stale, FaultProgram("read_null", ".elf")).string(), "--answer", "no"});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.err, "");
}

TEST(ImageSymbols, InspectionOptionsNeedAnImage) {
  for (std::vector<std::string> arguments : {std::vector<std::string>{"--symbols", "x.elf"},
                                             {"--gdb", "0"},
                                             {"--coverage", "x.info"},
                                             {"--trace-instructions"}}) {
    const CesimRun run = RunCesim(arguments);
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_EQ(run.err, "cesim: " + arguments[0] + " needs --image (see cesim --help)\n");
  }
  const CesimRun port = RunCesim({"--image", kImage.string(), "--gdb", "65536"});
  EXPECT_EQ(
      port.err,
      "cesim: --gdb: expected a whole number from 0 to 65535, not '65536' (see cesim --help)\n");
}

// The fault report keeps what it always showed and adds the instruction as text, and where it
// lies when the symbols are there.
TEST(FaultReports, ShowTheInstructionDisassembledWithFunctionAndLine) {
  struct Case {
    std::vector<std::string> arguments;
    std::string ending;       // a regular expression the report's last clause must match
    std::string before = "";  // one that what stderr shows before the report must match
  };
  const Case cases[] = {
      {{"--image", FaultProgram("read_null", ".exe").string()},
       "; code: ldr r0, \\[r0\\] at tests/emulator/read_null\\.s:\\d+"},
      {{"--image", FaultProgram("write_code", ".exe").string()},
       "; code: str r0, \\[r1\\] at tests/emulator/write_code\\.s:\\d+"},
      {{"--image", FaultProgram("undefined", ".exe").string()}, "; code: udf #0"},
      {{"--image", FaultProgram("count_leading_zeros", ".exe").string(), "--cpu", "ti925t"},
       "; code: clz r0, r1"},  // written as a data word, so no line
      // Stopped inside the update: the function, the offset and the source line.
      {{"--image", kImage.string(), "--answer", "no", "--max-instructions", "30"},
       "; code: [a-z]+ .* at CheckRomLanguage\\+0x[0-9A-F]+ \\(update/rom_check\\.cpp:\\d+\\)"},
      // The same image without its symbols, or with symbols of another program beside it: the
      // disassembly alone, and a line saying why.
      {{"--image", "{copy}", "--answer", "no", "--max-instructions", "30"}, "; code: [a-z]+ [^(]*"},
      {{"--image", "{stale}", "--answer", "no", "--max-instructions", "30"},
       "; code: [a-z]+ [^(]*",
       "cesim: [^ ]*/update\\.elf: does not match [^ ]*/update\\.exe: the code differs at "
       "0x00011000; the fault is described without it\n"},
      // An image the device moved: the line of the code where it runs.
      {{"--image", "{moved}", "--max-instructions", "2"},
       "; code: bx lr at tests/emulator/relocated\\.s:\\d+"},
  };
  for (const Case& c : cases) {
    ScratchFolder scratch;
    std::vector<std::string> arguments = c.arguments;
    for (std::string& argument : arguments) {
      if (argument == "{copy}") argument = ImageCopy(scratch, std::nullopt).string();
      if (argument == "{moved}") argument = MovedImageCopy(scratch, kMovedSymbols).string();
      if (argument == "{stale}") {
        argument = ImageCopy(scratch, FaultProgram("read_null", ".elf")).string();
      }
    }
    const CesimRun run = RunCesim(arguments);
    EXPECT_EQ(run.exitStatus, 3) << arguments[1];
    EXPECT_TRUE(std::regex_search(run.err, std::regex("registers [^;]*" + c.ending + "\n$")))
        << run.err;
    EXPECT_TRUE(std::regex_search(run.err, std::regex("^" + c.before + "cesim: emulation fault: ")))
        << run.err;
    EXPECT_EQ(CountLines(run.err, "cesim: emulation fault: "), 1) << run.err;
  }
}

// --trace-instructions: one line per instruction of the image, before it runs, between the
// platform calls it makes; the lines and the count --stats gives agree. The import thunks have
// no line table (a debugger steps over them), so their lines show the function alone.
TEST(InstructionTrace, InterleavesWithThePlatformCallsAndStopsAtTheLimit) {
  const CesimRun run = RunCesim(
      {"--image", kImage.string(), "--answer", "no", "--trace", "--trace-instructions", "--stats"});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  const std::regex line(
      "insn: 0x000[0-9A-F]{5} [A-Za-z]+\\+0x[0-9A-F]+( \\(update/[a-z_]+\\.cpp:\\d+\\))?: "
      "[a-z]+.*");
  int instructions = 0;
  std::istringstream lines(run.out);
  std::string previous, text;
  bool callAfterThunk = false;
  while (std::getline(lines, text)) {
    if (text.starts_with("insn: ")) {
      ++instructions;
      EXPECT_TRUE(std::regex_match(text, line)) << text;
    }
    // Each platform call is traced right after its thunk's jump into the core library.
    if (text.starts_with("trace: KernelIoControl(")) {
      callAfterThunk = previous.ends_with(" KernelIoControl+0x8: bx ip");
    }
    previous = text;
  }
  EXPECT_TRUE(callAfterThunk);
  std::smatch stats;
  ASSERT_TRUE(
      std::regex_search(run.out, stats, std::regex("instructions executed in the image: (\\d+)")));
  EXPECT_EQ(instructions, std::stoi(stats[1]));
  // The first instruction is WinMain's first, wherever the layout puts it.
  EXPECT_TRUE(std::regex_search(
      run.out, std::regex(R"(^insn: 0x[0-9A-F]{8} WinMain\+0x0 \(update/main\.cpp:)")))
      << run.out;

  const CesimRun bounded = RunCesim({"--image", kImage.string(), "--answer", "no",
                                     "--trace-instructions", "--max-instructions", "40"});
  EXPECT_EQ(bounded.exitStatus, 3);
  EXPECT_EQ(CountLines(bounded.out, "insn: "), 40);
}

// An image the device moves from where it was linked: each instruction is traced and counted at
// the address it runs at, with its own line.
TEST(InstructionTrace, AnImageTheDeviceMovesIsTracedAndCoveredWhereItRuns) {
  ScratchFolder scratch;
  const std::filesystem::path tracefile = scratch.path() / "run.info";
  const CesimRun run = RunCesim({"--image", MovedImageCopy(scratch, kMovedSymbols).string(),
                                 "--trace-instructions", "--coverage", tracefile.string()});
  EXPECT_EQ(run.exitStatus, 42) << run.err;  // the word the fixup leads to
  EXPECT_TRUE(std::regex_search(
      run.out, std::regex("^insn: 0x00011000 tests/emulator/relocated\\.s:\\d+: ldr r0, .*\n"
                          "insn: 0x00011004 tests/emulator/relocated\\.s:\\d+: ldr r0, \\[r0\\]\n"
                          "insn: 0x00011008 tests/emulator/relocated\\.s:\\d+: bx lr\n")))
      << run.out;
  const std::string records = ReadText(tracefile);
  EXPECT_TRUE(std::regex_search(records, std::regex("/tests/emulator/relocated\\.s\n(.*\n)*"
                                                    "LF:3\nLH:3\n")))
      << records;
}

// The source line of `update/<file>` that holds `text`.
int SourceLine(const std::string& file, const std::string& text) {
  std::istringstream lines(ReadText(std::filesystem::path(REPO_DIR) / "update" / file));
  int number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    if (line.find(text) != std::string::npos) return number;
  }
  ADD_FAILURE() << text << " is not in " << file;
  return 0;
}

// A run refused for its ROM language, as lcov records it: the card-folder function never ran,
// the ROM check did, and the first comparison's branch was taken once, the loop's never reached.
TEST(Coverage, TheTracefileCountsFunctionsLinesAndBranchesOfTheRun) {
  ScratchFolder scratch;
  const std::filesystem::path tracefile = scratch.path() / "run.info";
  const CesimRun run = RunCesim(
      {"--image", kImage.string(), "--rom-language", "ENGLISH", "--coverage", tracefile.string()});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  const std::string records = ReadText(tracefile);
  for (const char* expected : {"FNDA:0,ApplyCardFolderName\n", "FNDA:1,CheckRomLanguage\n",
                               "FNDA:1,WinMain\n", "FNDA:1,QueryRomInfo\n", "end_of_record\n"}) {
    EXPECT_NE(records.find(expected), std::string::npos) << expected << " in\n" << records;
  }
  const std::string line =
      std::to_string(SourceLine("rom_check.cpp", "if (RomLanguageUnit(i) != expected)"));
  for (const std::string& expected :
       {"BRDA:" + line + ",0,0,1\n", "BRDA:" + line + ",0,1,0\n", "BRDA:" + line + ",1,0,-\n",
        "BRDA:" + line + ",1,1,-\n", "DA:" + line + ",1\n"}) {
    EXPECT_NE(records.find(expected), std::string::npos) << expected << " in\n" << records;
  }
  // Every line of the card-folder code shows as not run.
  const size_t cardFolder = records.find("/update/card_folder.cpp\n");
  ASSERT_NE(cardFolder, std::string::npos);
  const std::string section =
      records.substr(cardFolder, records.find("end_of_record", cardFolder) - cardFolder);
  EXPECT_TRUE(std::regex_search(section, std::regex("\nDA:\\d+,0\n")));
  EXPECT_FALSE(std::regex_search(section, std::regex("\nDA:\\d+,[1-9]")));
  // lcov itself reads it.
  const std::string summary = "lcov --rc lcov_branch_coverage=1 --summary " + tracefile.string() +
                              " >" + (scratch.path() / "summary").string() + " 2>&1";
  EXPECT_EQ(std::system(summary.c_str()), 0) << ReadText(scratch.path() / "summary");
}

// A predicated instruction is a decision, taken when its condition held, and its line counts only
// when it executed: `keys[i] = 0;` is a store under a condition, run once per key that fails.
TEST(Coverage, APredicatedInstructionIsABranchAndRunsItsLineOnlyWhenItsConditionHolds) {
  const struct {
    std::vector<std::string> arguments;
    int runs, held, notHeld;
  } cases[] = {
      {{"--answer", "no"}, 0, 0, 3},
      {{"--answer", "no", "--missing-key", "MMC"}, 1, 1, 2},
      {{"--answer", "no", "--missing-key", "MMC", "--missing-key", "SDMemory"}, 2, 2, 1},
  };
  const std::string line = std::to_string(SourceLine("card_folder.cpp", "keys[i] = 0;"));
  for (const auto& test : cases) {
    ScratchFolder scratch;
    const std::filesystem::path tracefile = scratch.path() / "run.info";
    std::vector<std::string> arguments = {"--image", kImage.string(), "--coverage",
                                          tracefile.string()};
    arguments.insert(arguments.end(), test.arguments.begin(), test.arguments.end());
    ASSERT_EQ(RunCesim(arguments).exitStatus, 0);
    const std::string records = ReadText(tracefile);
    const size_t cardFolder = records.find("/update/card_folder.cpp\n");
    ASSERT_NE(cardFolder, std::string::npos);
    const std::string section =
        records.substr(cardFolder, records.find("end_of_record", cardFolder) - cardFolder);
    for (const std::string& expected :
         {"\nDA:" + line + "," + std::to_string(test.runs) + "\n",
          "\nBRDA:" + line + ",0,0," + std::to_string(test.held) + "\n",
          "\nBRDA:" + line + ",0,1," + std::to_string(test.notHeld) + "\n"}) {
      EXPECT_NE(section.find(expected), std::string::npos) << expected << " in\n" << section;
    }
  }
}

// A tracefile that cannot be written: the run's summary is printed, the error follows, exit 1.
TEST(Coverage, AnUnwritableTracefileIsReportedAndTheStatusSaysSo) {
  const CesimRun run = RunCesim(
      {"--image", kImage.string(), "--answer", "no", "--coverage", "/nonexistent/run.info"});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_NE(run.out.find("summary"), std::string::npos);
  EXPECT_TRUE(run.err.starts_with("cesim: /nonexistent/run.info: cannot write the coverage: "))
      << run.err;
}

}  // namespace
