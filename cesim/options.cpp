#include "options.h"

#include <algorithm>
#include <functional>
#include <map>

#include "registry.h"
#include "rom.h"
#include "storage_manager.h"

namespace cesim {

const char* const kUsage = R"(usage: cesim [options]

Runs the card-folder update once on a simulated German handheld and reports what it did: the
update built for this machine, or with --image the device's own ARM executable on an emulated CPU.

  --registry FILE        device registry (.reg); read before the run, written back after it
                         when a value changed (default: the built-in factory registry, not saved)
  --rom-language NAME    ROM language name, up to 16 characters (default: DEUTSCH)
  --rom-block FILE       the whole 160-byte ROM information block, from a file
  --rom-silent           the ROM information query fails and writes nothing
  --answer yes|no|fail   answer to the Yes/No question; fail: the box cannot be shown
                         (default: asked on the keyboard; without a terminal the box fails)
  --reset now|returns    a soft-reset request resets at once (default) or returns FALSE
  --missing-key PROFILE  the profile's registry key does not open (MMC, PCMCIA, SDMemory;
                         may be repeated)
  --fail-write PROFILE   the registry refuses writes to the profile's key (may be repeated)
  --no-strings           the program's string table cannot be loaded
  --command-line TEXT    the command line the program is started with
  --show-state N         the show state the program is started with (default: 5, SW_SHOW)
  --image FILE           run this Windows CE ARM executable on an emulated CPU
  --cpu pxa270|ti925t    with --image: the XScale PXA270 (default) or a strict ARMv4T core
  --max-instructions N   with --image: stop the run as a fault after N instructions
                         (default: 1000000)
  --symbols ELF          with --image: the ELF file the image was written from (default: the
                         image's name with .elf in place of .exe, when that file exists); it
                         must hold the image's code, byte for byte
  --gdb PORT             with --image: wait for GDB on 127.0.0.1:PORT (0: any free port) before
                         the first instruction, and serve it the run
  --coverage FILE        with --image: write an lcov tracefile of the instructions and branches
                         executed, by source line (needs the symbols)
  --trace-instructions   with --image: print every instruction executed in the image
  --stats                also report the platform calls made and, with --image, the instructions
                         executed inside the image
  --trace                print every platform call with its arguments and result
  --help                 show this help

Exit status: the program's own (0); 1 when the registry or coverage file could not be saved; 2
for a usage error, an unreadable input file, an image the loader refuses or symbols that do not
match it; 3 when the emulated program faults, in which case the registry file is left as it was.
)";

namespace {

std::u16string Utf16Argument(const std::string& option, const std::string& value) {
  try {
    return device::FromUtf8(value);
  } catch (const std::invalid_argument&) {
    throw UsageError(option + ": not valid UTF-8");
  }
}

std::u16string Profile(const std::string& option, const std::string& value) {
  const std::u16string name = Utf16Argument(option, value);
  for (std::u16string_view profile : device::kCardProfiles) {
    if (name == profile) return name;
  }
  throw UsageError(option + ": unknown profile '" + value + "' (MMC, PCMCIA or SDMemory)");
}

uint64_t Count(const std::string& option, const std::string& value, uint64_t low, uint64_t high) {
  uint64_t count = 0;
  for (char digit : value) {
    if (digit < '0' || digit > '9' || count > high) {
      count = high + 1;
      break;
    }
    count = count * 10 + static_cast<uint64_t>(digit - '0');
  }
  if (value.empty() || count < low || count > high) {
    throw UsageError(option + ": expected a whole number from " + std::to_string(low) + " to " +
                     std::to_string(high) + ", not '" + value + "'");
  }
  return count;
}

template <typename T>
T Choice(const std::string& option, const std::string& value,
         const std::map<std::string, T>& choices, const std::string& expected) {
  auto found = choices.find(value);
  if (found == choices.end())
    throw UsageError(option + ": expected " + expected + ", not '" + value + "'");
  return found->second;
}

}  // namespace

Options ParseOptions(std::span<const std::string> arguments) {
  Options options;
  using Handler = std::function<void(const std::string& option, const std::string& value)>;
  const std::map<std::string, Handler> withValue = {
      {"--registry", [&](auto&, auto& value) { options.registryFile = value; }},
      {"--rom-language",
       [&](auto& option, auto& value) {
         std::u16string name = Utf16Argument(option, value);
         if (name.size() > device::kRomLanguageUnits) {
           throw UsageError(option + ": '" + value + "' is longer than 16 UTF-16 units");
         }
         options.romLanguage = name;
       }},
      {"--rom-block", [&](auto&, auto& value) { options.romBlockFile = value; }},
      {"--answer",
       [&](auto& option, auto& value) {
         options.answer = Choice<device::Answer>(option, value,
                                                 {{"yes", device::Answer::Yes},
                                                  {"no", device::Answer::No},
                                                  {"fail", device::Answer::FailToShow}},
                                                 "yes, no or fail");
       }},
      {"--reset",
       [&](auto& option, auto& value) {
         options.reset =
             Choice<device::ResetBehaviour>(option, value,
                                            {{"now", device::ResetBehaviour::TakesEffect},
                                             {"returns", device::ResetBehaviour::Returns}},
                                            "now or returns");
       }},
      {"--missing-key",
       [&](auto& option, auto& value) {
         options.missingKeyProfiles.push_back(Profile(option, value));
       }},
      {"--fail-write",
       [&](auto& option, auto& value) {
         options.failingWriteProfiles.push_back(Profile(option, value));
       }},
      {"--command-line",
       [&](auto& option, auto& value) { options.commandLine = Utf16Argument(option, value); }},
      {"--show-state",
       [&](auto& option, auto& value) {
         options.showState = static_cast<int>(Count(option, value, 0, INT32_MAX));
       }},
      {"--image", [&](auto&, auto& value) { options.image = value; }},
      {"--cpu",
       [&](auto& option, auto& value) {
         options.cpu = Choice<emulator::CpuModel>(
             option, value,
             {{"pxa270", emulator::CpuModel::Pxa270}, {"ti925t", emulator::CpuModel::Ti925t}},
             "pxa270 or ti925t");
       }},
      {"--max-instructions",
       [&](auto& option, auto& value) {
         options.maxInstructions = Count(option, value, 1, 1'000'000'000'000);
       }},
      // Looking inside an emulated run (inspection.h).
      {"--symbols", [&](auto&, auto& value) { options.inspection.symbols = value; }},
      {"--gdb",
       [&](auto& option, auto& value) {
         options.inspection.gdbPort = static_cast<uint16_t>(Count(option, value, 0, 65535));
       }},
      {"--coverage", [&](auto&, auto& value) { options.inspection.coverage = value; }},
  };
  const std::map<std::string, std::function<void()>> flags = {
      {"--rom-silent", [&] { options.romSilent = true; }},
      {"--no-strings", [&] { options.noStrings = true; }},
      {"--stats", [&] { options.stats = true; }},
      {"--trace", [&] { options.trace = true; }},
      {"--trace-instructions", [&] { options.inspection.traceInstructions = true; }},
      {"--help", [&] { options.help = true; }},
  };
  std::map<std::string, int> seen;
  for (size_t i = 0; i < arguments.size(); ++i) {
    std::string option = arguments[i];
    std::optional<std::string> value;
    if (size_t equals = option.find('='); option.starts_with("--") && equals != std::string::npos) {
      value = option.substr(equals + 1);
      option.resize(equals);
    }
    if (auto flag = flags.find(option); flag != flags.end()) {
      if (value) throw UsageError(option + " takes no value");
      flag->second();
    } else if (auto handler = withValue.find(option); handler != withValue.end()) {
      if (!value) {
        if (i + 1 == arguments.size()) throw UsageError(option + " needs a value");
        value = arguments[++i];
      }
      handler->second(option, *value);
    } else {
      throw UsageError("unknown option '" + option + "'");
    }
    bool repeatable = option == "--missing-key" || option == "--fail-write";
    if (++seen[option] > 1 && !repeatable) throw UsageError(option + " given more than once");
  }
  int romSources =
      seen.count("--rom-language") + seen.count("--rom-block") + seen.count("--rom-silent");
  if (romSources > 1) {
    throw UsageError("--rom-language, --rom-block and --rom-silent exclude each other");
  }
  for (const char* emulatorOnly : {"--cpu", "--max-instructions"}) {
    if (seen.count(emulatorOnly) && !options.image) {
      throw UsageError(std::string(emulatorOnly) + " needs --image");
    }
  }
  for (const char* emulatorOnly : kInspectionOptions) {
    if (seen.count(emulatorOnly) && !options.image) {
      throw UsageError(std::string(emulatorOnly) + " needs --image");
    }
  }
  return options;
}

}  // namespace cesim
