// cesim's ways of looking inside an emulated run: the image's symbols (the ELF file it was
// written from), fault reports that read as code, the instruction trace, coverage and the
// debugger stub. Options, loading and the end-of-run work live here, apart from the rest of cesim.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "image_loader.h"
#include "machine.h"
#include "program_symbols.h"

namespace cesim {

struct InspectionOptions {
  std::optional<std::filesystem::path> symbols;   // --symbols; else the .elf beside the image
  std::optional<uint16_t> gdbPort;                // --gdb; 0 picks a free port
  std::optional<std::filesystem::path> coverage;  // --coverage: an lcov tracefile
  bool traceInstructions = false;                 // --trace-instructions
};

// The option names above, each taking a value except --trace-instructions; all need --image.
inline constexpr const char* kInspectionOptions[] = {"--symbols", "--gdb", "--coverage",
                                                     "--trace-instructions"};

// A debugger port that cannot be opened or a debugger that does not come; what() is one line.
struct InspectionSetupError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// An output of the inspection that could not be written; what() is one line naming the file.
struct InspectionOutputError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The ELF file the image's symbols are read from: --symbols, else the file beside the image named
// with .elf in place of .exe when it exists, else none.
std::optional<std::filesystem::path> SymbolsFile(const InspectionOptions& options,
                                                 const std::filesystem::path& imageFile);

// The symbols for `image`: from --symbols, else from the file beside it named with .elf in place
// of .exe, else none, at the addresses the device runs the image at. Throws
// debuginfo::SymbolsError when the ELF file cannot be read or does not match the image (its code
// differs).
std::optional<debuginfo::ProgramSymbols> LoadImageSymbols(const InspectionOptions& options,
                                                          const std::filesystem::path& imageFile,
                                                          const emulator::LoadedImage& image);

// Throws debuginfo::SymbolsError unless every code section of `symbols` lies in `image` at the
// same address with the same bytes, both as linked (for the image's preferred base, before the
// device moved it), and every code section of the image is in `symbols`.
void CheckSymbolsMatch(const debuginfo::ProgramSymbols& symbols, const emulator::LoadedImage& image,
                       const std::string& imageName);

class Inspection {
 public:
  // Prepares what the options ask for; with --gdb, listens and says so on `log`. The symbols are
  // read now when an option needs them (--symbols, --coverage, --trace-instructions); else the
  // ELF file beside the image is read only when a fault is to be described, and if it cannot be
  // used then, `log` says why and the fault is described without it. `image` must outlive this.
  // Throws debuginfo::SymbolsError and InspectionSetupError.
  Inspection(const InspectionOptions& options, const std::filesystem::path& imageFile,
             const emulator::LoadedImage& image, std::ostream& out, std::ostream& log);
  ~Inspection();

  // Hooks the trace, coverage and debugger into `machine`, and waits for the debugger. Throws
  // InspectionSetupError.
  void Attach(emulator::Machine& machine);
  // The run ended with `exitStatus` (the process's own), or with a fault when empty.
  void RunEnded(std::optional<int> exitStatus);
  // Writes the coverage file. Throws InspectionOutputError.
  void WriteOutputs();

 private:
  // The symbols, read on the first call; none when there are none or they cannot be used.
  const debuginfo::ProgramSymbols* Symbols();

  InspectionOptions options_;
  std::filesystem::path imageFile_;
  const emulator::LoadedImage& image_;
  std::optional<debuginfo::ProgramSymbols> symbols_;
  bool symbolsRead_ = false;
  std::vector<std::unique_ptr<emulator::ExecutionObserver>> observers_;
  struct Parts;
  std::unique_ptr<Parts> parts_;
  std::ostream& out_;
  std::ostream& log_;
};

}  // namespace cesim
