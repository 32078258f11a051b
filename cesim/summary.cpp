#include "summary.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <vector>

#include "message_box.h"
#include "stale_references.h"
#include "storage_manager.h"
#include "utf_text.h"

namespace cesim {
namespace {

std::string ResetLine(const device::RunResult& result) {
  if (!result.resetRequested) return "not requested";
  if (!result.resetTookEffect) return "requested; the request returned and the device kept running";
  const size_t open = result.keysLeftOpen;
  return "requested and taken: the run ended there with " + std::to_string(open) +
         (open == 1 ? " registry key" : " registry keys") + " still open";
}

std::string RegistryFileLine(const Options& options, const device::RunResult& result,
                             const SaveOutcome& save) {
  if (!options.registryFile) return "none (the built-in registry is not saved)";
  const std::string given = options.registryFile->string();
  if (result.changes.empty()) return given + " left as it was";
  if (save.error && save.reason) {
    return given + " NOT saved: " + *save.reason + "; the changes above are lost";
  }
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

std::string ProgramLine(const Options& options) {
  if (options.image) return options.image->string();
  return options.program == Program::Survey ? "the survey built for this machine"
                                            : "the update built for this machine";
}

// Where the card is and what the program wrote, on it or in the object store's memory.
void PrintFiles(std::ostream& out, const Options& options, const device::RunResult& result) {
  if (options.card) {
    out << "  card: " << options.card->string() << ", mounted as \\"
        << device::ToUtf8(result.cardFolder.value_or(u"")) << " (profile "
        << device::ToUtf8(options.cardProfile) << ")\n";
  }
  for (const device::WrittenFile& file : result.filesWritten) {
    out << "  written " << (file.onCard ? "on the card: " : "in memory (the object store): ")
        << device::ToUtf8(file.path) << " (" << file.size << " bytes)\n";
  }
  if (result.filesLeftOpen > 0) {
    out << "  files left open: " << result.filesLeftOpen << ", closed when the program ended\n";
  }
}

// Text as the summary shows it: quoted, control characters as \xNN.
std::string Quoted(std::u16string_view text) {
  std::string shown = "\"";
  for (char c : device::ToUtf8(text)) {
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

std::string ShownLanguage(const device::RomBlock& block) {
  return Quoted(device::RomLanguage(block));
}

// Each registry value left naming the folder a card no longer mounts as, the first ten of them.
void PrintStaleReferences(std::ostream& out, const device::Registry& registry,
                          const device::RunResult& result) {
  constexpr size_t kShown = 10;
  const std::vector<device::StaleReference> stale =
      device::StaleReferencesAfter(registry, result.changes);
  for (size_t i = 0; i < std::min(stale.size(), kShown); ++i) {
    out << "  stale reference: [" << device::ToUtf8(stale[i].keyPath) << "] "
        << (stale[i].name.empty() ? std::string("@") : Quoted(stale[i].name)) << " = "
        << Quoted(stale[i].text) << '\n';
  }
  if (stale.size() > kShown) {
    out << "  stale references: " << stale.size() - kShown << " more, " << stale.size()
        << " in all\n";
  }
}

std::string RomLine(const Options& options, const device::DeviceSettings& settings) {
  if (options.romSilent) return "silent: the information query fails and writes nothing";
  const std::string language = "language " + ShownLanguage(settings.romBlock);
  if (options.romBlockFile) return "block from " + options.romBlockFile->string() + ", " + language;
  return language;
}

std::string FaultsLine(const Options& options) {
  std::vector<std::string> faults;
  for (const std::u16string& profile : options.missingKeyProfiles) {
    faults.push_back(device::ToUtf8(profile) + " key missing");
  }
  for (const std::u16string& profile : options.failingWriteProfiles) {
    faults.push_back("writes to " + device::ToUtf8(profile) + " refused");
  }
  if (options.noStrings) faults.emplace_back("string table missing");
  if (options.answer == Answer::FailToShow) faults.emplace_back("question box fails");
  if (options.reset == device::ResetBehaviour::Returns)
    faults.emplace_back("reset request returns");
  if (options.cardFull) faults.emplace_back("card full");
  if (options.cardReadOnly) faults.emplace_back("card read-only");
  for (const std::u16string& key : options.failingEnumerations) {
    faults.push_back("enumeration of " + device::ToUtf8(key) + " fails");
  }
  std::string line;
  for (const std::string& fault : faults) line += (line.empty() ? "" : ", ") + fault;
  return line.empty() ? "none" : line;
}

// Said plainly when the update did not set every profile although it tried to: how far it got
// and where it stopped. A run refused for its ROM never tried, and one that found the profiles set
// already has nothing to say.
std::optional<std::string> IncompleteLine(const device::Registry& registry,
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
  if (!stoppedAt || (set == 0 && result.registryCallsRefused == 0)) return std::nullopt;
  return std::string(set == 0 ? "UPDATE FAILED: " : "PARTIAL UPDATE: ") + std::to_string(changed) +
         " of " + std::to_string(device::kCardProfiles.size()) +
         " profiles changed; the update stopped at " + device::ToUtf8(*stoppedAt);
}

// Marks where a summary line that does not fit breaks first: the parts between marks start
// lines of their own, so that lines of one kind keep one layout whatever their lengths.
constexpr char kBreakFirst = '\x1F';

void PrintSummary(std::ostream& out, const SummaryInput& run) {
  const Options& options = run.options;
  const device::RunResult& result = run.result;
  const device::Registry& registry = run.registry;
  const SaveOutcome& save = run.save;
  const RunFigures& figures = run.figures;
  out << "\nsummary\n";
  out << "  program: " << ProgramLine(options) << '\n';
  if (options.image) {
    out << "  CPU: emulated "
        << (options.cpu == emulator::CpuModel::Pxa270 ? "XScale PXA270" : "TI925T (ARMv4T)")
        << '\n';
  }
  out << "  ROM: " << RomLine(options, run.settings) << '\n';
  out << "  injected faults: " << FaultsLine(options) << '\n';
  out << "  exit status: " << result.exitStatus;
  if (save.error) {
    out << " (the program's); cesim exits " << kExitNotSaved << ": nothing saved";
  } else if (!save.coverageWritten) {
    out << " (the program's); cesim exits " << kExitNotSaved
        << ": the coverage file was not written";
  }
  out << '\n';
  out << "  soft reset: " << ResetLine(result) << '\n';
  if (const std::optional<std::string> incomplete = IncompleteLine(registry, result)) {
    out << "  " << *incomplete << '\n';
  }
  if (result.changes.empty()) out << "  registry: no value changed\n";
  for (const device::ValueChange& change : result.changes) {
    auto shown = [](const std::optional<device::RegValue>& value) {
      return value ? device::FormatValueData(*value) : std::string("(none)");
    };
    out << "  changed: [" << device::ToUtf8(change.keyPath) << "]" << kBreakFirst << '"'
        << device::ToUtf8(change.name) << "\": " << shown(change.before) << " -> "
        << shown(change.after) << '\n';
  }
  PrintStaleReferences(out, registry, result);
  if (result.resetTookEffect) {
    out << "  after the reset the storage manager mounts:\n";
    for (std::u16string_view profile : device::kCardProfiles) {
      out << "    " << device::ToUtf8(profile) << " card as \\"
          << device::ToUtf8(device::MountFolder(registry, profile)) << '\n';
    }
  }
  PrintFiles(out, options, result);
  out << "  registry file: " << RegistryFileLine(options, result, save) << '\n';
  if (options.inspection.coverage && !save.coverageWritten) {
    out << "  coverage file: " << options.inspection.coverage->string()
        << " NOT written (the reason follows)\n";
  }
  if (options.stats) {
    out << "  platform calls: " << figures.platformCalls << '\n';
    if (figures.instructions) {
      out << "  instructions executed in the image: " << *figures.instructions << '\n';
    }
  }
}

// `word` in pieces: the first of at most `firstColumns` characters (empty when nothing fits),
// the others of at most `columns`. It is broken before a backslash or after a slash where it has
// them (a key path, a file name), and inside the word only where a piece is still too long.
std::vector<std::string> BreakWord(std::string_view word, size_t firstColumns, size_t columns) {
  std::vector<std::string> pieces(1);
  for (size_t start = 0; start < word.size();) {
    size_t end = start + 1;
    while (end < word.size() && word[end] != '\\' && word[end - 1] != '/') ++end;
    const std::string_view part = word.substr(start, end - start);
    start = end;
    const size_t room = pieces.size() == 1 ? firstColumns : columns;
    if (device::Columns(pieces.back()) + device::Columns(part) <= room) {
      pieces.back() += part;
      continue;
    }
    for (std::string& piece : device::WrapText(part, columns)) pieces.push_back(std::move(piece));
  }
  return pieces;
}

// Text wrapped to `columns` at spaces; a word longer than a line starts where the line has room
// and is broken as BreakWord breaks it.
std::vector<std::string> WrapSummaryText(std::string_view text, size_t columns) {
  std::vector<std::string> lines(1);
  for (size_t start = 0; start <= text.size();) {
    const size_t end = std::min(text.find(' ', start), text.size());
    const std::string_view word = text.substr(start, end - start);
    start = end + 1;
    std::string& line = lines.back();
    const size_t used = device::Columns(line) + (line.empty() ? 0 : 1);
    if (used + device::Columns(word) <= columns) {
      line += (line.empty() ? "" : " ") + std::string(word);
      continue;
    }
    if (device::Columns(word) <= columns) {
      lines.emplace_back(word);
      continue;
    }
    std::vector<std::string> pieces = BreakWord(word, columns - std::min(used, columns), columns);
    if (!pieces.front().empty()) line += (line.empty() ? "" : " ") + pieces.front();
    lines.insert(lines.end(), pieces.begin() + 1, pieces.end());
  }
  return lines;
}

// The summary with each line longer than `width` columns wrapped, its continuation lines
// indented four more columns; a line that does not fit breaks at its kBreakFirst marks first.
std::string Wrapped(const std::string& summary, size_t width) {
  constexpr size_t kContinuation = 4;
  std::string wrapped;
  std::istringstream lines(summary);
  for (std::string line; std::getline(lines, line);) {
    const size_t indent = std::min(line.find_first_not_of(' '), line.size());
    const std::string text = line.substr(indent);
    const size_t room = std::max<size_t>(width, indent + kContinuation + 20) - indent;
    std::string whole = text;
    std::replace(whole.begin(), whole.end(), kBreakFirst, ' ');
    if (device::Columns(whole) <= room) {
      wrapped += std::string(indent, ' ') + whole + '\n';
      continue;
    }
    std::vector<std::string> pieces;
    for (size_t start = 0; start <= text.size();) {
      const size_t end = std::min(text.find(kBreakFirst, start), text.size());
      const std::vector<std::string> part =
          WrapSummaryText(std::string_view(text).substr(start, end - start), room - kContinuation);
      pieces.insert(pieces.end(), part.begin(), part.end());
      start = end + 1;
    }
    for (size_t i = 0; i < pieces.size(); ++i) {
      wrapped += std::string(indent + (i ? kContinuation : 0), ' ') + pieces[i] + '\n';
    }
  }
  return wrapped;
}

}  // namespace

std::string Summary(const SummaryInput& run, size_t width) {
  std::ostringstream summary;
  PrintSummary(summary, run);
  return Wrapped(summary.str(), width);
}

}  // namespace cesim
