#include "fleet_run.h"

#include <array>
#include <mutex>
#include <sstream>

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

UpdateSteps StepsOf(const device::Registry& before, const device::RomBlock& rom) {
  UpdateSteps steps;
  steps.reachedRegistry = device::RomLanguage(rom) == u"DEUTSCH";
  if (!steps.reachedRegistry) return steps;
  bool stopped = false;
  for (size_t i = 0; i < device::kCardProfiles.size(); ++i) {
    steps.opened[i] = before.KeyExists(device::ProfileKeyPath(device::kCardProfiles[i]));
    stopped = stopped || !steps.opened[i];
    steps.written[i] = !stopped;
  }
  steps.askedReset = !stopped;
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
  const UpdateSteps steps = StepsOf(survey.registry, survey.romBlock);

  device::DeviceSettings settings;
  settings.romBlock = survey.romBlock;
  settings.answer = device::Answer::No;
  if (program_.image) settings.imageBase = program_.image->base;
  std::ostringstream boxes;  // the record of the run, which the report does not show
  std::istringstream keyboard;
  device::Console console{boxes, keyboard};
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
