// The survey on the simulated device with a card, natively and emulated on both CPUs: what it
// writes reads back, through cesim's own .reg reader, to exactly the device's registry (every key,
// in order, every value's type and bytes) and its ROM block; and the update run against the
// survey makes exactly the platform calls it makes against the device itself.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

#include "cesim_runner.h"
#include "coverage_recorder.h"
#include "device.h"
#include "file_io.h"
#include "image_loader.h"
#include "machine.h"
#include "program_symbols.h"
#include "reg_text.h"
#include "registry_tree.h"
#include "storage_manager.h"
#include "survey.h"
#include "trace_output.h"
#include "update.h"

namespace {

enum class Runner { Native, Pxa270, Ti925t };

struct Images {
  std::vector<res::ResourceEntry> updateResources, surveyResources;
  emulator::LoadedImage update, survey;
};

const Images& LoadedImages() {
  static const Images* images = new Images{
      res::ReadResFile(fileio::ReadWholeFile(RESOURCE_FILE), RESOURCE_FILE),
      res::ReadResFile(fileio::ReadWholeFile(SURVEY_RESOURCE_FILE), SURVEY_RESOURCE_FILE),
      emulator::LoadImage(fileio::ReadWholeFile(DEVICE_IMAGE), DEVICE_IMAGE),
      emulator::LoadImage(fileio::ReadWholeFile(SURVEY_IMAGE), SURVEY_IMAGE)};
  return *images;
}

struct ProgramRun {
  device::RunResult result;
  std::string out;
  std::vector<std::string> trace;
};

// One run of a program, the update or the survey, as a new process.
ProgramRun RunProgram(bool survey, Runner runner, const device::Registry& registry,
                      device::DeviceSettings settings,
                      emulator::ExecutionObserver* observer = nullptr) {
  const Images& images = LoadedImages();
  const emulator::LoadedImage& image = survey ? images.survey : images.update;
  ProgramRun run;
  std::ostringstream out;
  std::istringstream in;
  settings.answer = device::Answer::No;
  settings.programFile = survey ? u"DeviceSurvey.exe" : u"CardFolderUpdate.exe";
  device::Console console{out, in, false, 80};
  console.calls = [&](const device::CallRecord& call) {
    run.trace.push_back(cesim::CallAsText(call));
  };
  if (runner == Runner::Native) {
    // The programs' data as a new process has it.
    std::memset(RomInfoBlock, 0, sizeof RomInfoBlock);
    std::memset(SurveyRomBlock, 0, sizeof SurveyRomBlock);
    device::Device device(registry, survey ? images.surveyResources : images.updateResources,
                          settings, console);
    run.result = device.Run(survey ? &SurveyWinMain : &WinMain);
  } else {
    device::Device device(registry, image.resources, settings, console);
    emulator::Machine machine(
        image, device,
        {runner == Runner::Pxa270 ? emulator::CpuModel::Pxa270 : emulator::CpuModel::Ti925t});
    if (observer) machine.Attach(*observer);
    run.result = device.Run([&](HINSTANCE instance, HINSTANCE previous, LPWSTR line, int show) {
      return machine.Start(instance, previous, line, show);
    });
  }
  run.out = out.str();
  return run;
}

// Every key below the two roots, depth first in enumeration order, with its values.
void Flatten(const device::RegistryTree& tree, const device::RegistryTree::Key& key,
             const std::u16string& path, std::vector<device::RegKey>& keys) {
  keys.push_back({path, key.values});
  for (size_t i = 0; i < key.subkeys.size(); ++i) {
    const auto& subkey = tree.Subkey(key, i);
    Flatten(tree, subkey, path + u"\\" + subkey.name, keys);
  }
}

std::vector<device::RegKey> Flattened(const device::Registry& registry) {
  const device::RegistryTree tree(registry);
  std::vector<device::RegKey> keys;
  for (std::u16string root : {u"HKEY_LOCAL_MACHINE", u"HKEY_CURRENT_USER"}) {
    if (const auto* key = tree.Find(root)) {
      Flatten(tree, *key, root, keys);
    } else {
      keys.push_back({root, {}});  // a root with nothing in the file is there all the same
    }
  }
  return keys;
}

std::string Line(std::string_view name, std::string_view data) {
  return "\"" + std::string(name) + "\"=" + std::string(data) + "\n";
}

std::string Hex(size_t count, int seed) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, "%02x", static_cast<unsigned>((i * 7 + seed) & 0xFF));
    text += (i ? "," : "") + std::string(byte);
  }
  return text;
}

// A registry holding every value type, empty keys, names with quotes, backslashes and non-ASCII
// characters, the longest names the platform allows, values of several KB and strings that a
// quoted form would change.
device::Registry RichRegistry() {
  const std::string longName(255, 'N');
  std::string text = "Windows Registry Editor Version 5.00\n\n";
  text += "[HKEY_LOCAL_MACHINE\\Ident]\n" + Line("Name", "\"Quillet 860/\\\\..\"");
  text += "[HKEY_LOCAL_MACHINE\\Empty]\n";
  text += "[HKEY_LOCAL_MACHINE\\Implied\\Below\\Empty Too]\n";
  text += "[HKEY_LOCAL_MACHINE\\" + std::string(255, 'K') + "]\n";
  text += "[HKEY_LOCAL_MACHINE\\Größe ü € (x) " + std::string(200, 'k') + "]\n";
  text += "@=\"default\"\n";
  text += Line("q\\\"uo\\\\te", "\"a \\\"b\\\" \\\\c\\\\\"");
  text += Line("Größe", "\"Speicherkarte äöü € \xF0\x9F\x98\x80\"");
  text += Line(longName, "dword:0000002a");
  text += Line("empty string", "\"\"");
  text += Line("binary", "hex:" + Hex(40, 1));
  text += Line("empty binary", "hex:");
  text += Line("expand", "hex(2):25,00,78,00,25,00,00,00");
  text += Line("multi", "multi_sz:\"a\",\"b\\\\c\"");
  text += Line("none", "hex(0):01");
  text += Line("qword", "hex(b):01,02,03,04,05,06,07,08");
  text += Line("big type", "hex(ffffffff):09");
  text += Line("short dword", "hex(4):01,02");
  text += Line("odd string", "hex(1):61,00,62");
  text += Line("unterminated", "hex(1):61,00");
  text += Line("inner NUL", "hex(1):61,00,00,00,62,00,00,00");
  text += Line("line break", "hex(1):61,00,0a,00,00,00");
  text += Line("lone surrogate", "hex(1):3d,d8,00,00");
  text += Line("lone low surrogate", "hex(1):00,de,00,00");
  text += Line("five KB", "hex:" + Hex(5000, 3));
  text += Line("twenty KB string", "\"" + std::string(10000, 's') + "\"");
  text += "[HKEY_CURRENT_USER\\Software\\Tovan]\n" + Line("Last", "dword:ffffffff");
  text += "[HKEY_CURRENT_USER\\Empty]\n";
  const std::vector<uint8_t> bytes(text.begin(), text.end());
  return device::Registry::Parse(bytes, "rich.reg");
}

struct Source {
  const char* name;
  device::Registry (*registry)();
  const char* folder;                // under survey\ on the card
  std::vector<std::string> lines{};  // the file holds each, its line end included
};

device::Registry Factory() {
  return device::Registry::Parse(fileio::ReadWholeFile(FACTORY_REGISTRY), "factory");
}

const Source kSources[] = {
    {"factory", &Factory, "Quillet"},
    // From "Quillet 860/\..": trailing dots dropped. Each value in its notation: quoted only
    // where that reads back as the same bytes, dword: only for 4 bytes, hex: for REG_BINARY.
    {"rich",
     &RichRegistry,
     "Quillet860",
     {"\r\n[HKEY_LOCAL_MACHINE\\Empty]\r\n\r\n[", "\r\n@=\"default\"\r\n",
      "\r\n\"q\\\"uo\\\\te\"=\"a \\\"b\\\" \\\\c\\\\\"\r\n",
      "\r\n\"" + std::string(255, 'N') + "\"=dword:0000002a\r\n", "\r\n\"empty string\"=\"\"\r\n",
      "\r\n\"empty binary\"=hex:\r\n", "\r\n\"expand\"=hex(2):25,00,78,00,25,00,00,00\r\n",
      "\r\n\"multi\"=hex(7):61,00,00,00,62,00,5c,00,63,00,00,00,00,00\r\n",
      "\r\n\"big type\"=hex(ffffffff):09\r\n", "\r\n\"short dword\"=hex(4):01,02\r\n",
      "\r\n\"odd string\"=hex(1):61,00,62\r\n", "\r\n\"line break\"=hex(1):61,00,0a,00,00,00\r\n",
      "\r\n\"binary\"=hex:" + Hex(24, 1) + ",\\\r\n  " + Hex(16, 24 * 7 + 1) + "\r\n"}},
};

class SurveyRoundTrip : public testing::TestWithParam<std::tuple<Source, Runner>> {};

TEST_P(SurveyRoundTrip, ReadsBackToTheDeviceAndReplaysTheUpdateAlike) {
  const auto& [source, runner] = GetParam();
  const device::Registry registry = source.registry();
  ScratchFolder card;
  device::DeviceSettings settings;
  settings.romBlock = device::MakeRomBlock(u"DEUTSCH");
  settings.romBlock[3] = 0x42;  // device data around the name is recorded too
  settings.card = device::CardSettings{card.path()};
  const ProgramRun survey = RunProgram(true, runner, registry, settings);
  const std::filesystem::path folder = card.path() / "survey" / source.folder;
  ASSERT_TRUE(std::filesystem::exists(folder / "registry.reg")) << survey.out;
  EXPECT_NE(survey.out.find("Erfassung gespeichert in:"), std::string::npos) << survey.out;
  EXPECT_EQ(survey.result.keysLeftOpen, 0u);
  EXPECT_EQ(survey.result.filesLeftOpen, 0u);
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "rom.bin" || name == "registry.reg") << name;
  }

  const std::vector<uint8_t> rom = fileio::ReadWholeFile(folder / "rom.bin");
  EXPECT_EQ(rom, std::vector<uint8_t>(settings.romBlock.begin(), settings.romBlock.end()));
  const device::Registry surveyed = device::Registry::Load(folder / "registry.reg");
  EXPECT_EQ(Flattened(surveyed), Flattened(registry));
  const std::vector<uint8_t> file = fileio::ReadWholeFile(folder / "registry.reg");
  ASSERT_GE(file.size(), 2u);
  EXPECT_EQ(file[0] + (file[1] << 8), 0xFEFF);
  const std::string text = device::ToUtf8(
      std::u16string(reinterpret_cast<const char16_t*>(file.data() + 2), file.size() / 2 - 1));
  EXPECT_TRUE(text.starts_with("Windows Registry Editor Version 5.00\r\n\r\n["));
  for (const std::string& line : source.lines) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }

  // The update against the survey and against the device: the same calls, answers and registry.
  device::DeviceSettings replay;
  std::copy(rom.begin(), rom.end(), replay.romBlock.begin());
  const ProgramRun onSurvey = RunProgram(false, runner, surveyed, replay);
  const ProgramRun onDevice = RunProgram(false, runner, registry, settings);
  EXPECT_EQ(onSurvey.trace, onDevice.trace);
  EXPECT_EQ(onSurvey.out, onDevice.out);
  EXPECT_EQ(onSurvey.result.changes, onDevice.result.changes);
}

std::string RunName(const testing::TestParamInfo<std::tuple<Source, Runner>>& info) {
  static const char* const kRunners[] = {"native", "pxa270", "ti925t"};
  return std::string(std::get<0>(info.param).name) + "_" +
         kRunners[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(Device, SurveyRoundTrip,
                         testing::Combine(testing::ValuesIn(kSources),
                                          testing::Values(Runner::Native, Runner::Pxa270,
                                                          Runner::Ti925t)),
                         RunName);

// What the survey meets, one row each: a device, a card as it is found, faults. Every row runs
// natively and on both emulated CPUs with the same output; together the rows execute every
// instruction of the survey's image that a simulated device can reach.
struct Scenario {
  const char* name;
  void (*prepare)(device::DeviceSettings& settings, const std::filesystem::path& card);
  const char* box;  // how the message box's text ends: the folder, or the failed step and code
  device::Registry (*registry)() = &Factory;
};

void MakeFolders(const std::filesystem::path& card, int suffixes) {
  std::filesystem::create_directories(card / "survey" / "Quillet");
  for (int n = 2; n <= suffixes; ++n) {
    std::filesystem::create_directories(card / "survey" / ("Quillet-" + std::to_string(n)));
  }
}

device::Registry Parsed(const std::string& text) {
  return device::Registry::Parse(std::vector<uint8_t>(text.begin(), text.end()), "scenario.reg");
}

device::Registry WithIdentName(const std::string& data) {
  return Parsed("[HKEY_LOCAL_MACHINE\\Ident]\n\"Name\"=" + data + "\n");
}

// Beyond what the survey reads: a value over its cap, a key name over 255 characters, a key 17
// levels down; and no Ident key.
device::Registry BeyondLimits() {
  std::string text = "[HKEY_LOCAL_MACHINE\\Big]\n\"huge\"=hex:" + Hex(65537, 0) + "\n";
  text += "[HKEY_LOCAL_MACHINE\\Long\\" + std::string(256, 'k') + "]\n";
  text += "[HKEY_LOCAL_MACHINE";
  for (int level = 1; level <= 17; ++level) text += "\\L" + std::to_string(level);
  return Parsed(text + "]\n");
}

void Nothing(device::DeviceSettings&, const std::filesystem::path&) {}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

const Scenario kScenarios[] = {
    {"factory", Nothing, "Erfassung gespeichert in:\n\\Storage Card\\survey\\Quillet"},
    {"second_survey",
     [](device::DeviceSettings&, const std::filesystem::path& card) { MakeFolders(card, 1); },
     "\\Storage Card\\survey\\Quillet-2"},
    {"every_suffix_taken",
     [](device::DeviceSettings&, const std::filesystem::path& card) { MakeFolders(card, 99); },
     "CreateDirectoryW \\Storage Card\\survey\\Quillet-99\nFehler 183"},
    {"survey_is_a_file",
     [](device::DeviceSettings&, const std::filesystem::path& card) {
       std::ofstream(card / "survey") << "x";
     },
     "CreateDirectoryW \\Storage Card\\survey\\Quillet\nFehler 3"},
    {"card_full",
     [](device::DeviceSettings& settings, const std::filesystem::path&) {
       settings.card->full = true;
     },
     "WriteFile \\Storage Card\\survey\\Quillet\\registry.tmp\nFehler 112"},
    {"card_read_only",
     [](device::DeviceSettings& settings, const std::filesystem::path&) {
       settings.card->readOnly = true;
     },
     "CreateDirectoryW \\Storage Card\\survey\nFehler 5"},
    {"enumeration_fails",
     [](device::DeviceSettings& settings, const std::filesystem::path&) {
       settings.failingEnumerations.push_back(u"HKEY_LOCAL_MACHINE\\System\\StorageManager");
     },
     "RegEnumValueW HKEY_LOCAL_MACHINE\\System\\StorageManager\nFehler 1016"},
    {"subkey_does_not_open",
     [](device::DeviceSettings& settings, const std::filesystem::path&) {
       settings.missingKeys.push_back(device::ProfileKeyPath(u"MMC"));
     },
     "RegOpenKeyExW HKEY_LOCAL_MACHINE\\System\\StorageManager\\Profiles\\MMC\nFehler 2"},
    {"rom_silent",
     [](device::DeviceSettings& settings, const std::filesystem::path&) {
       settings.romSilent = true;
     },
     "Survey failed:\nKernelIoControl \nError 0"},
    {"no_card",
     [](device::DeviceSettings& settings, const std::filesystem::path&) { settings.card.reset(); },
     "\\Windows\\survey\\Quillet"},
    {"beyond_limits_no_ident", Nothing, "\\survey\\device", &BeyondLimits},
    {"every_value_notation", Nothing, "\\survey\\Quillet860", &RichRegistry},
    {"ident_name_not_a_string", Nothing, "\\survey\\device",
     [] { return WithIdentName("dword:00000041"); }},
    {"ident_name_only_dots", Nothing, "\\survey\\device", [] { return WithIdentName("\"..\""); }},
    {"ident_name_reduced_to_safe_characters", Nothing, "\\survey\\abcd..e",
     [] { return WithIdentName("\"a/b\\\\c:d*..e \xC3\xBC?\""); }},
    {"ident_name_cut_to_32_characters", Nothing, "\\survey\\yyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyy",
     [] { return WithIdentName("\"" + std::string(40, 'y') + "\""); }},
    {"ident_name_too_long", Nothing, "\\survey\\device",
     [] { return WithIdentName("\"" + std::string(300, 'x') + "\""); }},
    {"french",
     [](device::DeviceSettings& settings, const std::filesystem::path&) {
       settings.romBlock = device::MakeRomBlock(u"FRANCAIS");
     },
     "Inventaire enregistré dans :\n\\Storage Card\\survey\\Quillet"},
    {"italian",
     [](device::DeviceSettings& settings, const std::filesystem::path&) {
       settings.romBlock = device::MakeRomBlock(u"ITALIANO");
     },
     "Rilevamento salvato in:\n\\Storage Card\\survey\\Quillet"},
    {"portuguese",
     [](device::DeviceSettings& settings, const std::filesystem::path&) {
       settings.romBlock = device::MakeRomBlock(u"PORTUGUES");
     },
     "Levantamento gravado em:\n\\Storage Card\\survey\\Quillet"},
    {"english_for_a_longer_name",
     [](device::DeviceSettings& settings, const std::filesystem::path&) {
       settings.romBlock = device::MakeRomBlock(u"DEUTSCHLAND");
     },
     "Survey written to:\n\\Storage Card\\survey\\Quillet"},
    {"english_for_a_name_filling_the_field",
     [](device::DeviceSettings& settings, const std::filesystem::path&) {
       settings.romBlock = device::MakeRomBlock(u"DEUTSCHDEUTSCHDE");
     },
     "Survey written to:\n\\Storage Card\\survey\\Quillet"},
    {"no_strings",
     [](device::DeviceSettings& settings, const std::filesystem::path&) {
       settings.stringsMissing = true;
     },
     "\n\\Storage Card\\survey\\Quillet"},
};

std::set<std::filesystem::path> CardContents(const std::filesystem::path& card) {
  std::set<std::filesystem::path> contents;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(card)) {
    contents.insert(std::filesystem::relative(entry.path(), card));
  }
  return contents;
}

// A scenario's run: the card prepared, the survey run, what is on the card before and after.
struct ScenarioRun {
  ProgramRun run;
  std::set<std::filesystem::path> before, after;
};

ScenarioRun RunScenario(const Scenario& scenario, Runner runner,
                        emulator::ExecutionObserver* observer = nullptr) {
  ScratchFolder card;
  device::DeviceSettings settings;
  settings.card = device::CardSettings{card.path()};
  scenario.prepare(settings, card.path());
  ScenarioRun result;
  result.before = CardContents(card.path());
  result.run = RunProgram(true, runner, scenario.registry(), settings, observer);
  result.after = CardContents(card.path());
  return result;
}

class SurveyScenario : public testing::TestWithParam<Scenario> {};

TEST_P(SurveyScenario, NativeAndEmulatedAgreeAndAFailureLeavesTheCardAsItWas) {
  const Scenario& scenario = GetParam();
  const ScenarioRun native = RunScenario(scenario, Runner::Native);
  // The box's text as the program passed it: the last call's trace, line breaks as \x0A.
  ASSERT_FALSE(native.run.trace.empty());
  const std::string& box = native.run.trace.back();
  EXPECT_NE(box.find(ReplaceAll(scenario.box, "\n", "\\x0A") + "\", \"DeviceSurvey\""),
            std::string::npos)
      << box;
  const bool failed = box.find("fehlgeschlagen:\\x0A") != std::string::npos ||
                      box.find("Survey failed:\\x0A") != std::string::npos;
  if (failed) {
    EXPECT_EQ(native.after, native.before);
  }
  EXPECT_EQ(native.run.result.keysLeftOpen, 0u);
  EXPECT_EQ(native.run.result.filesLeftOpen, 0u);
  for (Runner runner : {Runner::Pxa270, Runner::Ti925t}) {
    const ScenarioRun emulated = RunScenario(scenario, runner);
    EXPECT_EQ(emulated.run.out, native.run.out);
    EXPECT_EQ(emulated.run.trace, native.run.trace);
    EXPECT_EQ(emulated.after, native.after);
  }
}

INSTANTIATE_TEST_SUITE_P(Card, SurveyScenario, testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

// Instructions no simulated device reaches lie on source lines marked "Unreachable in cesim" (or
// just below one); every other instruction of the image must run in some scenario. Each run
// writes its lcov tracefile into $IMAGE_COVERAGE_DIR when set (tools/image-coverage.sh).
TEST(SurveyCoverage, TheScenariosExecuteEveryInstructionASimulatedDeviceCanReach) {
  const auto symbols = debuginfo::ProgramSymbols::Load(SURVEY_SYMBOLS);
  const std::vector<uint32_t> instructions = symbols.Instructions();
  const char* kept = std::getenv("IMAGE_COVERAGE_DIR");
  std::set<uint32_t> executed;
  for (const Scenario& scenario : kScenarios) {
    coverage::CoverageRecorder recorder(symbols);
    RunScenario(scenario, Runner::Pxa270, &recorder);
    for (uint32_t address : instructions) {
      const auto* counts = recorder.CountsAt(address);
      if (counts && counts->executed > 0) executed.insert(address);
    }
    if (kept) {
      std::ofstream(std::filesystem::path(kept) /
                    ("survey_" + std::string(scenario.name) + ".info"))
          << coverage::LcovTracefile(recorder);
    }
  }
  std::map<std::string, std::vector<std::string>> sources;
  const auto marked = [&](const debuginfo::SourceLine* line) {
    if (line == nullptr || line->line == 0) return false;
    std::vector<std::string>& text = sources[line->file];
    if (text.empty()) {
      std::ifstream file(line->file);
      for (std::string row; std::getline(file, row);) text.push_back(row);
    }
    for (int row = line->line - 1; row >= 0 && row >= line->line - 2; --row) {
      if (row < static_cast<int>(text.size()) &&
          text[row].find("Unreachable in cesim") != std::string::npos) {
        return true;
      }
    }
    return false;
  };
  size_t unreachable = 0;
  for (uint32_t address : instructions) {
    if (executed.contains(address)) continue;
    if (marked(symbols.Locate(address).line)) {
      ++unreachable;
      continue;
    }
    ADD_FAILURE() << "no scenario executes the instruction at 0x" << std::hex << address << " "
                  << symbols.Describe(address);
  }
  const std::string summary = "survey image coverage: " + std::to_string(executed.size()) + " of " +
                              std::to_string(instructions.size()) + " instructions executed, " +
                              std::to_string(unreachable) +
                              " more on lines no simulated device reaches\n";
  std::cout << summary;
  if (kept) std::ofstream(std::filesystem::path(kept) / "survey_instructions.txt") << summary;
}

}  // namespace
