// The update run end to end on the simulated device, one scenario per row: the whole output
// (message boxes, trace, summary) against a golden file, and the registry file afterwards.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

#include "cesim_runner.h"
#include "program_symbols.h"

namespace {

const std::filesystem::path kGoldenDir = GOLDEN_DIR;
const std::filesystem::path kRepoDir = REPO_DIR;

struct Scenario {
  const char* name;
  std::vector<std::string> arguments;     // "{reg}" stands for the scenario's registry file
  const char* registryFixture = nullptr;  // copied to {reg} before the run; relative to the repo
  const char* golden = nullptr;           // the expected output's name when not `name`
  const char* err = "";                   // what standard error must hold
};

const Scenario kScenarios[] = {
    {"german_answer_yes_resets_at_once", {"--answer", "yes"}},
    {"german_answer_yes_reset_returns", {"--answer", "yes", "--reset", "returns"}},
    {"german_answer_no_keeps_running", {"--answer", "no"}},
    {"german_question_box_fails_so_reset_requested", {"--answer", "fail", "--reset", "returns"}},
    {"german_no_terminal_no_answer_requests_reset",
     {},
     nullptr,
     nullptr,
     "cesim: a Yes/No box cannot be shown without a terminal to answer it; use --answer\n"},
    {"english_rom_is_refused", {"--rom-language", "ENGLISH"}},
    // The language name must be exactly DEUTSCH; the trace never shows the name itself.
    {"rom_name_in_other_case_is_refused",
     {"--rom-language", "deutsch"},
     nullptr,
     "english_rom_is_refused"},
    {"rom_name_longer_is_refused",
     {"--rom-language", "DEUTSCHLAND"},
     nullptr,
     "english_rom_is_refused"},
    {"rom_name_one_short_is_refused",
     {"--rom-language", "DEUTSC"},
     nullptr,
     "english_rom_is_refused"},
    {"rom_name_with_leading_space_is_refused",
     {"--rom-language", " DEUTSCH"},
     nullptr,
     "english_rom_is_refused"},
    {"rom_name_with_trailing_space_is_refused",
     {"--rom-language", "DEUTSCH "},
     nullptr,
     "english_rom_is_refused"},
    {"rom_name_empty_is_refused", {"--rom-language", ""}, nullptr, "english_rom_is_refused"},
    {"rom_name_filling_the_field_is_refused",
     {"--rom-language", "DEUTSCHDEUTSCHDE"},
     nullptr,
     "english_rom_is_refused"},
    {"silent_rom_query_is_refused", {"--rom-silent"}},
    // Neither the device data around the name nor the start arguments change the run.
    {"rom_block_of_another_device_is_accepted",
     {"--answer", "no", "--rom-block", TEST_DATA_DIR "/rom_deutsch_other_device.bin"},
     nullptr,
     "german_answer_no_keeps_running"},
    {"command_line_and_show_state_are_ignored",
     {"--answer", "no", "--command-line", "/reset -f x.reg", "--show-state", "3"},
     nullptr,
     "german_answer_no_keeps_running"},
    {"pcmcia_write_fails_after_mmc", {"--fail-write", "PCMCIA"}},
    {"missing_mmc_key_writes_nothing", {"--missing-key", "MMC"}},
    {"string_table_missing_asks_empty_question", {"--no-strings", "--answer", "no"}},
    {"registry_file_saved_after_answer_no",
     {"--registry", "{reg}", "--answer", "no"},
     "device/default.reg"},
    {"registry_file_already_set_left_untouched",
     {"--registry", "{reg}", "--answer", "yes", "--reset", "returns"},
     "tests/data/already_set.reg"},
    // A board's file with comment blocks, indented values, short dword: and multi_sz: comes back
    // with exactly the three Folder lines changed.
    {"registry_file_platform_builder_form_kept",
     {"--registry", "{reg}", "--answer", "no"},
     "tests/data/platform_builder.reg"},
    {"registry_file_saved_when_reset_takes_effect",
     {"--registry", "{reg}", "--answer", "yes"},
     "tests/data/factory_utf16.reg"},
};

// How the update runs: built for this machine, or the device image on each emulated CPU. Every
// way must give the same output, byte for byte, so all are held to one golden file.
enum class Runner { Native, Pxa270, Ti925t };

std::vector<std::string> RunnerArguments(Runner runner) {
  switch (runner) {
    case Runner::Native:
      return {};
    case Runner::Pxa270:
      return {"--image", DEVICE_IMAGE, "--cpu", "pxa270"};
    case Runner::Ti925t:
      return {"--image", DEVICE_IMAGE, "--cpu", "ti925t"};
  }
  return {};
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

void CompareWithGolden(const std::filesystem::path& golden, const std::string& actual,
                       bool mayUpdate) {
  if (std::getenv("UPDATE_GOLDEN") != nullptr && mayUpdate) {
    std::ofstream(golden, std::ios::binary) << actual;
    return;
  }
  ASSERT_TRUE(std::filesystem::exists(golden)) << golden << " is missing; run with UPDATE_GOLDEN=1";
  EXPECT_EQ(ReadText(golden), actual) << "differs from " << golden;
}

std::string ProgramLines(Runner runner) {
  switch (runner) {
    case Runner::Native:
      return "  program: the update built for this machine\n";
    case Runner::Pxa270:
      return "  CPU: emulated XScale PXA270\n";
    case Runner::Ti925t:
      return "  CPU: emulated TI925T (ARMv4T)\n";
  }
  return {};
}

class ScenarioTest : public testing::TestWithParam<std::tuple<Scenario, Runner>> {};

TEST_P(ScenarioTest, OutputAndRegistryMatchGolden) {
  const auto& [scenario, runner] = GetParam();
  const std::string golden = scenario.golden ? scenario.golden : scenario.name;
  // Only the native run of a scenario with its own golden file writes it.
  const bool mayUpdate = runner == Runner::Native && scenario.golden == nullptr;
  ScratchFolder scratch;
  const std::filesystem::path registry = scratch.path() / "device.reg";
  if (scenario.registryFixture) {
    std::filesystem::copy_file(kRepoDir / scenario.registryFixture, registry);
  }
  const std::string before = scenario.registryFixture ? ReadText(registry) : "";
  std::vector<std::string> arguments = RunnerArguments(runner);
  for (const std::string& argument : scenario.arguments) {
    arguments.push_back(argument == "{reg}" ? registry.string() : argument);
  }
  arguments.push_back("--trace");
  CesimRun run = RunCesim(arguments);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.err, scenario.err);
  EXPECT_NE(run.out.find(ProgramLines(runner)), std::string::npos) << run.out;
  CompareWithGolden(kGoldenDir / (golden + ".txt"),
                    ReplaceAll(WithoutRunDescription(run.out), registry.string(), "{reg}"),
                    mayUpdate);
  if (scenario.registryFixture) {
    const std::string after = ReadText(registry);
    if (run.out.find("left as it was") != std::string::npos) {
      EXPECT_EQ(after, before);
    }
    CompareWithGolden(kGoldenDir / (golden + ".reg"), after, mayUpdate);
  }
}

std::string ScenarioRunName(const testing::TestParamInfo<std::tuple<Scenario, Runner>>& info) {
  static const char* const kRunnerNames[] = {"native", "pxa270", "ti925t"};
  return std::string(std::get<0>(info.param).name) + "_" +
         kRunnerNames[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(Cesim, ScenarioTest,
                         testing::Combine(testing::ValuesIn(kScenarios),
                                          testing::Values(Runner::Native, Runner::Pxa270,
                                                          Runner::Ti925t)),
                         ScenarioRunName);

// Command lines and input files cesim refuses: status 2, one line on stderr, nothing on stdout,
// and a registry file left exactly as it was.
struct Refusal {
  std::vector<std::string> arguments;
  const char* message;  // expected stderr line, "{reg}" for the registry file
  const char* registryFixture = nullptr;
};

const Refusal kRefusals[] = {
    {{"--answer", "maybe"},
     "cesim: --answer: expected yes, no or fail, not 'maybe' (see cesim --help)"},
    {{"--reset"}, "cesim: --reset needs a value (see cesim --help)"},
    {{"--rom-language", "DEUTSCHDEUTSCHDEU"},
     "cesim: --rom-language: 'DEUTSCHDEUTSCHDEU' is longer than 16 UTF-16 units (see cesim "
     "--help)"},
    {{"--rom-language", "ENGLISH", "--rom-silent"},
     "cesim: --rom-language, --rom-block and --rom-silent exclude each other (see cesim --help)"},
    {{"--missing-key", "CF"},
     "cesim: --missing-key: unknown profile 'CF' (MMC, PCMCIA or SDMemory) (see cesim --help)"},
    {{"--fail-write", "\xFF"}, "cesim: --fail-write: not valid UTF-8 (see cesim --help)"},
    {{"--trace", "--trace"}, "cesim: --trace given more than once (see cesim --help)"},
    {{"--verbose"}, "cesim: unknown option '--verbose' (see cesim --help)"},
    {{"--registry="}, "cesim: --registry needs a value (see cesim --help)"},
    {{"--registry", ""},
     "cesim: --registry needs a file name, not an empty value (see cesim --help)"},
    {{"--trace=yes"}, "cesim: --trace takes no value (see cesim --help)"},
    {{"--answer", "no", "--", "--trace"},
     "cesim: '--trace' is not an option; cesim takes no arguments (see cesim --help)"},
    {{"foo"}, "cesim: 'foo' is not an option; cesim takes no arguments (see cesim --help)"},
    {{"--missing-key", "MMC", "--fail-write", "MMC", "--missing-key", "MMC"},
     "cesim: --missing-key: MMC given more than once (see cesim --help)"},
    {{"--fail-write", "SDMemory", "--fail-write", "SDMemory"},
     "cesim: --fail-write: SDMemory given more than once (see cesim --help)"},
    {{"--trace=true", "--stats=1"}, "cesim: --stats takes no value (see cesim --help)"},
    {{"--answer", "--trace"}, "cesim: --answer needs a value (see cesim --help)"},
    {{"--image", DEVICE_IMAGE, "--gdb", "0177777"},
     "cesim: --gdb: expected a whole number from 0 to 65535, not '0177777' (see cesim --help)"},
    {{"--show-state", "+5"},
     "cesim: --show-state: expected a whole number from 0 to 2147483647, not '+5' (see cesim "
     "--help)"},
    {{"--trace-format", "xml"},
     "cesim: --trace-format: expected text or json, not 'xml' (see cesim --help)"},
    {{"--rom-block", TEST_DATA_DIR "/rom_short.bin"},
     "cesim: " TEST_DATA_DIR
     "/rom_short.bin: a ROM information block is 160 bytes, this file has 159"},
    {{"--registry", "{reg}", "--answer", "no"},
     "cesim: {reg}:7: IF makes values depend on the build; a device registry file holds state, not "
     "build conditions",
     "tests/data/conditional.reg"},
    {{"--registry", "{reg}"}, "cesim: {reg}: cannot read: No such file or directory"},
    {{"--cpu", "ti925t"}, "cesim: --cpu needs --image (see cesim --help)"},
    {{"--card-full"}, "cesim: --card-full needs --card (see cesim --help)"},
    {{"--card-profile", "SD"},
     "cesim: --card-profile: unknown profile 'SD' (MMC, PCMCIA or SDMemory) (see cesim --help)"},
    {{"--image", DEVICE_IMAGE, "--program", "survey"},
     "cesim: --program: with --image the image decides which program runs (see cesim --help)"},
    {{"--card", "{reg}", "--answer", "no"},
     "cesim: {reg}: cannot be the card's folder: No such file or directory"},
    {{"--card", "{reg}", "--answer", "no"},
     "cesim: {reg}: cannot be the card's folder: Not a directory",
     "tests/data/conditional.reg"},
    {{"--image", DEVICE_IMAGE, "--cpu", "arm7"},
     "cesim: --cpu: expected pxa270 or ti925t, not 'arm7' (see cesim --help)"},
    {{"--image", DEVICE_IMAGE, "--max-instructions", "0"},
     "cesim: --max-instructions: expected a whole number from 1 to 1000000000000, not '0' (see "
     "cesim --help)"},
    {{"--show-state", "-1"},
     "cesim: --show-state: expected a whole number from 0 to 2147483647, not '-1' (see cesim "
     "--help)"},
    {{"--image", TEST_DATA_DIR "/rom_short.bin"},
     "cesim: " TEST_DATA_DIR
     "/rom_short.bin: e_lfanew: 0x14D7FA4D, leaves no room for the 248-byte PE headers in a "
     "159-byte file"},
};

TEST(CesimRefusals, RefuseWithOneLineAndWriteNothing) {
  for (const Refusal& refusal : kRefusals) {
    ScratchFolder scratch;
    const std::filesystem::path registry = scratch.path() / "device.reg";
    if (refusal.registryFixture) {
      std::filesystem::copy_file(kRepoDir / refusal.registryFixture, registry);
    }
    std::vector<std::string> arguments;
    for (const std::string& argument : refusal.arguments) {
      arguments.push_back(argument == "{reg}" ? registry.string() : argument);
    }
    CesimRun run = RunCesim(arguments);
    EXPECT_EQ(run.exitStatus, 2) << refusal.message;
    EXPECT_EQ(run.out, "") << refusal.message;
    EXPECT_EQ(run.err, ReplaceAll(refusal.message, "{reg}", registry.string()) + std::string("\n"));
    if (refusal.registryFixture) {
      EXPECT_EQ(ReadText(registry), ReadText(kRepoDir / refusal.registryFixture));
    }
  }
}

// Instructions of the device image that no run of the update can execute, by address, with the
// reason. Any other instruction the scenario table leaves unexecuted is a gap in the table.
const std::map<uint32_t, const char*> kUnreachableInstructions = {};

// The scenario table on the device image, each instruction traced: together the scenarios must
// execute every instruction of the image that can run. Each run also writes its lcov tracefile,
// into $IMAGE_COVERAGE_DIR when set (tools/image-coverage.sh merges them into a page).
TEST(ImageCoverage, TheScenarioTableExecutesEveryInstructionOfTheImage) {
  ScratchFolder scratch;
  const char* kept = std::getenv("IMAGE_COVERAGE_DIR");
  const std::filesystem::path folder = kept ? std::filesystem::path(kept) : scratch.path();
  std::filesystem::create_directories(folder);
  std::set<uint32_t> executed;
  for (const Scenario& scenario : kScenarios) {
    const std::filesystem::path registry = scratch.path() / "device.reg";
    std::filesystem::remove(registry);
    if (scenario.registryFixture) {
      std::filesystem::copy_file(kRepoDir / scenario.registryFixture, registry);
    }
    std::vector<std::string> arguments = RunnerArguments(Runner::Pxa270);
    for (const std::string& argument : scenario.arguments) {
      arguments.push_back(argument == "{reg}" ? registry.string() : argument);
    }
    const std::filesystem::path tracefile = folder / (std::string(scenario.name) + ".info");
    arguments.insert(arguments.end(), {"--trace-instructions", "--coverage", tracefile.string()});
    const CesimRun run = RunCesim(arguments);
    EXPECT_EQ(run.exitStatus, 0) << scenario.name << ": " << run.err;
    EXPECT_TRUE(std::filesystem::exists(tracefile)) << scenario.name;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with("insn: 0x")) executed.insert(std::stoul(line.substr(8, 8), nullptr, 16));
    }
  }
  const auto symbols = debuginfo::ProgramSymbols::Load(DEVICE_SYMBOLS);
  const std::vector<uint32_t> instructions = symbols.Instructions();
  ASSERT_FALSE(instructions.empty());
  size_t covered = 0;
  for (uint32_t address : instructions) {
    const bool ran = executed.contains(address);
    covered += ran;
    const auto unreachable = kUnreachableInstructions.find(address);
    if (unreachable == kUnreachableInstructions.end()) {
      EXPECT_TRUE(ran) << "no scenario executes the instruction at 0x" << std::hex << address << " "
                       << symbols.Describe(address);
    } else {
      EXPECT_FALSE(ran) << "0x" << std::hex << address << " is listed as unreachable ("
                        << unreachable->second << ") but runs";
    }
  }
  for (uint32_t address : executed) {
    EXPECT_TRUE(symbols.IsInstruction(address)) << "0x" << std::hex << address << " is not code";
  }
  const std::string summary = "image coverage: " + std::to_string(covered) + " of " +
                              std::to_string(instructions.size()) +
                              " instructions executed by the scenario table\n";
  std::cout << summary;
  std::ofstream(folder / "instructions.txt") << summary;
}

}  // namespace
