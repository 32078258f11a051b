// Every combination of the faults the simulated device can inject, run with the update built for
// this machine and with the device image on the emulated XScale: both must leave the same
// registry and print the same output, and that must be what the update promises for the faults.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <sstream>

#include "device.h"
#include "file_io.h"
#include "image_loader.h"
#include "machine.h"
#include "storage_manager.h"
#include "trace_output.h"
#include "update.h"

namespace {

struct Faults {
  std::array<bool, 3> missingKey{};    // per profile, in kCardProfiles order
  std::array<bool, 3> refusedWrite{};  // per profile
  bool stringsMissing = false;
  device::Answer answer = device::Answer::Yes;
  device::ResetBehaviour reset = device::ResetBehaviour::TakesEffect;
  bool romSilent = false;

  std::string Describe() const {
    std::ostringstream text;
    for (size_t i = 0; i < 3; ++i) {
      if (missingKey[i]) text << "missing " << device::ToUtf8(device::kCardProfiles[i]) << ", ";
      if (refusedWrite[i]) text << "refused " << device::ToUtf8(device::kCardProfiles[i]) << ", ";
    }
    static const char* const kAnswers[] = {"keyboard", "yes", "no", "fail"};
    text << (stringsMissing ? "no strings, " : "") << "answer "
         << kAnswers[static_cast<int>(answer)] << ", reset "
         << (reset == device::ResetBehaviour::TakesEffect ? "now" : "returns")
         << (romSilent ? ", silent ROM" : "");
    return text.str();
  }
};

std::vector<Faults> EveryCombination() {
  std::vector<Faults> all;
  for (int missing = 0; missing < 8; ++missing) {
    for (int refused = 0; refused < 8; ++refused) {
      for (bool stringsMissing : {false, true}) {
        for (auto answer : {device::Answer::Yes, device::Answer::No, device::Answer::FailToShow}) {
          for (auto reset :
               {device::ResetBehaviour::TakesEffect, device::ResetBehaviour::Returns}) {
            for (bool romSilent : {false, true}) {
              Faults faults;
              for (int i = 0; i < 3; ++i) {
                faults.missingKey[i] = missing & (1 << i);
                faults.refusedWrite[i] = refused & (1 << i);
              }
              faults.stringsMissing = stringsMissing;
              faults.answer = answer;
              faults.reset = reset;
              faults.romSilent = romSilent;
              all.push_back(faults);
            }
          }
        }
      }
    }
  }
  return all;
}

device::DeviceSettings SettingsFor(const Faults& faults) {
  device::DeviceSettings settings;
  for (size_t i = 0; i < 3; ++i) {
    const std::u16string key = device::ProfileKeyPath(device::kCardProfiles[i]);
    if (faults.missingKey[i]) settings.missingKeys.push_back(key);
    if (faults.refusedWrite[i]) settings.failingWrites.push_back(key);
  }
  settings.stringsMissing = faults.stringsMissing;
  settings.answer = faults.answer;
  settings.reset = faults.reset;
  settings.romSilent = faults.romSilent;
  return settings;
}

struct Outcome {
  device::RunResult result;
  std::string output;  // boxes and answers, with the text trace between them
  device::Registry registry;
  std::vector<device::CallRecord> calls;
};

// A console that writes the text trace between the boxes and keeps every record in `calls`.
device::Console TracingConsole(std::ostream& out, std::istream& in,
                               std::vector<device::CallRecord>& calls) {
  device::Console console{out, in, false, 80};
  console.calls = [&out, &calls](const device::CallRecord& call) {
    out << "trace: " << cesim::CallAsText(call) << '\n';
    calls.push_back(call);
  };
  return console;
}

class FaultSweep : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    factory_ = new device::Registry(
        device::Registry::Parse(fileio::ReadWholeFile(FACTORY_REGISTRY), "factory"));
    resources_ = new std::vector<res::ResourceEntry>(
        res::ReadResFile(fileio::ReadWholeFile(RESOURCE_FILE), RESOURCE_FILE));
    image_ = new emulator::LoadedImage(
        emulator::LoadImage(fileio::ReadWholeFile(DEVICE_IMAGE), DEVICE_IMAGE));
  }
  static void TearDownTestSuite() {
    delete factory_;
    delete resources_;
    delete image_;
  }

  // The native program's static data as a new process has it: zero.
  static Outcome RunNative(const Faults& faults) {
    ProgramInstance = 0;
    std::memset(RomInfoBlock, 0, sizeof RomInfoBlock);
    std::memset(ResetPromptText, 0, sizeof ResetPromptText);
    std::ostringstream out;
    std::istringstream in;
    std::vector<device::CallRecord> calls;
    device::Device device(*factory_, *resources_, SettingsFor(faults),
                          TracingConsole(out, in, calls));
    device::RunResult result = device.Run(&WinMain);
    return {result, out.str(), device.registry(), calls};
  }

  static Outcome RunEmulated(const Faults& faults) {
    std::ostringstream out;
    std::istringstream in;
    std::vector<device::CallRecord> calls;
    device::Device device(*factory_, image_->resources, SettingsFor(faults),
                          TracingConsole(out, in, calls));
    emulator::Machine machine(*image_, device, {});
    device::RunResult result =
        device.Run([&](HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show) {
          return machine.Start(instance, previous, commandLine, show);
        });
    return {result, out.str(), device.registry(), calls};
  }

  static device::Registry* factory_;
  static std::vector<res::ResourceEntry>* resources_;
  static emulator::LoadedImage* image_;
};

device::Registry* FaultSweep::factory_ = nullptr;
std::vector<res::ResourceEntry>* FaultSweep::resources_ = nullptr;
emulator::LoadedImage* FaultSweep::image_ = nullptr;

std::u16string FolderOf(const device::Registry& registry, size_t profile) {
  const device::RegValue* value =
      registry.FindValue(device::ProfileKeyPath(device::kCardProfiles[profile]), u"Folder");
  if (value == nullptr) return u"(none)";
  std::u16string text;
  for (size_t i = 0; i + 1 < value->data.size(); i += 2) {
    text += static_cast<char16_t>(value->data[i] | value->data[i + 1] << 8);
  }
  return text.substr(0, text.find(u'\0'));
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// What the update promises for `faults`, checked against one run.
void ExpectPromisedOutcome(const Faults& faults, const Outcome& run) {
  const std::string why = faults.Describe();
  EXPECT_EQ(run.result.exitStatus, 0) << why;
  if (faults.romSilent) {  // an empty block is no German ROM
    EXPECT_TRUE(run.result.changes.empty()) << why;
    EXPECT_TRUE(Contains(run.output, "German language ROM\", \"Error\", MB_OK) -> IDOK")) << why;
    EXPECT_FALSE(run.result.resetRequested) << why;
    return;
  }
  size_t firstFailure = 0;  // the profiles before it are written, the rest are not
  while (firstFailure < 3 && !faults.missingKey[firstFailure] &&
         !faults.refusedWrite[firstFailure]) {
    ++firstFailure;
  }
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(FolderOf(run.registry, i), i < firstFailure ? u"Speicherkarte" : u"Storage Card")
        << why << ": profile " << i;
  }
  EXPECT_EQ(run.result.changes.size(), firstFailure) << why;
  if (firstFailure < 3) {
    EXPECT_TRUE(Contains(run.output, "MessageBoxW(NULL, \"ERROR\", \"Error\", MB_OK) -> IDOK"))
        << why;
    EXPECT_FALSE(Contains(run.output, "MB_YESNO")) << why;
    EXPECT_FALSE(run.result.resetRequested) << why;
    EXPECT_EQ(run.result.keysLeftOpen, 0u) << why;
    return;
  }
  const std::string question = faults.stringsMissing ? "\"\"" : "\"Sie müssen einen Soft-Reset";
  EXPECT_TRUE(Contains(run.output, "MessageBoxW(NULL, " + question)) << why;
  const bool resetRequested = faults.answer != device::Answer::No;
  EXPECT_EQ(run.result.resetRequested, resetRequested) << why;
  const bool resetTaken = resetRequested && faults.reset == device::ResetBehaviour::TakesEffect;
  EXPECT_EQ(run.result.resetTookEffect, resetTaken) << why;
  EXPECT_EQ(run.result.keysLeftOpen, resetTaken ? 3u : 0u) << why;
}

TEST_F(FaultSweep, EveryFaultCombinationEndsAsPromisedNativeAndEmulatedAlike) {
  const std::vector<Faults> all = EveryCombination();
  ASSERT_EQ(all.size(), 8u * 8 * 2 * 3 * 2 * 2);
  for (const Faults& faults : all) {
    const Outcome native = RunNative(faults);
    const Outcome emulated = RunEmulated(faults);
    ExpectPromisedOutcome(faults, native);
    EXPECT_EQ(emulated.output, native.output) << faults.Describe();
    EXPECT_EQ(emulated.calls, native.calls) << faults.Describe();
    EXPECT_TRUE(emulated.registry == native.registry) << faults.Describe();
    EXPECT_EQ(emulated.result.exitStatus, native.result.exitStatus) << faults.Describe();
    if (HasFailure()) break;  // one combination's report is enough to go on
  }
}

}  // namespace
