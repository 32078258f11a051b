// cesim: runs the card-folder update once on a simulated handheld and reports what it did.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <sstream>

#include "checked_output.h"
#include "device.h"
#include "file_io.h"
#include "image_loader.h"
#include "machine.h"
#include "options.h"
#include "storage_manager.h"
#include "trace_json.h"
#include "update.h"

extern const std::span<const unsigned char> kDefaultRegistry;   // device/default.reg
extern const std::span<const unsigned char> kProgramResources;  // the program's compiled .res

namespace {

constexpr int kExitNotSaved = 1;
constexpr int kExitUsage = 2;
constexpr int kExitFault = 3;
constexpr int kExitOutputLost = 4;
constexpr int kExitInterrupted = 130;  // as a shell reports a run ended by Ctrl-C

// The largest image the device can run: a Windows CE 4.20 process lives in a 32 MB slot.
constexpr size_t kMaxImageSize = 32 * 1024 * 1024;

// A file that cannot be used; what() is the one-line reason, naming the file.
struct InputError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

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

device::DeviceSettings DeviceSettingsFor(const cesim::Options& options) {
  device::DeviceSettings settings;
  if (options.romLanguage) settings.romBlock = device::MakeRomBlock(*options.romLanguage);
  if (options.romBlockFile) settings.romBlock = LoadRomBlock(*options.romBlockFile);
  settings.romSilent = options.romSilent;
  settings.answer = options.answer;
  settings.reset = options.reset;
  settings.missingKeys = ProfileKeys(options.missingKeyProfiles);
  settings.failingWrites = ProfileKeys(options.failingWriteProfiles);
  settings.stringsMissing = options.noStrings;
  settings.commandLine = options.commandLine;
  settings.showState = options.showState;
  settings.trace = options.trace;
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

device::Registry LoadRegistry(const cesim::Options& options) {
  if (options.registryFile) return device::Registry::Load(*options.registryFile);
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

std::string ResetLine(const device::RunResult& result) {
  if (!result.resetRequested) return "not requested";
  if (!result.resetTookEffect) return "requested; the request returned and the device kept running";
  return "requested and taken: the run ended there with " + std::to_string(result.keysLeftOpen) +
         " registry key(s) still open";
}

// What was run, and how much of it.
struct RunFigures {
  size_t platformCalls = 0;
  std::optional<uint64_t> instructions;  // inside the image, when an image was run
};

// What became of the registry file.
struct SaveOutcome {
  std::optional<std::string> error;               // set: not saved
  std::optional<fileio::ReplaceTarget> replaced;  // the file written, as it was before the save
};

std::string RegistryFileLine(const cesim::Options& options, const device::RunResult& result,
                             const SaveOutcome& save) {
  if (!options.registryFile) return "none (the built-in registry is not saved)";
  const std::string given = options.registryFile->string();
  if (result.changes.empty()) return given + " left as it was";
  if (save.error) return given + " NOT saved: the changes above are lost";
  std::string line = given + " saved";
  if (save.replaced && save.replaced->file != *options.registryFile) {
    // Named without the links and "..": the file as the folders really lead to it.
    std::error_code error;
    std::filesystem::path written = std::filesystem::weakly_canonical(save.replaced->file, error);
    line += " to " + (error ? save.replaced->file : written).string() + ", the file the link names";
  }
  if (save.replaced && save.replaced->hardLinks > 1) {
    const uintmax_t others = save.replaced->hardLinks - 1;
    line += "; its " + std::to_string(others) + " other hard link" + (others > 1 ? "s" : "") +
            " keep" + (others > 1 ? "" : "s") + " the old contents";
  }
  return line;
}

std::string ProgramLine(const cesim::Options& options) {
  return options.image ? options.image->string() : "the update built for this machine";
}

// The language name as the summary shows it: quoted, control characters as \xNN.
std::string ShownLanguage(const device::RomBlock& block) {
  std::string shown = "\"";
  for (char c : device::ToUtf8(device::RomLanguage(block))) {
    if (static_cast<unsigned char>(c) >= 0x20) {
      shown += c;
      continue;
    }
    char escape[5];
    std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(c));
    shown += escape;
  }
  return shown + "\"";
}

std::string RomLine(const cesim::Options& options, const device::DeviceSettings& settings) {
  if (options.romSilent) return "silent: the information query fails and writes nothing";
  const std::string language = "language " + ShownLanguage(settings.romBlock);
  if (options.romBlockFile) return "block from " + options.romBlockFile->string() + ", " + language;
  return language;
}

std::string FaultsLine(const cesim::Options& options) {
  std::vector<std::string> faults;
  for (const std::u16string& profile : options.missingKeyProfiles) {
    faults.push_back(device::ToUtf8(profile) + " key missing");
  }
  for (const std::u16string& profile : options.failingWriteProfiles) {
    faults.push_back("writes to " + device::ToUtf8(profile) + " refused");
  }
  if (options.noStrings) faults.emplace_back("string table missing");
  if (options.answer == device::Answer::FailToShow) faults.emplace_back("question box fails");
  if (options.reset == device::ResetBehaviour::Returns)
    faults.emplace_back("reset request returns");
  std::string line;
  for (const std::string& fault : faults) line += (line.empty() ? "" : ", ") + fault;
  return line.empty() ? "none" : line;
}

// Said plainly when the update set some profiles but not all: how far it got and where it stopped.
std::optional<std::string> PartialLine(const device::Registry& registry,
                                       const device::RunResult& result) {
  constexpr std::u16string_view kCardFolder = u"Speicherkarte";
  size_t changed = 0;
  for (const device::ValueChange& change : result.changes) {
    for (std::u16string_view profile : device::kCardProfiles) {
      if (device::EqualsIgnoringCase(change.keyPath, device::ProfileKeyPath(profile))) ++changed;
    }
  }
  std::optional<std::u16string_view> stoppedAt;
  size_t set = 0;
  for (std::u16string_view profile : device::kCardProfiles) {
    if (device::MountFolder(registry, profile) == kCardFolder) {
      ++set;
    } else if (!stoppedAt) {
      stoppedAt = profile;
    }
  }
  if (set == 0 || !stoppedAt) return std::nullopt;
  return std::to_string(changed) + " of " + std::to_string(device::kCardProfiles.size()) +
         " profiles changed; the update stopped at " + device::ToUtf8(*stoppedAt);
}

void PrintSummary(std::ostream& out, const cesim::Options& options,
                  const device::DeviceSettings& settings, const device::RunResult& result,
                  const device::Registry& registry, const SaveOutcome& save,
                  const RunFigures& figures) {
  out << "\nsummary\n";
  out << "  program: " << ProgramLine(options) << '\n';
  if (options.image) {
    out << "  CPU: emulated "
        << (options.cpu == emulator::CpuModel::Pxa270 ? "XScale PXA270" : "TI925T (ARMv4T)")
        << '\n';
  }
  out << "  ROM: " << RomLine(options, settings) << '\n';
  out << "  injected faults: " << FaultsLine(options) << '\n';
  out << "  exit status: " << result.exitStatus;
  if (save.error) out << " (the program's); cesim exits " << kExitNotSaved << ": nothing saved";
  out << '\n';
  out << "  soft reset: " << ResetLine(result) << '\n';
  if (const std::optional<std::string> partial = PartialLine(registry, result)) {
    out << "  PARTIAL UPDATE: " << *partial << '\n';
  }
  if (result.changes.empty()) out << "  registry: no value changed\n";
  for (const device::ValueChange& change : result.changes) {
    auto shown = [](const std::optional<device::RegValue>& value) {
      return value ? device::FormatValueData(*value) : std::string("(none)");
    };
    out << "  changed: [" << device::ToUtf8(change.keyPath) << "] \"" << device::ToUtf8(change.name)
        << "\": " << shown(change.before) << " -> " << shown(change.after) << '\n';
  }
  if (result.resetTookEffect) {
    out << "  after the reset the storage manager mounts:\n";
    for (std::u16string_view profile : device::kCardProfiles) {
      out << "    " << device::ToUtf8(profile) << " card as \\"
          << device::ToUtf8(device::MountFolder(registry, profile)) << '\n';
    }
  }
  out << "  registry file: " << RegistryFileLine(options, result, save) << '\n';
  if (options.stats) {
    out << "  platform calls: " << figures.platformCalls << '\n';
    if (figures.instructions) {
      out << "  instructions executed in the image: " << *figures.instructions << '\n';
    }
  }
}

// The summary with each line longer than `width` columns wrapped as box text is, its
// continuation lines indented four more columns.
std::string Wrapped(const std::string& summary, size_t width) {
  constexpr size_t kContinuation = 4;
  std::string wrapped;
  std::istringstream lines(summary);
  for (std::string line; std::getline(lines, line);) {
    const size_t indent = std::min(line.find_first_not_of(' '), line.size());
    const std::string_view text = std::string_view(line).substr(indent);
    const size_t room = std::max<size_t>(width, indent + kContinuation + 20) - indent;
    if (device::WrapText(text, room).size() <= 1) {
      wrapped += line + '\n';
      continue;
    }
    const std::vector<std::string> pieces = device::WrapText(text, room - kContinuation);
    for (size_t i = 0; i < pieces.size(); ++i) {
      wrapped += std::string(indent + (i ? kContinuation : 0), ' ') + pieces[i] + '\n';
    }
  }
  return wrapped;
}

SaveOutcome SaveRegistry(const device::Registry& registry, const std::filesystem::path& file) {
  SaveOutcome outcome;
  try {
    // Looked at before the save: replacing the file is what splits its hard links.
    fileio::ReplaceTarget target = fileio::ResolveReplaceTarget(file);
    registry.Save(file);
    outcome.replaced = std::move(target);
  } catch (const device::RegFileError& error) {
    outcome.error = error.what();
  } catch (const fileio::FileError& error) {
    outcome.error = file.string() + ": cannot save: " + error.what();
  }
  return outcome;
}

// Where the trace goes: with the output, or to its own file; as text or as JSON.
class TraceOutput {
 public:
  explicit TraceOutput(const cesim::Options& options)
      : json_(options.traceFormat == cesim::TraceFormat::Json) {
    if (!options.traceFile) return;
    file_ = *options.traceFile;
    fd_ = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd_ < 0) {
      throw InputError(file_.string() + ": cannot write the trace: " +
                       std::error_code(errno, std::system_category()).message());
    }
    buffer_.emplace(fd_);
    stream_.emplace(&*buffer_);
  }
  ~TraceOutput() {
    if (fd_ >= 0) ::close(fd_);
  }
  TraceOutput(const TraceOutput&) = delete;
  TraceOutput& operator=(const TraceOutput&) = delete;

  std::function<void(const std::string&)> Sink() {
    return [this](const std::string& call) {
      std::ostream& out = stream_ ? *stream_ : std::cout;
      if (json_) {
        out << cesim::TraceCallAsJson(call) << '\n';
      } else {
        out << "trace: " << call << '\n';
      }
      out.flush();
    };
  }

  // One line naming the trace file and the error, when writing it failed.
  std::optional<std::string> Failure() {
    if (!buffer_ || buffer_->Flush()) return std::nullopt;
    return file_.string() + ": the trace could not be written: " + buffer_->error().message();
  }

 private:
  bool json_;
  std::filesystem::path file_;
  int fd_ = -1;
  std::optional<cesim::CheckedOutput> buffer_;
  std::optional<std::ostream> stream_;
};

int Run(const cesim::Options& options) {
  device::Registry registry = LoadRegistry(options);
  device::DeviceSettings settings = DeviceSettingsFor(options);
  const device::DeviceSettings simulated = settings;
  std::optional<emulator::LoadedImage> image;
  if (options.image) image = LoadDeviceImage(*options.image);
  // An image brings its own string table, read from its resources as the device reads it.
  auto resources =
      image ? image->resources : res::ReadResFile(kProgramResources, "program resources");
  TraceOutput trace(options);
  device::Console console{std::cout, std::cin, static_cast<bool>(isatty(STDIN_FILENO)),
                          TerminalWidth()};
  console.prompts = &std::cerr;
  console.boxesOnPrompts = !isatty(STDOUT_FILENO);
  console.trace = trace.Sink();
  device::Device device(std::move(registry), std::move(resources), std::move(settings), console);
  std::optional<emulator::Machine> machine;
  if (image)
    machine.emplace(*image, device,
                    emulator::MachineSettings{options.cpu, options.maxInstructions});
  device::RunResult result =
      machine
          ? device.Run([&](HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show) {
              return machine->Start(instance, previous, commandLine, show);
            })
          : device.Run(&WinMain);
  RunFigures figures{result.platformCalls, std::nullopt};
  if (machine) figures.instructions = machine->instructionsExecuted();
  SaveOutcome save;
  if (options.registryFile && !result.changes.empty()) {
    save = SaveRegistry(device.registry(), *options.registryFile);
  }
  std::ostringstream summary;
  PrintSummary(summary, options, simulated, result, device.registry(), save, figures);
  std::cout << Wrapped(summary.str(), console.width);
  std::cout << std::flush;
  if (save.error) std::cerr << "cesim: " << *save.error << '\n';
  const std::optional<std::string> traceFailure = trace.Failure();
  if (traceFailure) std::cerr << "cesim: " << *traceFailure << '\n';
  if (save.error) return kExitNotSaved;
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
    auto word = [&](size_t offset) { return data[at + offset] | data[at + offset + 1] << 8; };
    // dwFileVersionMS then dwFileVersionLS, each a high and a low 16-bit part.
    update = std::to_string(word(10)) + "." + std::to_string(word(8)) + "." +
             std::to_string(word(14)) + "." + std::to_string(word(12));
  }
  return "cesim " CESIM_VERSION "\ncard-folder update " + update + "\n";
}

int Main(const std::vector<std::string>& arguments) {
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
    return Run(options);
  } catch (const cesim::UsageError& error) {
    std::cerr << "cesim: " << error.what() << " (see cesim --help)\n";
  } catch (const InputError& error) {
    std::cerr << "cesim: " << error.what() << '\n';
  } catch (const device::RegFileError& error) {
    std::cerr << "cesim: " << error.what() << '\n';
  } catch (const device::InputEnded& error) {
    std::cout << std::flush;
    std::cerr << "\ncesim: interrupted: " << error.what() << "; nothing saved\n";
    return kExitInterrupted;
  } catch (const emulator::EmulationFault& error) {
    std::cout << std::flush;
    std::cerr << "cesim: emulation fault: " << error.what() << '\n';
    return kExitFault;
  } catch (const emulator::EngineError& error) {
    std::cout << std::flush;
    std::cerr << "cesim: the emulator failed: " << error.what() << '\n';
    return kExitFault;
  }
  return kExitUsage;
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
