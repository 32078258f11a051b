// The update run end to end on the simulated device, one scenario per row: the whole output
// (message boxes, trace, summary) against a golden file, and the registry file afterwards.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "cesim_runner.h"

namespace {

const std::filesystem::path kGoldenDir = GOLDEN_DIR;
const std::filesystem::path kRepoDir = REPO_DIR;

struct Scenario {
  const char* name;
  std::vector<std::string> arguments;  // "{reg}" stands for the scenario's registry file
  const char* registryFixture =
      nullptr;  // copied to {reg} before the run; relative to the repository
};

const Scenario kScenarios[] = {
    {"german_answer_yes_resets_at_once", {"--answer", "yes"}},
    {"german_answer_yes_reset_returns", {"--answer", "yes", "--reset", "returns"}},
    {"german_answer_no_keeps_running", {"--answer", "no"}},
    {"german_question_box_fails_so_reset_requested", {"--answer", "fail", "--reset", "returns"}},
    {"german_no_terminal_no_answer_requests_reset", {}},
    {"english_rom_is_refused", {"--rom-language", "ENGLISH"}},
    {"silent_rom_query_is_refused", {"--rom-silent"}},
    {"pcmcia_write_fails_after_mmc", {"--fail-write", "PCMCIA"}},
    {"missing_mmc_key_writes_nothing", {"--missing-key", "MMC"}},
    {"string_table_missing_asks_empty_question", {"--no-strings", "--answer", "no"}},
    {"registry_file_saved_after_answer_no",
     {"--registry", "{reg}", "--answer", "no"},
     "device/default.reg"},
    {"registry_file_already_set_left_untouched",
     {"--registry", "{reg}", "--answer", "yes", "--reset", "returns"},
     "tests/data/already_set.reg"},
    {"registry_file_saved_when_reset_takes_effect",
     {"--registry", "{reg}", "--answer", "yes"},
     "tests/data/factory_utf16.reg"},
};

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

void CompareWithGolden(const std::filesystem::path& golden, const std::string& actual) {
  if (std::getenv("UPDATE_GOLDEN") != nullptr) {
    std::ofstream(golden, std::ios::binary) << actual;
    return;
  }
  ASSERT_TRUE(std::filesystem::exists(golden)) << golden << " is missing; run with UPDATE_GOLDEN=1";
  EXPECT_EQ(ReadText(golden), actual) << "differs from " << golden;
}

class ScenarioTest : public testing::TestWithParam<Scenario> {};

TEST_P(ScenarioTest, OutputAndRegistryMatchGolden) {
  const Scenario& scenario = GetParam();
  ScratchFolder scratch;
  const std::filesystem::path registry = scratch.path() / "device.reg";
  if (scenario.registryFixture) {
    std::filesystem::copy_file(kRepoDir / scenario.registryFixture, registry);
  }
  const std::string before = scenario.registryFixture ? ReadText(registry) : "";
  std::vector<std::string> arguments;
  for (const std::string& argument : scenario.arguments) {
    arguments.push_back(argument == "{reg}" ? registry.string() : argument);
  }
  arguments.push_back("--trace");
  CesimRun run = RunCesim(arguments);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.err, "");
  CompareWithGolden(kGoldenDir / (std::string(scenario.name) + ".txt"),
                    ReplaceAll(run.out, registry.string(), "{reg}"));
  if (scenario.registryFixture) {
    const std::string after = ReadText(registry);
    if (run.out.find("left as it was") != std::string::npos) {
      EXPECT_EQ(after, before);
    }
    CompareWithGolden(kGoldenDir / (std::string(scenario.name) + ".reg"), after);
  }
}

INSTANTIATE_TEST_SUITE_P(Cesim, ScenarioTest, testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

// What the command line, ROM or fault changes must not change the run: each pair gives the
// same output.
struct SameRun {
  const char* why;
  std::vector<std::string> arguments, reference;
};

const SameRun kSameRuns[] = {
    {"a command line is ignored",
     {"--answer", "no", "--command-line", "/reset -f x.reg"},
     {"--answer", "no"}},
    {"the device data around the language name plays no part",
     {"--answer", "no", "--rom-block", TEST_DATA_DIR "/rom_deutsch_other_device.bin"},
     {"--answer", "no"}},
};

TEST(CesimSameRun, IrrelevantInputsLeaveTheRunUnchanged) {
  for (const SameRun& same : kSameRuns) {
    auto withTrace = [](std::vector<std::string> arguments) {
      arguments.push_back("--trace");
      return RunCesim(arguments).out;
    };
    EXPECT_EQ(withTrace(same.arguments), withTrace(same.reference)) << same.why;
  }
}

// ROM language names the check must refuse, whatever else the block holds.
TEST(CesimRomCheck, RefusesEveryNameButExactlyDeutsch) {
  const char* const refused[] = {"deutsch",  "Deutsch", "DEUTSCHLAND",     "DEUTSC", " DEUTSCH",
                                 "DEUTSCH ", "",        "DEUTSCHDEUTSCHDE"};
  for (const char* name : refused) {
    CesimRun run = RunCesim({"--rom-language", name});
    EXPECT_EQ(run.exitStatus, 0) << name;
    EXPECT_NE(run.out.find("German language ROM"), std::string::npos) << '"' << name << '"';
    EXPECT_NE(run.out.find("no value changed"), std::string::npos) << '"' << name << '"';
  }
}

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
    {{"--rom-block", TEST_DATA_DIR "/rom_short.bin"},
     "cesim: " TEST_DATA_DIR
     "/rom_short.bin: a ROM information block is 160 bytes, this file has 159"},
    {{"--registry", "{reg}", "--answer", "no"},
     "cesim: {reg}:7: IF makes values depend on the build; a device registry file holds state, not "
     "build conditions",
     "tests/data/conditional.reg"},
    {{"--registry", "{reg}"}, "cesim: {reg}: cannot read: No such file or directory"},
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

}  // namespace
