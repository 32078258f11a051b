// cesim: runs the card-folder update once on a simulated handheld and reports what it did.
#include <sys/ioctl.h>
#include <unistd.h>

#include <iostream>

#include "device.h"
#include "file_io.h"
#include "image_loader.h"
#include "machine.h"
#include "options.h"
#include "storage_manager.h"
#include "update.h"

extern const std::span<const unsigned char> kDefaultRegistry;   // device/default.reg
extern const std::span<const unsigned char> kProgramResources;  // the program's compiled .res

namespace {

constexpr int kExitNotSaved = 1;
constexpr int kExitUsage = 2;
constexpr int kExitFault = 3;

// A file that cannot be used; what() is the one-line reason, naming the file.
struct InputError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::vector<uint8_t> ReadFile(const std::filesystem::path& file) {
  try {
    return fileio::ReadWholeFile(file);
  } catch (const fileio::FileError& error) {
    throw InputError(file.string() + ": cannot read: " + error.code.message());
  }
}

device::RomBlock LoadRomBlock(const std::filesystem::path& file) {
  std::vector<uint8_t> bytes = ReadFile(file);
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
  std::vector<uint8_t> bytes = ReadFile(file);
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

size_t TerminalWidth() {
  winsize size{};
  if (isatty(STDOUT_FILENO) && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
    return size.ws_col;
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

void PrintSummary(std::ostream& out, const cesim::Options& options, const device::RunResult& result,
                  const device::Registry& registry, const std::optional<std::string>& saveError,
                  const RunFigures& figures) {
  out << "\nsummary\n";
  out << "  exit status: " << result.exitStatus << '\n';
  out << "  soft reset: " << ResetLine(result) << '\n';
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
  if (!options.registryFile) {
    out << "  registry file: none (the built-in registry is not saved)\n";
  } else if (result.changes.empty()) {
    out << "  registry file: " << options.registryFile->string() << " left as it was\n";
  } else {
    out << "  registry file: " << options.registryFile->string()
        << (saveError ? " NOT saved: the changes above are lost\n" : " saved\n");
  }
  if (options.stats) {
    out << "  platform calls: " << figures.platformCalls << '\n';
    if (figures.instructions) {
      out << "  instructions executed in the image: " << *figures.instructions << '\n';
    }
  }
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
  device::Registry registry = LoadRegistry(options);
  device::DeviceSettings settings = DeviceSettingsFor(options);
  std::optional<emulator::LoadedImage> image;
  if (options.image) image = LoadDeviceImage(*options.image);
  if (image) settings.imageBase = image->base;
  if (image) notes.Add(image->notes);
  // An image brings its own string table, read from its resources as the device reads it.
  auto resources =
      image ? image->resources : res::ReadResFile(kProgramResources, "program resources");
  device::Console console{std::cout, std::cin, static_cast<bool>(isatty(STDIN_FILENO)),
                          TerminalWidth()};
  device::Device device(std::move(registry), std::move(resources), std::move(settings), console);
  std::optional<emulator::Machine> machine;
  if (image)
    machine.emplace(*image, device,
                    emulator::MachineSettings{options.cpu, options.maxInstructions});
  device::RunResult result =
      machine
          ? device.Run([&](HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show) {
              struct MachineNotes {  // also when the run faults
                RunNotes& notes;
                const emulator::Machine& machine;
                ~MachineNotes() { notes.Add(machine.notes()); }
              } machineNotes{notes, *machine};
              return machine->Start(instance, previous, commandLine, show);
            })
          : device.Run(&WinMain);
  RunFigures figures{result.platformCalls, std::nullopt};
  if (machine) figures.instructions = machine->instructionsExecuted();
  std::optional<std::string> saveError;
  if (options.registryFile && !result.changes.empty()) {
    try {
      device.registry().Save(*options.registryFile);
    } catch (const device::RegFileError& error) {
      saveError = error.what();
    }
  }
  PrintSummary(std::cout, options, result, device.registry(), saveError, figures);
  if (saveError) {
    std::cout << std::flush;
    std::cerr << "cesim: " << *saveError << '\n';
    return kExitNotSaved;
  }
  return result.exitStatus;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  RunNotes notes;
  try {
    cesim::Options options = cesim::ParseOptions(arguments);
    if (options.help) {
      std::cout << cesim::kUsage;
      return 0;
    }
    return Run(options, notes);
  } catch (const cesim::UsageError& error) {
    std::cerr << "cesim: " << error.what() << " (see cesim --help)\n";
  } catch (const InputError& error) {
    std::cerr << "cesim: " << error.what() << '\n';
  } catch (const device::RegFileError& error) {
    std::cerr << "cesim: " << error.what() << '\n';
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
