// cesim: runs the card-folder update once on a simulated handheld and reports what it did.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>

#include "binary.h"
#include "checked_output.h"
#include "device.h"
#include "file_io.h"
#include "file_roles.h"
#include "fleet.h"
#include "gdb_stub.h"
#include "image_loader.h"
#include "machine.h"
#include "options.h"
#include "storage_manager.h"
#include "summary.h"
#include "survey.h"
#include "trace_output.h"
#include "update.h"

extern const std::span<const unsigned char> kDefaultRegistry;   // device/default.reg
extern const std::span<const unsigned char> kProgramResources;  // the program's compiled .res
extern const std::span<const unsigned char> kSurveyResources;   // the survey's compiled .res

using cesim::InputError;
using cesim::kExitFault;
using cesim::kExitInterrupted;
using cesim::kExitNotSaved;
using cesim::kExitOutputLost;
using cesim::kExitUsage;

namespace {

// The largest image the device can run: a Windows CE 4.20 process lives in a 32 MB slot.
constexpr size_t kMaxImageSize = 32 * 1024 * 1024;

// The file's bytes, at most `maxSize`; `tooLarge` says what the limit is.
std::vector<uint8_t> ReadFile(const std::filesystem::path& file, size_t maxSize,
                              const std::string& tooLarge) {
  try {
    return fileio::ReadWholeFile(file, maxSize);
  } catch (const fileio::FileError& error) {
    if (error.step == fileio::FileStep::kTooLarge)
      throw InputError(file.string() + ": " + tooLarge);
    throw InputError(file.string() + ": cannot read: " + error.code.message());
  }
}

device::RomBlock LoadRomBlock(const std::filesystem::path& file) {
  std::vector<uint8_t> bytes = ReadFile(file, device::kRomBlockSize,
                                        "a ROM information block is 160 bytes, this file has more");
  if (bytes.size() != device::kRomBlockSize) {
    throw InputError(file.string() + ": a ROM information block is 160 bytes, this file has " +
                     std::to_string(bytes.size()));
  }
  device::RomBlock block;
  std::copy(bytes.begin(), bytes.end(), block.begin());
  return block;
}

std::vector<std::u16string> ProfileKeys(const std::vector<std::u16string>& profiles) {
  std::vector<std::u16string> keys;
  for (const std::u16string& profile : profiles) keys.push_back(device::ProfileKeyPath(profile));
  return keys;
}

// The file the program runs from: the image's own name, or the name of the program built for
// this machine.
std::u16string ProgramFile(const cesim::Options& options) {
  if (options.image) {
    try {
      return device::FromUtf8(options.image->filename().string());
    } catch (const std::invalid_argument&) {
      throw InputError(options.image->string() +
                       ": the device cannot spell a file name that is "
                       "not UTF-8");
    }
  }
  return options.program == cesim::Program::Survey ? u"DeviceSurvey.exe" : u"CardFolderUpdate.exe";
}

device::DeviceSettings DeviceSettingsFor(const cesim::Options& options) {
  device::DeviceSettings settings;
  if (options.romLanguage) settings.romBlock = device::MakeRomBlock(*options.romLanguage);
  if (options.romBlockFile) settings.romBlock = LoadRomBlock(*options.romBlockFile);
  settings.romSilent = options.romSilent;
  settings.reset = options.reset;
  settings.missingKeys = ProfileKeys(options.missingKeyProfiles);
  settings.failingWrites = ProfileKeys(options.failingWriteProfiles);
  settings.failingEnumerations = options.failingEnumerations;
  settings.programFile = ProgramFile(options);
  if (options.card) {
    settings.card = device::CardSettings{*options.card, options.cardProfile, options.cardFull,
                                         options.cardReadOnly};
  }
  settings.stringsMissing = options.noStrings;
  settings.commandLine = options.commandLine;
  settings.showState = options.showState;
  return settings;
}

emulator::LoadedImage LoadDeviceImage(const std::filesystem::path& file) {
  std::vector<uint8_t> bytes =
      ReadFile(file, kMaxImageSize,
               "larger than 32 MiB, the process slot a Windows CE 4.20 program runs in");
  try {
    return emulator::LoadImage(bytes, file.string());
  } catch (const emulator::ImageError& error) {
    throw InputError(error.what());
  }
}

// The registry file, locked until the run has saved it (or ended without saving), so that runs
// on one file take their turns and none loses another's changes.
std::optional<fileio::LockedFile> LockRegistryFile(const cesim::Options& options) {
  if (!options.registryFile) return std::nullopt;
  const std::filesystem::path& file = *options.registryFile;
  try {
    return std::make_optional<fileio::LockedFile>(file, device::Registry::kMaxFileSize, [&] {
      std::cerr << "cesim: waiting for another run to finish with " << file.string() << std::endl;
    });
  } catch (const fileio::FileError& error) {
    throw device::Registry::ReadError(file, error);
  }
}

device::Registry LoadRegistry(const cesim::Options& options,
                              std::optional<fileio::LockedFile>& file) {
  if (file) return device::Registry::Load(file->TakeBytes(), *options.registryFile);
  return device::Registry::Parse(kDefaultRegistry, "built-in registry");
}

// The terminal's width (any of the three standard streams may be it), else $COLUMNS, else 80.
size_t TerminalWidth() {
  for (int fd : {STDOUT_FILENO, STDERR_FILENO, STDIN_FILENO}) {
    winsize size{};
    if (isatty(fd) && ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  }
  const char* columns = std::getenv("COLUMNS");
  if (columns != nullptr) {
    char* end = nullptr;
    const unsigned long width = std::strtoul(columns, &end, 10);
    if (*columns != '\0' && *end == '\0' && width > 0 && width <= 1000) return width;
  }
  return 80;
}

// The terminal the prompts go to: standard error when it is a terminal; else, when the answers are
// typed on a terminal, the controlling terminal itself, as sudo and ssh prompt, so that a run
// with both outputs redirected (`cesim > out 2> err`) still asks on screen. Without one to open,
// such a run would wait with nothing shown: it is refused.
class PromptTerminal {
 public:
  explicit PromptTerminal(const cesim::Options& options) {
    inputIsTerminal_ = isatty(STDIN_FILENO);
    if (!inputIsTerminal_ || isatty(STDERR_FILENO) || options.answer != cesim::Answer::FromKeyboard)
      return;
    fd_ = open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) {
      throw InputError(std::string("input is a terminal but the question cannot be shown on it: ") +
                       "/dev/tty: " + std::strerror(errno) + "; give --answer");
    }
    tty_.emplace(fd_);
    stream_.rdbuf(&*tty_);
  }
  ~PromptTerminal() {
    if (tty_) tty_->Flush();
    if (fd_ >= 0) close(fd_);
  }
  PromptTerminal(const PromptTerminal&) = delete;
  PromptTerminal& operator=(const PromptTerminal&) = delete;

  cesim::Terminal Terminal() {
    const bool outputOnTerminal = tty_ ? isatty(STDOUT_FILENO) && SameFile(STDOUT_FILENO, fd_)
                                       : static_cast<bool>(isatty(STDOUT_FILENO));
    return {std::cin, tty_ ? stream_ : std::cerr, inputIsTerminal_, !outputOnTerminal};
  }

 private:
  static bool SameFile(int a, int b) {
    struct stat first {
    }, second{};
    return fstat(a, &first) == 0 && fstat(b, &second) == 0 && first.st_rdev == second.st_rdev;
  }

  bool inputIsTerminal_ = false;
  int fd_ = -1;
  std::optional<cesim::CheckedOutput> tty_;
  std::ostream stream_{nullptr};
};

// Box-drawing characters where the locale's character set is UTF-8, else ASCII: the locale is
// LC_ALL, else LC_CTYPE, else LANG, as setlocale takes it, read without changing cesim's own.
device::BoxLines BoxLinesForLocale() {
  std::string locale;
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') {
      locale = value;
      break;
    }
  }
  std::transform(locale.begin(), locale.end(), locale.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  const bool utf8 =
      locale.find("utf-8") != std::string::npos || locale.find("utf8") != std::string::npos;
  return utf8 ? device::BoxLines::kUnicode : device::BoxLines::kAscii;
}

// Saves the registry over the file it was read from, unless that file changed since.
cesim::SaveOutcome SaveRegistry(const device::Registry& registry, const std::filesystem::path& file,
                                const fileio::FileIdentity& read) {
  cesim::SaveOutcome outcome;
  try {
    // Looked at before the save: replacing the file is what splits its hard links.
    fileio::ReplaceTarget target = fileio::ResolveReplaceTarget(file);
    registry.Save(file, {.unchangedSince = &read});
    outcome.replaced = std::move(target);
  } catch (const device::RegFileError& error) {
    outcome.error = error.what();
    if (!error.fileChanged.empty()) outcome.reason = error.fileChanged;
  } catch (const fileio::FileError& error) {
    outcome.error = file.string() + ": cannot save: " + error.what();
  }
  return outcome;
}

// Notes on what the device lets an image do although it almost certainly means a broken image;
// printed on stderr when cesim ends, after the summary or the fault report.
class RunNotes {
 public:
  ~RunNotes() {
    std::cout << std::flush;
    for (const std::string& note : notes_) std::cerr << "cesim: note: " << note << '\n';
  }
  void Add(const std::vector<std::string>& notes) {
    notes_.insert(notes_.end(), notes.begin(), notes.end());
  }

 private:
  std::vector<std::string> notes_;
};

int Run(const cesim::Options& options, RunNotes& notes) {
  PromptTerminal terminal(options);
  cesim::CheckOutputsAreDistinct(options);
  std::optional<fileio::LockedFile> registryFile = LockRegistryFile(options);
  device::Registry registry = LoadRegistry(options, registryFile);
  device::DeviceSettings settings = DeviceSettingsFor(options);
  const device::DeviceSettings simulated = settings;
  std::optional<emulator::LoadedImage> image;
  if (options.image) image = LoadDeviceImage(*options.image);
  if (image) notes.Add(image->notes);
  const bool survey = !image && options.program == cesim::Program::Survey;
  // An image brings its own string table, read from its resources as the device reads it.
  auto resources = image    ? image->resources
                   : survey ? res::ReadResFile(kSurveyResources, "survey resources")
                            : res::ReadResFile(kProgramResources, "program resources");
  cesim::TraceOutput trace(options);
  cesim::Answers answers(options.answer, terminal.Terminal());
  device::Console console{std::cout, &answers, TerminalWidth(), BoxLinesForLocale()};
  if (options.trace) console.calls = trace.Sink();
  device::Device device(std::move(registry), std::move(resources), std::move(settings), console);
  std::optional<emulator::Machine> machine;
  std::optional<cesim::Inspection> inspection;
  if (image) {
    machine.emplace(*image, device,
                    emulator::MachineSettings{options.cpu, options.maxInstructions});
    inspection.emplace(options.inspection, *options.image, *image, std::cout, std::cerr);
    inspection->Attach(*machine);
  }
  device::RunResult result;
  try {
    result =
        machine
            ? device.Run([&](HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show) {
                struct MachineNotes {  // also when the run faults
                  RunNotes& notes;
                  const emulator::Machine& machine;
                  ~MachineNotes() { notes.Add(machine.notes()); }
                } machineNotes{notes, *machine};
                return machine->Start(instance, previous, commandLine, show);
              })
            : device.Run(survey ? &SurveyWinMain : &WinMain);
  } catch (const emulator::EmulationFault&) {
    if (inspection) {
      inspection->RunEnded(std::nullopt);
      try {
        inspection->WriteOutputs();  // what the run covered up to its fault
      } catch (const cesim::InspectionOutputError& error) {
        std::cerr << "cesim: " << error.what() << '\n';
      }
    }
    throw;
  }
  std::optional<std::string> outputError;  // reported after the summary, like a failed save
  bool coverageWritten = true;
  if (inspection) {
    inspection->RunEnded(result.exitStatus);
    try {
      inspection->WriteOutputs();
    } catch (const cesim::InspectionOutputError& error) {
      outputError = error.what();
      coverageWritten = false;
    }
  }
  cesim::RunFigures figures{result.platformCalls, std::nullopt};
  if (machine) figures.instructions = machine->instructionsExecuted();
  cesim::SaveOutcome save;
  if (options.registryFile && !result.changes.empty()) {
    save = SaveRegistry(device.registry(), *options.registryFile, registryFile->identity());
  }
  registryFile.reset();  // the next run waiting for the file may go on
  save.coverageWritten = coverageWritten;
  std::cout << cesim::Summary({options, simulated, result, device.registry(), save, figures},
                              console.width);
  std::cout << std::flush;
  if (save.error) std::cerr << "cesim: " << *save.error << '\n';
  if (outputError) std::cerr << "cesim: " << *outputError << '\n';
  const std::optional<std::string> traceFailure = trace.Failure();
  if (traceFailure) std::cerr << "cesim: " << *traceFailure << '\n';
  if (machine) machine->engine().LeaveOpenUntilExit();  // cesim ends after this run
  if (save.error || outputError) return kExitNotSaved;
  return traceFailure ? kExitOutputLost : result.exitStatus;
}

// cesim's version and the update's, from the version block of the program's resources.
std::string Versions() {
  std::string update = "unknown";
  for (const res::ResourceEntry& entry : res::ReadResFile(kProgramResources, "program resources")) {
    if (entry.type != res::ResourceId(res::RT_VERSION)) continue;
    const std::vector<uint8_t>& data = entry.data;
    const uint8_t signature[] = {0xBD, 0x04, 0xEF, 0xFE};  // VS_FIXEDFILEINFO, little-endian
    auto found = std::search(data.begin(), data.end(), std::begin(signature), std::end(signature));
    const size_t at = static_cast<size_t>(found - data.begin());
    if (found == data.end() || data.size() < at + 16) break;
    auto word = [&](size_t offset) { return binary::Load16(data, at + offset); };
    // dwFileVersionMS then dwFileVersionLS, each a high and a low 16-bit part.
    update = std::to_string(word(10)) + "." + std::to_string(word(8)) + "." +
             std::to_string(word(14)) + "." + std::to_string(word(12));
  }
  return "cesim " CESIM_VERSION "\ncard-folder update " + update + "\n";
}

// How cesim ends on each kind of error: what stands around the error's own line on stderr, and the
// exit status. A kind found after the run started flushes what the run wrote to stdout first, so
// that the output ends before the error is told. The first kind the error is counts.
struct ErrorKind {
  bool (*is)(const std::exception&);
  const char* before;
  const char* after;
  int status;
  bool runStarted = true;
};

template <typename Error>
bool Is(const std::exception& error) {
  return dynamic_cast<const Error*>(&error) != nullptr;
}

constexpr ErrorKind kErrorKinds[] = {
    {Is<cesim::UsageError>, "cesim: ", " (see cesim --help)", kExitUsage, false},
    {Is<InputError>, "cesim: ", "", kExitUsage, false},
    {Is<device::RegFileError>, "cesim: ", "", kExitUsage, false},
    {Is<device::CardError>, "cesim: ", "", kExitUsage, false},
    {Is<debuginfo::SymbolsError>, "cesim: ", "", kExitUsage, false},
    {Is<cesim::InspectionSetupError>, "cesim: ", "", kExitUsage, false},
    {Is<device::InputEnded>, "\ncesim: interrupted: ", "; nothing saved", kExitInterrupted},
    {Is<gdbstub::DebuggerEndedRun>, "cesim: ", "; the registry file is left as it was", kExitFault},
    {Is<gdbstub::DebuggerError>, "cesim: the debugger's connection: ",
     "; the run is ended and the registry file left as it was", kExitFault},
    {Is<emulator::EmulationFault>, "cesim: emulation fault: ", "", kExitFault},
    {Is<emulator::EngineError>, "cesim: the emulator failed: ", "", kExitFault},
};

int Main(const std::vector<std::string>& arguments) {
  if (!arguments.empty() && arguments.front() == "fleet") {
    return cesim::FleetMain(std::span(arguments).subspan(1),
                            res::ReadResFile(kProgramResources, "program resources"));
  }
  RunNotes notes;
  try {
    cesim::Options options = cesim::ParseOptions(arguments);
    if (options.help) {
      std::cout << cesim::Usage();
      return 0;
    }
    if (options.version) {
      std::cout << Versions();
      return 0;
    }
    return Run(options, notes);
  } catch (const std::exception& error) {
    const auto kind =
        std::ranges::find_if(kErrorKinds, [&](const ErrorKind& k) { return k.is(error); });
    if (kind == std::end(kErrorKinds)) throw;
    if (kind->runStarted) std::cout << std::flush;
    std::cerr << kind->before << error.what() << kind->after << '\n';
    return kind->status;
  }
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that goes away (| head) must not end the run before the registry is saved: writes
  // to it fail instead, and that is reported at the end.
  std::signal(SIGPIPE, SIG_IGN);
  cesim::CheckedOutput output(STDOUT_FILENO);
  std::streambuf* const original = std::cout.rdbuf(&output);
  const int status = Main(std::vector<std::string>(argv + 1, argv + argc));
  output.Flush();
  std::cout.rdbuf(original);
  if (output.error()) {
    std::cerr << "cesim: the output could not be written: " << output.error().message() << '\n';
    return status == 0 ? kExitOutputLost : status;
  }
  return status;
}
