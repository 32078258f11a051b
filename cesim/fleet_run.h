// One device of a fleet: the update run against its survey in memory, answered No, and what the
// run did, read from the platform calls it made.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fleet_survey.h"
#include "image_loader.h"
#include "machine.h"
#include "res_file.h"

namespace cesim {

enum class Outcome {
  Updated,    // every profile written, at least one changed
  Unchanged,  // every profile written, all already held the new name
  Partial,    // one or two written, then the update stopped
  Failed,     // none written: the update stopped at the first profile
  Refused,    // the update refused the ROM's language
  Unusable,   // the survey cannot be read
  Fault,      // the emulated program faulted
};

inline constexpr Outcome kOutcomes[] = {Outcome::Updated, Outcome::Unchanged, Outcome::Partial,
                                        Outcome::Failed,  Outcome::Refused,   Outcome::Unusable,
                                        Outcome::Fault};

std::string_view OutcomeName(Outcome outcome);  // "updated", ...
inline bool NeedsAttention(Outcome outcome) {
  return outcome != Outcome::Updated && outcome != Outcome::Unchanged;
}

// A registry value naming the old card folder, in UTF-8.
struct StaleValue {
  std::string key, name, text;
};

struct DeviceReport {
  std::string device;  // the survey folder, relative to the folder given
  Outcome outcome = Outcome::Unusable;
  std::optional<std::string> romLanguage;
  size_t changed = 0;                    // Folder values the run changed
  std::optional<std::string> stoppedAt;  // the profile the update stopped at
  bool asksReset = false;                // the update asked whether to reset now
  std::vector<std::pair<std::string, std::string>> mountsAs;  // profile, folder after the reset
  std::vector<StaleValue> staleReferences;
  std::optional<std::string> reason;  // why the device needs attention
};

// What the update runs as: the build for this machine, or an image on the emulated CPU.
struct FleetProgram {
  std::vector<res::ResourceEntry> resources;  // the string table the program loads from
  const emulator::LoadedImage* image = nullptr;
  emulator::MachineSettings machine;
};

// Runs devices one after another on one thread; each worker has its own. With an image, the
// emulated machine is set up once and restored for each device.
class DeviceRunner {
 public:
  explicit DeviceRunner(const FleetProgram& program);
  ~DeviceRunner();
  DeviceRunner(const DeviceRunner&) = delete;
  DeviceRunner& operator=(const DeviceRunner&) = delete;

  DeviceReport Run(const SurveyFolder& folder);

 private:
  device::RunResult RunProgram(device::Device& device);

  const FleetProgram& program_;
  std::unique_ptr<emulator::Machine> machine_;  // with an image: set up once, reused
};

}  // namespace cesim
