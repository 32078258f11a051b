// The summary cesim prints after a run: what was simulated, what the program did, and what
// became of the registry file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "device.h"
#include "file_io.h"
#include "options.h"

namespace cesim {

// What was run, and how much of it.
struct RunFigures {
  size_t platformCalls = 0;
  std::optional<uint64_t> instructions;  // inside the image, when an image was run
};

// What became of the registry file.
struct SaveOutcome {
  std::optional<std::string> error;               // set: not saved
  std::optional<std::string> reason;              // why not, when the summary says it
  std::optional<fileio::ReplaceTarget> replaced;  // the file written, as it was before the save
  bool coverageWritten = true;                    // false: the --coverage file was not written
};

// Everything the summary reports.
struct SummaryInput {
  const Options& options;
  const device::DeviceSettings& settings;  // as the run started
  const device::RunResult& result;
  const device::Registry& registry;  // after the run
  const SaveOutcome& save;
  const RunFigures& figures;
};

// The summary, its lines longer than `width` columns wrapped as box text is.
std::string Summary(const SummaryInput& run, size_t width);

}  // namespace cesim
