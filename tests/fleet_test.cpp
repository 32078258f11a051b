// cesim fleet as a user runs it: a generated fleet whose every device's report is known from how
// it was made, surveys that cannot be read, exit statuses, and the stale references of one run.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>

#include "cesim_runner.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

std::vector<Json> JsonLines(const std::string& text) {
  std::vector<Json> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(Json::parse(line));
  return lines;
}

void WriteFile(const fs::path& file, const std::string& bytes) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << bytes;
}

std::string RomBlock(const std::string& language) {
  std::string block(160, '\0');
  for (size_t i = 0; i < language.size(); ++i) block[128 + 2 * i] = language[i];
  return block;
}

// A survey of a factory-fresh German device: the update changes all three profiles.
void WriteFactorySurvey(const fs::path& folder) {
  WriteFile(folder / "rom.bin", RomBlock("DEUTSCH"));
  WriteFile(folder / "registry.reg", ReadText(FACTORY_REGISTRY));
}

// Every mode must give every device the report the generator worked out: natively and on both
// emulated cores, one worker and several, byte for byte the same files.
TEST(Fleet, ReportsEveryDeviceAsTheFleetWasMade) {
  ScratchFolder scratch;
  const fs::path fleet = scratch.path() / "fleet", expectedFile = scratch.path() / "expected";
  const std::string make = std::string("/usr/bin/python3 ") + MAKE_FLEET + " --seed 7 --expected " +
                           expectedFile.string() + " " + FACTORY_REGISTRY + " " + fleet.string() +
                           " 160";
  ASSERT_EQ(std::system(make.c_str()), 0);
  const std::vector<Json> expected = JsonLines(ReadText(expectedFile));
  const std::string surveyBefore = ReadText(fleet / "0000/00003/registry.reg");
  std::set<std::string> outcomes;
  for (const Json& device : expected) outcomes.insert(device["outcome"]);
  ASSERT_EQ(outcomes.size(), 5u) << "the generator makes every outcome a readable survey can have";

  const std::vector<std::vector<std::string>> modes = {
      {"--jobs", "1"},
      {"--jobs", "3"},
      {"--image", DEVICE_IMAGE, "--jobs", "1"},
      {"--image", DEVICE_IMAGE, "--jobs", "3"},
      {"--image", DEVICE_IMAGE, "--cpu", "ti925t", "--jobs", "2"}};
  std::string firstJson, firstCsv;
  for (const std::vector<std::string>& mode : modes) {
    const std::string name = mode.size() > 2 ? mode[mode.size() - 3] + mode.back() : mode.back();
    std::vector<std::string> arguments = {"fleet"};
    arguments.insert(arguments.end(), mode.begin(), mode.end());
    const fs::path json = scratch.path() / "out.jsonl", csv = scratch.path() / "out.csv";
    arguments.insert(arguments.end(),
                     {"--json", json.string(), "--csv", csv.string(), fleet.string()});
    const CesimRun run = RunCesim(arguments);
    EXPECT_EQ(run.exitStatus, 1) << name << ": some devices need attention\n" << run.err;
    const std::vector<Json> reports = JsonLines(ReadText(json));
    ASSERT_EQ(reports.size(), expected.size()) << name;
    for (size_t i = 0; i < reports.size(); ++i) {
      Json report = reports[i];
      const Json reason = report["reason"];
      report.erase("reason");
      EXPECT_EQ(report, expected[i]) << name;
      const bool attention = report["outcome"] != "updated" && report["outcome"] != "unchanged";
      EXPECT_EQ(reason.is_string(), attention) << name << ": " << report;
      if (!report["stopped_at"].is_null()) {
        EXPECT_NE(reason.get<std::string>().find(report["stopped_at"]), std::string::npos);
      }
    }
    if (firstJson.empty()) {
      firstJson = ReadText(json), firstCsv = ReadText(csv);
    } else {
      EXPECT_EQ(ReadText(json), firstJson) << name;
      EXPECT_EQ(ReadText(csv), firstCsv) << name;
    }
  }
  EXPECT_EQ(ReadText(fleet / "0000/00003/registry.reg"), surveyBefore) << "nothing is written back";
  size_t entries = 0;
  for (const auto& entry : fs::recursive_directory_iterator(fleet))
    entries += entry.is_regular_file();
  EXPECT_EQ(entries, 2 * expected.size()) << "nothing is written into a survey folder";
}

// A worker's machine is restored for each device as a new process starts: an image that acts only
// on a fresh start (zero-filled data, registers as the engine starts) does so on every device.
TEST(Fleet, StartsEveryDeviceOnAFreshMachine) {
  ScratchFolder scratch;
  for (const char* device : {"a", "b", "c", "d"}) WriteFactorySurvey(scratch.path() / device);
  const fs::path json = scratch.path() / "out.jsonl";
  const CesimRun run = RunCesim({"fleet", "--image", FRESH_PROCESS_IMAGE, "--jobs", "1", "--json",
                                 json.string(), scratch.path().string()});
  EXPECT_EQ(run.exitStatus, 1) << run.err;
  for (const Json& report : JsonLines(ReadText(json))) {
    EXPECT_EQ(report["outcome"], "failed") << report;
    EXPECT_EQ(report["stopped_at"], "MMC") << report;
  }
}

// The survey program's own output for the simulated device, fed back through the fleet, gives
// what running the update on that device gives.
TEST(Fleet, SurveyOfTheSimulatedDeviceGivesWhatTheUpdateDoesThere) {
  const struct {
    std::vector<std::string> device;  // how the simulated handheld is set up
    const char* outcome;
  } cases[] = {{{}, "updated"}, {{"--rom-language", "ENGLISH"}, "refused"}};
  for (const auto& test : cases) {
    ScratchFolder scratch;
    const fs::path card = scratch.path() / "card";
    fs::create_directories(card);
    std::vector<std::string> survey = {"--image", SURVEY_IMAGE, "--card", card.string()};
    survey.insert(survey.end(), test.device.begin(), test.device.end());
    ASSERT_EQ(RunCesim(survey).exitStatus, 0);
    std::vector<std::string> update = {"--answer", "no"};
    update.insert(update.end(), test.device.begin(), test.device.end());
    const CesimRun single = RunCesim(update, {"COLUMNS=200"});
    size_t changed = 0;
    for (size_t at = single.out.find("  changed: ["); at != std::string::npos;
         at = single.out.find("  changed: [", at + 1)) {
      ++changed;
    }
    const fs::path json = scratch.path() / "out.jsonl";
    RunCesim({"fleet", "--json", json.string(), card.string()});
    const std::vector<Json> reports = JsonLines(ReadText(json));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0]["outcome"], test.outcome) << reports[0];
    EXPECT_EQ(reports[0]["changed"], changed) << single.out;
  }
}

// Each row spoils one survey beside good ones: it is reported unusable with its reason, naming the
// file, and every other device still runs.
TEST(Fleet, ReportsUnusableSurveysPerDeviceAndGoesOn) {
  ScratchFolder scratch;
  const fs::path fleet = scratch.path() / "fleet", outside = scratch.path() / "outside";
  WriteFactorySurvey(outside / "device");
  const struct {
    const char* device;
    std::function<void(const fs::path& folder)> spoil;
    std::optional<std::string> reason;
  } cases[] = {
      {"a-rom-only", [](auto& f) { WriteFile(f / "rom.bin", RomBlock("DEUTSCH")); },
       "a-rom-only/registry.reg: missing"},
      {"b-registry-only",
       [](auto& f) { WriteFile(f / "registry.reg", ReadText(FACTORY_REGISTRY)); },
       "b-registry-only/rom.bin: missing"},
      {"c-malformed",
       [](auto& f) {
         WriteFactorySurvey(f);
         WriteFile(f / "registry.reg", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\x]\n\"a\"=dword:zz\n");
       },
       "c-malformed/registry.reg:4: "},
      {"d-short-block",
       [](auto& f) {
         WriteFactorySurvey(f);
         WriteFile(f / "rom.bin", RomBlock("DEUTSCH").substr(0, 159));
       },
       "d-short-block/rom.bin: a ROM information block is 160 bytes, this file has 159"},
      {"e-long-block",
       [](auto& f) {
         WriteFactorySurvey(f);
         WriteFile(f / "rom.bin", RomBlock("DEUTSCH") + "x");
       },
       "e-long-block/rom.bin: a ROM information block is 160 bytes, this file has more"},
      {"f-folder-as-file",
       [](auto& f) {
         WriteFile(f / "rom.bin", RomBlock("DEUTSCH"));
         fs::create_directories(f / "registry.reg");
       },
       "f-folder-as-file/registry.reg: not a regular file"},
      {"g-fifo",
       [](auto& f) {
         WriteFactorySurvey(f);
         fs::remove(f / "rom.bin");
         ASSERT_EQ(mkfifo((f / "rom.bin").c_str(), 0600), 0);
       },
       "g-fifo/rom.bin: not a regular file"},
      {"h-link-out", [&](auto& f) { fs::create_directory_symlink(outside / "device", f); },
       "a link to " + (fs::canonical(outside) / "device").string() +
           ", outside the folder given: not followed"},
      {"i-file-link-out",
       [&](auto& f) {
         WriteFactorySurvey(f);
         fs::remove(f / "registry.reg");
         fs::create_symlink(outside / "device/registry.reg", f / "registry.reg");
       },
       "i-file-link-out/registry.reg: a link to "},
      {"j-good", [](auto& f) { WriteFactorySurvey(f); }, std::nullopt},
      {"j-good/inner", [](auto& f) { WriteFactorySurvey(f); },
       "a survey folder inside the survey folder j-good"},
      {"k-loop",
       [&](auto& f) {
         fs::create_directories(f);
         fs::create_directory_symlink("..", f / "back");
       },
       "a link back to ., a folder it lies in: a loop"},
  };
  fs::create_directories(fleet);
  for (const auto& test : cases) test.spoil(fleet / test.device);
  const fs::path json = scratch.path() / "out.jsonl";
  const CesimRun run = RunCesim({"fleet", "--json", json.string(), fleet.string()});
  EXPECT_EQ(run.exitStatus, 1) << run.err;
  std::map<std::string, Json> reports;
  for (const Json& report : JsonLines(ReadText(json))) reports[report["device"]] = report;
  for (const auto& test : cases) {
    const std::string device = std::string(test.device) == "k-loop" ? "k-loop/back" : test.device;
    ASSERT_TRUE(reports.count(device)) << device << "\n" << ReadText(json);
    const Json& report = reports[device];
    if (!test.reason) {
      EXPECT_EQ(report["outcome"], "updated") << report;
      continue;
    }
    EXPECT_EQ(report["outcome"], "unusable") << report;
    EXPECT_NE(report["reason"].get<std::string>().find(*test.reason), std::string::npos)
        << report["reason"] << "\nexpected: " << *test.reason;
  }
  EXPECT_EQ(reports.size(), std::size(cases));
  EXPECT_NE(run.out.find("need attention: 11 device(s)"), std::string::npos) << run.out;
}

// What the command line refuses, and the statuses a run ends with.
TEST(Fleet, ExitsWithWhatTheFleetNeeds) {
  ScratchFolder scratch;
  const fs::path good = scratch.path() / "good", bad = scratch.path() / "bad";
  WriteFactorySurvey(good / "one");
  WriteFactorySurvey(good / "two");
  WriteFile(bad / "one" / "rom.bin", RomBlock("ENGLISH"));
  WriteFile(bad / "one" / "registry.reg", ReadText(FACTORY_REGISTRY));
  const struct {
    std::vector<std::string> arguments;
    int status;
    const char* err;
  } cases[] = {
      {{"fleet", good.string()}, 0, ""},
      {{"fleet", "--image", DEVICE_IMAGE, good.string()}, 0, ""},
      {{"fleet", good.string(), bad.string()}, 1, ""},
      {{"fleet"},
       2,
       "cesim: fleet: name at least one folder of surveys (see cesim fleet --help)\n"},
      {{"fleet", "--jobs", "0", good.string()}, 2, "cesim: fleet: --jobs takes 1 to 64"},
      {{"fleet", "--cpu", "ti925t", good.string()}, 2, "cesim: fleet: --cpu needs --image"},
      {{"fleet", "--bogus", good.string()}, 2, "cesim: fleet: "},
      {{"fleet", (scratch.path() / "none").string()}, 2, "none: not a folder"},
      {{"fleet", "--json", (scratch.path() / "none/x.jsonl").string(), good.string()},
       2,
       "x.jsonl: cannot write: No such file or directory\n"},
      {{"fleet", "--image", FACTORY_REGISTRY, good.string()}, 2, "default.reg"},
      {{"fleet", "--json", (good / "one/out.jsonl").string(), good.string()},
       2,
       "out.jsonl: in a survey folder, which is never written into\n"},
      {{"fleet", "--json", (scratch.path() / "r").string(), "--csv",
        (scratch.path() / "./r").string(), good.string()},
       2,
       "r: named twice, as a report and as another file\n"},
      {{"fleet", "--csv", good.string(), good.string()},
       2,
       "good: a folder, not a file to write the report to\n"},
  };
  for (const auto& test : cases) {
    const CesimRun run = RunCesim(test.arguments);
    EXPECT_EQ(run.exitStatus, test.status) << test.arguments.back() << "\n" << run.err;
    EXPECT_NE(run.err.find(test.err), std::string::npos) << run.err;
    if (test.status == 2) {
      EXPECT_EQ(run.out, "") << "nothing is written for a usage error";
    }
  }
  EXPECT_FALSE(fs::exists(scratch.path() / "none")) << "no report file is left behind";
}

// A single run's summary lists each value left naming the old folder, ten at most.
TEST(Fleet, SingleRunSummaryListsTenStaleReferencesThenACount) {
  ScratchFolder scratch;
  const fs::path registry = scratch.path() / "device.reg";
  std::string text = ReadText(FACTORY_REGISTRY) + "\n[HKEY_LOCAL_MACHINE\\Software\\Installed]\n";
  for (int i = 0; i < 12; ++i) {
    text += "\"App" + std::to_string(i) + "\"=\"\\\\Storage Card\\\\App" + std::to_string(i) +
            ".exe\"\n";
  }
  text += "\"Other\"=\"\\\\Storage Cards\\\\x.exe\"\n";
  WriteFile(registry, text);
  const CesimRun run =
      RunCesim({"--registry", registry.string(), "--answer", "no"}, {"COLUMNS=200"});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_NE(run.out.find("  stale reference: [HKEY_LOCAL_MACHINE\\Software\\Installed] \"App0\" = "
                         "\"\\Storage Card\\App0.exe\"\n"),
            std::string::npos)
      << run.out;
  size_t lines = 0;
  for (size_t at = run.out.find("stale reference: "); at != std::string::npos;
       at = run.out.find("stale reference: ", at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, 10u);
  EXPECT_NE(run.out.find("  stale references: 2 more, 12 in all\n"), std::string::npos);
  const CesimRun again =
      RunCesim({"--registry", registry.string(), "--answer", "no"}, {"COLUMNS=200"});
  EXPECT_EQ(again.out.find("stale reference"), std::string::npos)
      << "once the folder is renamed, nothing names the folder being replaced";
}

}  // namespace
