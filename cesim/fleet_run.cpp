#include "fleet_run.h"

#include <array>
#include <map>
#include <mutex>
#include <sstream>

#include "answers.h"
#include "stale_references.h"
#include "storage_manager.h"
#include "update.h"

namespace cesim {
namespace {

// The update built for this machine keeps its state in static data, as it does on the device, so
// one device at a time runs it; everything else a worker does runs alongside.
std::mutex nativeProgram;

// How far the update got, as its platform calls show it.
struct UpdateSteps {
  bool reachedRegistry = false;  // it opened profile keys: the ROM was accepted
  std::array<bool, device::kCardProfiles.size()> opened{};
  std::array<bool, device::kCardProfiles.size()> written{};
  bool askedReset = false;
};

// The card profile a key the program opened is, if any: the root's name and the path under it.
std::optional<size_t> ProfileOf(const device::Value& root, const device::Value& subKey) {
  if (root.kind != device::Value::Kind::Constant || subKey.kind != device::Value::Kind::Text) {
    return std::nullopt;
  }
  std::string_view relative = subKey.text;
  if (relative.starts_with('\\')) relative.remove_prefix(1);  // as the device accepts it
  const std::u16string path = device::FromValidUtf8(root.text + "\\" + std::string(relative));
  for (size_t i = 0; i < device::kCardProfiles.size(); ++i) {
    if (device::EqualsIgnoringCase(path, device::ProfileKeyPath(device::kCardProfiles[i])))
      return i;
  }
  return std::nullopt;
}

bool Succeeded(const device::CallRecord& call) {
  return call.result && call.result->number == 0;
}

// What the update did, call by call: which profile keys opened, which Folder values it wrote
// through them, and whether it asked the Yes/No question that offers the reset.
UpdateSteps StepsOf(const std::vector<device::CallRecord>& calls) {
  constexpr int64_t kYesNo = 4, kButtonGroup = 0xF;  // MB_YESNO, MB_TYPEMASK
  UpdateSteps steps;
  std::map<int64_t, size_t> profileKeys;  // opened handle -> profile
  for (const device::CallRecord& call : calls) {
    const std::vector<device::Value>& arguments = call.arguments;
    if (call.routine == "RegOpenKeyExW" && arguments.size() >= 2) {
      steps.reachedRegistry = true;
      const std::optional<size_t> profile = ProfileOf(arguments[0], arguments[1]);
      if (!profile || !Succeeded(call)) continue;
      steps.opened[*profile] = true;
      for (const device::Returned& returned : call.returned) {
        if (returned.name == "key") profileKeys[returned.value.number] = *profile;
      }
    } else if (call.routine == "RegSetValueExW" && arguments.size() >= 2 && Succeeded(call)) {
      const auto profile = profileKeys.find(arguments[0].number);
      const bool folder =
          arguments[1].kind == device::Value::Kind::Text &&
          device::EqualsIgnoringCase(device::FromValidUtf8(arguments[1].text), u"Folder");
      if (profile != profileKeys.end() && folder) steps.written[profile->second] = true;
    } else if (call.routine == "MessageBoxW" && arguments.size() >= 4) {
      steps.askedReset = steps.askedReset || (arguments[3].number & kButtonGroup) == kYesNo;
    }
  }
  return steps;
}

size_t FoldersChanged(const std::vector<device::ValueChange>& changes) {
  size_t changed = 0;
  for (const device::ValueChange& change : changes) {
    for (std::u16string_view profile : device::kCardProfiles) {
      if (device::EqualsIgnoringCase(change.keyPath, device::ProfileKeyPath(profile)) &&
          device::EqualsIgnoringCase(change.name, u"Folder")) {
        ++changed;
      }
    }
  }
  return changed;
}

void Judge(const UpdateSteps& steps, DeviceReport& report) {
  if (!steps.reachedRegistry) {
    report.outcome = Outcome::Refused;
    report.reason = "the update refused the ROM's language \"" + report.romLanguage.value_or("") +
                    "\" and changed nothing";
    return;
  }
  size_t written = 0;
  while (written < steps.written.size() && steps.written[written]) ++written;
  if (written == steps.written.size()) {
    report.outcome = report.changed == 0 ? Outcome::Unchanged : Outcome::Updated;
    return;
  }
  report.outcome = written == 0 ? Outcome::Failed : Outcome::Partial;
  report.stoppedAt = device::ToUtf8(device::kCardProfiles[written]);
  report.reason = "the update stopped at " + *report.stoppedAt +
                  (steps.opened[written] ? ", whose Folder value could not be written"
                                         : ", whose key did not open") +
                  ", after " + std::to_string(report.changed) +
                  " of 3 changed; the user sees \"ERROR\"";
}

}  // namespace

std::string_view OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::Updated:
      return "updated";
    case Outcome::Unchanged:
      return "unchanged";
    case Outcome::Partial:
      return "partial";
    case Outcome::Failed:
      return "failed";
    case Outcome::Refused:
      return "refused";
    case Outcome::Unusable:
      return "unusable";
    case Outcome::Fault:
      return "fault";
  }
  return "unknown";
}

DeviceRunner::DeviceRunner(const FleetProgram& program) : program_(program) {}
DeviceRunner::~DeviceRunner() = default;

DeviceReport DeviceRunner::Run(const SurveyFolder& folder) {
  DeviceReport report;
  report.device = folder.name;
  std::variant<Survey, UnusableSurvey> read = ReadSurvey(folder);
  if (auto* unusable = std::get_if<UnusableSurvey>(&read)) {
    report.reason = unusable->reason;
    if (unusable->romLanguage) report.romLanguage = device::ToUtf8(*unusable->romLanguage);
    return report;
  }
  Survey& survey = std::get<Survey>(read);
  report.romLanguage = device::ToUtf8(device::RomLanguage(survey.romBlock));
  device::DeviceSettings settings;
  settings.romBlock = survey.romBlock;
  std::ostringstream boxes;  // what the user would see; the report reads the calls instead
  std::istringstream keyboard;
  cesim::Answers answers(cesim::Answer::No, {keyboard, boxes});
  std::vector<device::CallRecord> calls;
  device::Console console{boxes, &answers};
  console.calls = [&calls](const device::CallRecord& call) { calls.push_back(call); };
  device::Device device(std::move(survey.registry), program_.resources, settings, console);
  device::RunResult result;
  try {
    result = RunProgram(device);
  } catch (const emulator::EmulationFault& fault) {
    report.outcome = Outcome::Fault;
    report.reason = std::string("emulation fault: ") + fault.what();
    return report;
  } catch (const emulator::EngineError& error) {
    report.outcome = Outcome::Fault;
    report.reason = std::string("the emulator failed: ") + error.what();
    return report;
  }
  const device::Registry& after = device.registry();
  report.changed = FoldersChanged(result.changes);
  const UpdateSteps steps = StepsOf(calls);
  report.asksReset = steps.askedReset;
  for (std::u16string_view profile : device::kCardProfiles) {
    report.mountsAs.emplace_back(device::ToUtf8(profile),
                                 device::ToUtf8(device::MountFolder(after, profile)));
  }
  for (const device::StaleReference& stale : device::StaleReferencesAfter(after, result.changes)) {
    report.staleReferences.push_back(
        {device::ToUtf8(stale.keyPath), device::ToUtf8(stale.name), device::ToUtf8(stale.text)});
  }
  Judge(steps, report);
  return report;
}

device::RunResult DeviceRunner::RunProgram(device::Device& device) {
  if (!program_.image) {
    std::lock_guard lock(nativeProgram);
    return device.Run(&WinMain);
  }
  if (!machine_ || !machine_->Reuse(device)) {
    machine_.reset();  // a machine that faulted is never run again
    machine_ = std::make_unique<emulator::Machine>(*program_.image, device, program_.machine);
  }
  return device.Run([&](HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show) {
    return machine_->Start(instance, previous, commandLine, show);
  });
}

}  // namespace cesim
