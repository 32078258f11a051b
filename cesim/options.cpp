#include "options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <functional>
#include <map>

#include "rom.h"
#include "storage_manager.h"
#include "utf_text.h"

namespace cesim {
namespace {

// One row per option: every option is declared here and nowhere else; the parser and --help are
// made from this table.
struct OptionRow {
  const char* names;  // "--answer", or "-h,--help"; the last name is the one messages use
  const char* value;  // the value's name in --help ("yes|no|fail"); nullptr for a flag
  const char* help;   // '\n' continues on the next line of --help
  std::function<void(Options&, const std::string& option, const std::string& value)> apply;
  bool repeatable = false;
  std::optional<CLI::Validator> check =
      std::nullopt;  // a check CLI11 makes of each value as it parses
};

// What CLI11 records for a valued option given no value ("--reset" last, or "--reset="): no text
// an argument can hold, so that an empty value ("--rom-language ''") stays one.
const std::string kNoValue = std::string(1, '\0');

std::u16string Utf16Argument(const std::string& option, const std::string& value) {
  try {
    return device::FromUtf8(value);
  } catch (const std::invalid_argument&) {
    throw UsageError(option + ": not valid UTF-8");
  }
}

std::filesystem::path FileArgument(const std::string& option, const std::string& value) {
  if (value.empty()) throw UsageError(option + " needs a file name, not an empty value");
  return value;
}

std::u16string Profile(const std::string& option, const std::string& value) {
  const std::u16string name = Utf16Argument(option, value);
  for (std::u16string_view profile : device::kCardProfiles) {
    if (name == profile) return name;
  }
  throw UsageError(option + ": unknown profile '" + value + "' (MMC, PCMCIA or SDMemory)");
}

// A whole number from `low` to `high`, written in decimal digits; CLI11's range check holds it to
// its bounds. Leading zeros go before the check, which would read them as an octal number.
CLI::Validator WholeNumber(uint64_t low, uint64_t high) {
  const CLI::Range range(low, high);
  return CLI::Validator(
      [range, low, high](std::string& value) -> std::string {
        if (value == kNoValue) return {};  // refused once parsed: the option needs a value
        const bool decimal = !value.empty() && std::ranges::all_of(value, [](char c) {
          return c >= '0' && c <= '9';
        });
        std::string digits = value.substr(std::min(value.find_first_not_of('0'), value.size() - 1));
        if (decimal && range(digits).empty()) {
          value = digits;
          return {};
        }
        return "expected a whole number from " + std::to_string(low) + " to " +
               std::to_string(high) + ", not '" + value + "'";
      },
      "N");
}

// A value WholeNumber has let through.
uint64_t Count(const std::string& value) {
  return std::stoull(value);
}

// The profiles a repeatable option names, each once.
void AddProfile(std::vector<std::u16string>& profiles, const std::string& option,
                const std::string& value) {
  std::u16string profile = Profile(option, value);
  if (std::ranges::find(profiles, profile) != profiles.end()) {
    throw UsageError(option + ": " + value + " given more than once");
  }
  profiles.push_back(std::move(profile));
}

template <typename T>
T Choice(const std::string& option, const std::string& value,
         const std::map<std::string, T>& choices, const std::string& expected) {
  auto found = choices.find(value);
  if (found == choices.end())
    throw UsageError(option + ": expected " + expected + ", not '" + value + "'");
  return found->second;
}

const std::vector<OptionRow>& OptionTable() {
  static const std::vector<OptionRow> table = {
      {"--registry", "FILE",
       "device registry (.reg); read before the run, written back after it\n"
       "when a value changed (default: the built-in factory registry, not saved)",
       [](Options& o, auto& option, auto& value) { o.registryFile = FileArgument(option, value); }},
      {"--rom-language", "NAME", "ROM language name, up to 16 UTF-16 units (default: DEUTSCH)",
       [](Options& o, auto& option, auto& value) {
         std::u16string name = Utf16Argument(option, value);
         if (name.size() > device::kRomLanguageUnits) {
           throw UsageError(option + ": '" + value + "' is longer than 16 UTF-16 units");
         }
         o.romLanguage = name;
       }},
      {"--rom-block", "FILE", "the whole 160-byte ROM information block, from a file (see below)",
       [](Options& o, auto& option, auto& value) { o.romBlockFile = FileArgument(option, value); }},
      {"--rom-silent", nullptr, "the ROM information query fails and writes nothing",
       [](Options& o, auto&, auto&) { o.romSilent = true; }},
      {"--answer", "yes|no|fail",
       "answer to the Yes/No question; fail: the box cannot be shown\n"
       "(default: asked on the keyboard; without a terminal the box fails);\n"
       "with an answer given, OK boxes do not wait for Enter either",
       [](Options& o, auto& option, auto& value) {
         o.answer = Choice<Answer>(
             option, value,
             {{"yes", Answer::Yes}, {"no", Answer::No}, {"fail", Answer::FailToShow}},
             "yes, no or fail");
       }},
      {"--reset", "now|returns", "a soft-reset request resets at once (default) or returns FALSE",
       [](Options& o, auto& option, auto& value) {
         o.reset = Choice<device::ResetBehaviour>(option, value,
                                                  {{"now", device::ResetBehaviour::TakesEffect},
                                                   {"returns", device::ResetBehaviour::Returns}},
                                                  "now or returns");
       }},
      {"--missing-key", "PROFILE",
       "the profile's registry key does not open (MMC, PCMCIA, SDMemory;\nmay be repeated)",
       [](Options& o, auto& option, auto& value) {
         AddProfile(o.missingKeyProfiles, option, value);
       },
       true},
      {"--fail-write", "PROFILE",
       "the registry refuses writes to the profile's key (may be repeated)",
       [](Options& o, auto& option, auto& value) {
         AddProfile(o.failingWriteProfiles, option, value);
       },
       true},
      {"--no-strings", nullptr, "the program's string table cannot be loaded",
       [](Options& o, auto&, auto&) { o.noStrings = true; }},
      {"--card", "DIR",
       "the folder DIR is the storage card's contents: the program runs from\n"
       "the card and what it writes there lands in DIR (default: no card; the\n"
       "program runs from \\Windows and what it writes stays in memory)",
       [](Options& o, auto& option, auto& value) { o.card = FileArgument(option, value); }},
      {"--card-profile", "PROFILE",
       "with --card: the storage manager profile the card mounts with, which\n"
       "names its folder (MMC, PCMCIA, SDMemory; default: SDMemory)",
       [](Options& o, auto& option, auto& value) { o.cardProfile = Profile(option, value); }},
      {"--card-full", nullptr,
       "with --card: the card has room for 4096 more bytes; past them WriteFile\n"
       "fails with ERROR_DISK_FULL",
       [](Options& o, auto&, auto&) { o.cardFull = true; }},
      {"--card-read-only", nullptr, "with --card: the card takes no change (ERROR_ACCESS_DENIED)",
       [](Options& o, auto&, auto&) { o.cardReadOnly = true; }},
      {"--fail-enumeration", "KEY",
       "enumerating the key's subkeys and values fails (ERROR_REGISTRY_IO_FAILED);\n"
       "KEY is a full path such as HKEY_LOCAL_MACHINE\\Ident (may be repeated)",
       [](Options& o, auto& option, auto& value) {
         std::u16string key = Utf16Argument(option, value);
         if (key.empty()) throw UsageError(option + " needs a key path, not an empty value");
         o.failingEnumerations.push_back(std::move(key));
       },
       true},
      {"--program", "update|survey",
       "the program built for this machine to run (default: update); with\n"
       "--image the image decides",
       [](Options& o, auto& option, auto& value) {
         o.program = Choice<Program>(option, value,
                                     {{"update", Program::Update}, {"survey", Program::Survey}},
                                     "update or survey");
       }},
      {"--command-line", "TEXT",
       "the command line the program is started with (up to 4095 UTF-16 units)",
       [](Options& o, auto& option, auto& value) {
         std::u16string text = Utf16Argument(option, value);
         if (text.size() > kMaxCommandLineUnits) {
           throw UsageError(option + ": " + std::to_string(text.size()) +
                            " UTF-16 units, more than the " + std::to_string(kMaxCommandLineUnits) +
                            " the device passes to a program");
         }
         o.commandLine = std::move(text);
       }},
      {"--show-state", "N", "the show state the program is started with (default: 5, SW_SHOW)",
       [](Options& o, auto&, auto& value) { o.showState = static_cast<int>(Count(value)); }, false,
       WholeNumber(0, INT32_MAX)},
      {"--image", "FILE", "run this Windows CE ARM executable on an emulated CPU",
       [](Options& o, auto& option, auto& value) { o.image = FileArgument(option, value); }},
      {"--cpu", "pxa270|ti925t",
       "with --image: the XScale PXA270 (default) or a strict ARMv4T core",
       [](Options& o, auto& option, auto& value) {
         o.cpu = Choice<emulator::CpuModel>(
             option, value,
             {{"pxa270", emulator::CpuModel::Pxa270}, {"ti925t", emulator::CpuModel::Ti925t}},
             "pxa270 or ti925t");
       }},
      {"--max-instructions", "N",
       "with --image: stop the run as a fault after N instructions\nof the program, or N platform "
       "calls (default: 1000000)",
       [](Options& o, auto&, auto& value) { o.maxInstructions = Count(value); }, false,
       WholeNumber(1, 1'000'000'000'000)},
      // Looking inside an emulated run (inspection.h).
      {"--symbols", "ELF",
       "with --image: the ELF file the image was written from (default: the\n"
       "image's name with .elf in place of .exe, when that file exists); it\n"
       "must hold the image's code, byte for byte",
       [](Options& o, auto& option, auto& value) {
         o.inspection.symbols = FileArgument(option, value);
       }},
      {"--gdb", "PORT",
       "with --image: wait for GDB on 127.0.0.1:PORT (0: any free port) before\n"
       "the first instruction, and serve it the run",
       [](Options& o, auto&, auto& value) {
         o.inspection.gdbPort = static_cast<uint16_t>(Count(value));
       },
       false, WholeNumber(0, 65535)},
      {"--coverage", "FILE",
       "with --image: write an lcov tracefile of the instructions and branches\n"
       "executed, by source line (needs the symbols)",
       [](Options& o, auto& option, auto& value) {
         o.inspection.coverage = FileArgument(option, value);
       }},
      {"--trace-instructions", nullptr,
       "with --image: print every instruction executed in the image",
       [](Options& o, auto&, auto&) { o.inspection.traceInstructions = true; }},
      {"--stats", nullptr,
       "also report the platform calls made and, with --image, the instructions\n"
       "executed inside the image",
       [](Options& o, auto&, auto&) { o.stats = true; }},
      {"--trace", nullptr, "print every platform call with its arguments and result",
       [](Options& o, auto&, auto&) { o.trace = true; }},
      {"--trace-file", "FILE", "write the trace to FILE instead of the output (implies --trace)",
       [](Options& o, auto& option, auto& value) {
         o.traceFile = FileArgument(option, value);
         o.trace = true;
       }},
      {"--trace-format", "text|json",
       "text (default), or one JSON object per call: name, arguments, result\n(implies --trace)",
       [](Options& o, auto& option, auto& value) {
         o.traceFormat = Choice<TraceFormat>(
             option, value, {{"text", TraceFormat::Text}, {"json", TraceFormat::Json}},
             "text or json");
         o.trace = true;
       }},
      {"--version", nullptr, "show the update's version and cesim's",
       [](Options& o, auto&, auto&) { o.version = true; }},
      {"-h,--help", nullptr, "show this help", [](Options& o, auto&, auto&) { o.help = true; }},
  };
  return table;
}

// The name messages give an option: its long name.
std::string MessageName(const char* names) {
  const std::string all = names;
  return all.substr(all.rfind(',') + 1);
}

// CLI11's value for a flag given without one ("--trace=yes" gives "yes").
constexpr std::string_view kFlagGiven = "true";

void CheckCombinations(const Options& options, const std::map<std::string, size_t>& given) {
  const auto isGiven = [&](const std::string& name) { return given.at(name) > 0; };
  if (isGiven("--rom-language") + isGiven("--rom-block") + isGiven("--rom-silent") > 1) {
    throw UsageError("--rom-language, --rom-block and --rom-silent exclude each other");
  }
  if (!options.card) {
    for (const char* cardOnly : {"--card-profile", "--card-full", "--card-read-only"}) {
      if (isGiven(cardOnly)) throw UsageError(std::string(cardOnly) + " needs --card");
    }
  }
  if (options.image && isGiven("--program")) {
    throw UsageError("--program: with --image the image decides which program runs");
  }
  if (options.image) return;
  const auto refuseWithoutImage = [&](const char* emulatorOnly) {
    if (isGiven(emulatorOnly)) throw UsageError(std::string(emulatorOnly) + " needs --image");
  };
  for (const char* emulatorOnly : {"--cpu", "--max-instructions"}) refuseWithoutImage(emulatorOnly);
  for (const char* emulatorOnly : kInspectionOptions) refuseWithoutImage(emulatorOnly);
}

}  // namespace

Options ParseOptions(std::span<const std::string> arguments) {
  CLI::App parser;
  parser.set_help_flag();  // -h and --help are rows of the table
  parser.allow_extras();   // reported below, in cesim's words
  std::vector<CLI::Option*> declared;
  for (const OptionRow& row : OptionTable()) {
    if (!row.value) {
      declared.push_back(parser.add_flag(row.names));
      continue;
    }
    CLI::Option* option = parser.add_option(row.names)
                              ->expected(0, 1)
                              ->default_str(kNoValue)
                              ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
                              ->allow_extra_args(false);
    if (row.check) option->check(*row.check);
    declared.push_back(option);
  }
  // "--" ends the options; cesim takes no other arguments, so nothing may follow it.
  const auto optionsEnd = std::ranges::find(arguments, "--");
  if (optionsEnd != arguments.end() && optionsEnd + 1 != arguments.end()) {
    throw UsageError("'" + optionsEnd[1] + "' is not an option; cesim takes no arguments");
  }
  std::vector<std::string> reversed(std::make_reverse_iterator(optionsEnd),
                                    arguments.rend());  // as CLI11 takes them
  try {
    parser.parse(reversed);
  } catch (const CLI::ParseError& error) {
    throw UsageError(error.what());  // a check's refusal: "--gdb: expected ..."
  }
  if (const std::vector<std::string> extra = parser.remaining(); !extra.empty()) {
    throw UsageError(extra.front().starts_with("-")
                         ? "unknown option '" + extra.front() + "'"
                         : "'" + extra.front() + "' is not an option; cesim takes no arguments");
  }

  Options options;
  std::map<std::string, size_t> given;
  for (size_t i = 0; i < declared.size(); ++i) {
    const OptionRow& row = OptionTable()[i];
    const std::string name = MessageName(row.names);
    given[name] = declared[i]->count();
    if (given[name] > 1 && !row.repeatable) throw UsageError(name + " given more than once");
    for (const std::string& value : declared[i]->results()) {
      if (!row.value && value != kFlagGiven) throw UsageError(name + " takes no value");
      if (row.value && value == kNoValue) throw UsageError(name + " needs a value");
    }
    if (!row.value && given[name] > 0) row.apply(options, name, "");
    if (row.value) {
      for (const std::string& value : declared[i]->results()) row.apply(options, name, value);
    }
  }
  CheckCombinations(options, given);
  return options;
}

std::string Usage() {
  std::string usage = R"(usage: cesim [options]
       cesim fleet [options] DIR...   (see cesim fleet --help)

Runs the card-folder update once on a simulated German handheld and reports what it did: the
update built for this machine, or with --image the device's own ARM executable on an emulated CPU.

)";
  constexpr size_t kHelpColumn = 25;
  for (const OptionRow& row : OptionTable()) {
    std::string names = row.names;
    if (const size_t comma = names.find(','); comma != std::string::npos) {
      names.insert(comma + 1, " ");
    }
    std::string head = "  " + names + (row.value ? std::string(" ") + row.value : "");
    // A head too long for its column gets a line of its own.
    head = head.size() < kHelpColumn ? head + std::string(kHelpColumn - head.size(), ' ')
                                     : head + '\n' + std::string(kHelpColumn, ' ');
    std::string help = row.help;
    for (size_t at = help.find('\n'); at != std::string::npos; at = help.find('\n', at + 1)) {
      help.insert(at + 1, kHelpColumn, ' ');
    }
    usage += head + help + '\n';
  }
  usage += R"(  --                     ends the options

Input files must be regular files: a FIFO, a device or a folder is refused before anything is
read. A --registry file may hold up to 64 MiB, an --image up to 32 MiB (the process slot a
Windows CE 4.20 program runs in), a --rom-block exactly 160 bytes. A registry file given through
a symbolic link is saved to the file the link names, and the link stays; a file with other hard
links is replaced (the summary says so: the other names keep the old contents); a file without
write permission is not saved.

The ROM information block (--rom-block) is 160 bytes as the device's IOCTL_ROM_INFO query returns
them; the update reads only the language name: 16 UTF-16LE units at byte 128 (bytes 128 to 159),
ended by a zero unit unless all 16 are used.

Answers on the keyboard: j, ja, y or yes for Ja; n, nein or no for Nein; in any case, with blanks
around them ignored. Prompts and hints go to standard error; the width is the terminal's, else
$COLUMNS, else 80.

Exit status: the program's own (0); 1 when the registry file or the --coverage file could not be
saved; 2 for a usage error, an unreadable or refused input file, an image the loader refuses or
symbols that do not match it; 3 when the emulated program faults, or the debugger kills it or
breaks the protocol, in which case the registry file is left as it was; 4 when the output could not
be written (the run and the save went on as reported); 130 when the keyboard input ended while a
box waited (nothing saved).
)";
  return usage;
}

}  // namespace cesim
