// Runs the cesim binary as a user would: a fresh process, no terminal on standard input.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct CesimRun {
  int exitStatus = -1;
  std::string out;
  std::string err;
};

// Where cesim's standard output goes: captured in CesimRun::out, a full disk (a node made like
// /dev/full in a scratch folder), a pipe whose reader has gone, or a pipe whose reader reads
// only after cesim ended (into CesimRun::out).
enum class CesimOutput { Captured, Full, ClosedPipe, UnreadPipe };

// `environment` ("NAME=value") is added to this process's environment, replacing any variable of
// the same name; COLUMNS is 80 unless it names it.
CesimRun RunCesim(const std::vector<std::string>& arguments,
                  const std::vector<std::string>& environment = {},
                  CesimOutput output = CesimOutput::Captured);

std::string ReadText(const std::filesystem::path& file);

// The output without the summary's lines saying what was simulated (program, CPU, ROM, injected
// faults, and their continuation lines should a long path wrap them): they differ between runs
// that must otherwise print the same.
std::string WithoutRunDescription(const std::string& output);

// Little-endian fields of an image held as a string of bytes.
uint32_t Get32(const std::string& image, size_t at);
void Put(std::string& image, size_t at, uint32_t value, size_t width = 4);

// Makes the image of tests/emulator/relocated.s (written for 0x10000, relocations stripped) the
// one a linker writes for `base`, keeping its relocations: the block the program holds and its
// one absolute address, moved. The device loads it at 0x10000 and applies that fixup.
void LinkedFor(std::string& image, uint32_t base);

// A fresh folder under the test's temporary directory, removed with the object.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};
