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
