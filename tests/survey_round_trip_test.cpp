// The survey on the simulated device with a card, natively and emulated on both CPUs: what it
// writes reads back, through cesim's own .reg reader, to exactly the device's registry (every key,
// in order, every value's type and bytes) and its ROM block; and the update run against the
// survey makes exactly the platform calls it makes against the device itself.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "cesim_runner.h"
#include "device.h"
#include "file_io.h"
#include "image_loader.h"
#include "machine.h"
#include "registry_tree.h"
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
                      device::DeviceSettings settings) {
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
    std::memset(RomInfoBlock, 0, sizeof RomInfoBlock);  // the update's data as a new process has it
    device::Device device(registry, survey ? images.surveyResources : images.updateResources,
                          settings, console);
    run.result = device.Run(survey ? &SurveyWinMain : &WinMain);
  } else {
    device::Device device(registry, image.resources, settings, console);
    emulator::Machine machine(
        image, device,
        {runner == Runner::Pxa270 ? emulator::CpuModel::Pxa270 : emulator::CpuModel::Ti925t});
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
  const char* folder;  // under survey\ on the card
};

device::Registry Factory() {
  return device::Registry::Parse(fileio::ReadWholeFile(FACTORY_REGISTRY), "factory");
}

const Source kSources[] = {
    {"factory", &Factory, "Quillet"},
    {"rich", &RichRegistry, "Quillet860"},  // from "Quillet 860/\..": trailing dots dropped
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

}  // namespace
