// The command line of cesim.
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "device.h"
#include "inspection.h"
#include "machine.h"

namespace cesim {

// A command line cesim cannot run; what() is the one-line reason.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Options {
  std::optional<std::filesystem::path> registryFile;  // absent: the built-in registry, not saved
  std::optional<std::u16string> romLanguage;
  std::optional<std::filesystem::path> romBlockFile;
  bool romSilent = false;
  device::Answer answer = device::Answer::FromKeyboard;
  device::ResetBehaviour reset = device::ResetBehaviour::TakesEffect;
  std::vector<std::u16string> missingKeyProfiles;
  std::vector<std::u16string> failingWriteProfiles;
  bool noStrings = false;
  std::u16string commandLine;
  int showState = 5;                           // SW_SHOW
  std::optional<std::filesystem::path> image;  // absent: the update built for this machine
  emulator::CpuModel cpu = emulator::CpuModel::Pxa270;
  uint64_t maxInstructions = 1'000'000;
  InspectionOptions inspection;  // --symbols, --gdb, --coverage, --trace-instructions
  bool stats = false;
  bool trace = false;
  bool help = false;
};

// Parses the arguments after the program name. Throws UsageError.
Options ParseOptions(std::span<const std::string> arguments);

extern const char* const kUsage;

}  // namespace cesim
