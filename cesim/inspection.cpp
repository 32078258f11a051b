#include "inspection.h"

#include <algorithm>
#include <cstdio>

#include "coverage_recorder.h"
#include "file_io.h"
#include "gdb_stub.h"
#include "guest_memory.h"
#include "instruction_trace.h"

namespace cesim {
namespace {

// The bytes the image holds at [address, address + size) as linked, for its preferred base: the
// region's file data before any fixup, then zeros. `linkedAddress` is the region's address there.
std::vector<uint8_t> LinkedBytes(const emulator::ImageRegion& region, uint32_t linkedAddress,
                                 uint32_t address, uint32_t size) {
  const std::vector<uint8_t>& data = region.linkedBytes.empty() ? region.bytes : region.linkedBytes;
  std::vector<uint8_t> bytes(size, 0);
  const uint32_t offset = address - linkedAddress;
  for (uint32_t i = 0; i < size && offset + i < data.size(); ++i) bytes[i] = data[offset + i];
  return bytes;
}

}  // namespace

void CheckSymbolsMatch(const debuginfo::ProgramSymbols& symbols, const emulator::LoadedImage& image,
                       const std::string& imageName) {
  auto mismatch = [&](const std::string& what) {
    throw debuginfo::SymbolsError(symbols.fileName() + ": does not match " + imageName + ": " +
                                  what);
  };
  for (const emulator::ImageRegion& region : image.regions) {
    if (!(region.protection & emulator::kExecute)) continue;
    auto same =
        std::ranges::find(symbols.sections(), region.name, &debuginfo::ProgramSection::name);
    if (same == symbols.sections().end() || !same->executable) {
      mismatch("the image's code section " + binary::Printable(region.name) + " is not in it");
    }
  }
  // The ELF file holds the program as linked: it is compared with the image at its preferred
  // base, before the device moved it and applied the fixups.
  const uint32_t moved = image.base - image.preferredBase;
  for (const debuginfo::ProgramSection& section : symbols.sections()) {
    if (!section.executable) continue;
    auto region = std::ranges::find(image.regions, section.name, &emulator::ImageRegion::name);
    if (region == image.regions.end())
      mismatch("its section " + section.name + " is not in the image");
    const uint32_t linkedAddress = region->address - moved;
    if (linkedAddress != section.address || section.size > region->size) {
      mismatch(section.name + " lies at " + emulator::HexAddress(section.address) +
               " in it and at " + emulator::HexAddress(linkedAddress) + " in the image" +
               (moved ? " as linked for ImageBase " + binary::Hex(image.preferredBase) : ""));
    }
    const std::vector<uint8_t> linked =
        LinkedBytes(*region, linkedAddress, section.address, section.size);
    auto [differs, unused] = std::ranges::mismatch(section.bytes, linked);
    if (differs != section.bytes.end()) {
      mismatch("the code differs at " +
               emulator::HexAddress(section.address +
                                    static_cast<uint32_t>(differs - section.bytes.begin())));
    }
  }
}

std::optional<std::filesystem::path> SymbolsFile(const InspectionOptions& options,
                                                 const std::filesystem::path& imageFile) {
  if (options.symbols) return *options.symbols;
  std::filesystem::path file = imageFile;
  file.replace_extension(".elf");
  std::error_code error;
  if (file == imageFile || !std::filesystem::is_regular_file(file, error)) return std::nullopt;
  return file;
}

std::optional<debuginfo::ProgramSymbols> LoadImageSymbols(const InspectionOptions& options,
                                                          const std::filesystem::path& imageFile,
                                                          const emulator::LoadedImage& image) {
  const std::optional<std::filesystem::path> file = SymbolsFile(options, imageFile);
  if (!file) return std::nullopt;
  debuginfo::ProgramSymbols symbols = debuginfo::ProgramSymbols::Load(*file);
  CheckSymbolsMatch(symbols, image, imageFile.string());
  symbols.MoveBy(image.base - image.preferredBase);  // to where the device runs the code
  return symbols;
}

struct Inspection::Parts {
  std::unique_ptr<coverage::CoverageRecorder> coverage;
  std::unique_ptr<gdbstub::GdbStub> debugger;
};

Inspection::Inspection(const InspectionOptions& options, const std::filesystem::path& imageFile,
                       const emulator::LoadedImage& image, std::ostream& out, std::ostream& log)
    : options_(options),
      imageFile_(imageFile),
      image_(image),
      parts_(std::make_unique<Parts>()),
      out_(out),
      log_(log) {
  if (options.symbols || options.coverage || options.traceInstructions) {
    symbols_ = LoadImageSymbols(options, imageFile, image);
    symbolsRead_ = true;
  }
  if (options.coverage) {
    if (!symbols_) {
      throw debuginfo::SymbolsError(
          "--coverage needs the image's symbols: no " +
          std::filesystem::path(imageFile).replace_extension(".elf").string() +
          " beside it and no --symbols");
    }
    parts_->coverage = std::make_unique<coverage::CoverageRecorder>(*symbols_);
  }
  if (options.gdbPort) {
    try {
      parts_->debugger = std::make_unique<gdbstub::GdbStub>(*options.gdbPort);
    } catch (const gdbstub::ConnectionError& error) {
      throw InspectionSetupError(std::string("--gdb: ") + error.what());
    }
    log << "cesim: waiting for GDB on 127.0.0.1:" << parts_->debugger->port() << std::endl;
  }
}

Inspection::~Inspection() = default;

const debuginfo::ProgramSymbols* Inspection::Symbols() {
  if (!symbolsRead_) {
    symbolsRead_ = true;
    try {
      symbols_ = LoadImageSymbols(options_, imageFile_, image_);
    } catch (const debuginfo::SymbolsError& error) {
      log_ << "cesim: " << error.what() << "; the fault is described without it" << std::endl;
    }
  }
  return symbols_ ? &*symbols_ : nullptr;
}

void Inspection::Attach(emulator::Machine& machine) {
  if (symbols_ || !symbolsRead_) {
    machine.DescribeCodeWith([this](uint32_t address) {
      const debuginfo::ProgramSymbols* symbols = Symbols();
      return symbols ? symbols->Describe(address) : std::string();
    });
  }
  if (options_.traceInstructions) {
    observers_.push_back(
        std::make_unique<emulator::InstructionTrace>(out_, symbols_ ? &*symbols_ : nullptr));
  }
  for (auto& observer : observers_) machine.Attach(*observer);
  if (parts_->coverage) machine.Attach(*parts_->coverage);
  // Last, so that the trace and the coverage see an instruction before the debugger stops at it.
  if (parts_->debugger) {
    try {
      parts_->debugger->Attach(machine);
    } catch (const gdbstub::ConnectionError& error) {
      throw InspectionSetupError(std::string("--gdb: ") + error.what());
    }
  }
}

void Inspection::RunEnded(std::optional<int> exitStatus) {
  if (parts_->debugger && exitStatus) parts_->debugger->ProcessEnded(*exitStatus);
}

void Inspection::WriteOutputs() {
  if (!parts_->coverage) return;
  const std::string tracefile = coverage::LcovTracefile(*parts_->coverage);
  try {
    fileio::ReplaceFile(
        *options_.coverage,
        std::span(reinterpret_cast<const uint8_t*>(tracefile.data()), tracefile.size()));
  } catch (const fileio::FileError& error) {
    throw InspectionOutputError(options_.coverage->string() +
                                ": cannot write the coverage: " + error.what());
  }
}

}  // namespace cesim
