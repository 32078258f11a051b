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

// An input file cesim cannot use; what() is the one-line reason, naming the file.
struct InputError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// What cesim exits with besides the program's own status.
inline constexpr int kExitNotSaved = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitFault = 3;
inline constexpr int kExitOutputLost = 4;
inline constexpr int kExitInterrupted = 130;  // as a shell reports a run ended by Ctrl-C

enum class TraceFormat { Text, Json };

// The programs built for this machine that cesim can run; with --image the image decides.
enum class Program { Update, Survey };

// The longest command line the program may be started with, in UTF-16 units without the
// terminator. The device copies the command line onto the new process's stack; this much fits
// with room to spare on the smallest stack its loader gives a process (16 KB), so every image
// receives it whole, and the build for this machine is held to the same limit.
inline constexpr size_t kMaxCommandLineUnits = 4095;

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
  std::optional<std::filesystem::path> card;  // the host folder that is the card's contents
  std::u16string cardProfile = u"SDMemory";
  bool cardFull = false;
  bool cardReadOnly = false;
  std::vector<std::u16string> failingEnumerations;  // full key paths
  Program program = Program::Update;
  std::u16string commandLine;
  int showState = 5;                           // SW_SHOW
  std::optional<std::filesystem::path> image;  // absent: the update built for this machine
  emulator::CpuModel cpu = emulator::CpuModel::Pxa270;
  uint64_t maxInstructions = 1'000'000;
  InspectionOptions inspection;  // --symbols, --gdb, --coverage, --trace-instructions
  bool stats = false;
  bool trace = false;
  std::optional<std::filesystem::path> traceFile;  // absent: the trace goes with the output
  TraceFormat traceFormat = TraceFormat::Text;
  bool help = false;
  bool version = false;
};

// Parses the arguments after the program name. Throws UsageError.
Options ParseOptions(std::span<const std::string> arguments);

// The text --help prints.
std::string Usage();

}  // namespace cesim
