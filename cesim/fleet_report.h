// What cesim fleet writes: a JSON object a line and a CSV row per device, a progress bar while it
// runs, and the table that closes the run.
#pragma once

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "fleet_run.h"

namespace cesim {

std::string JsonLine(const DeviceReport& report);  // ends with a line end
std::string CsvHeader();
std::string CsvRow(const DeviceReport& report);  // ends with CR LF, as RFC 4180 has it

// The run's counts, and the first devices that need attention.
class FleetTally {
 public:
  static constexpr size_t kListed = 20;

  void Add(const DeviceReport& report);
  size_t devices() const { return devices_; }
  bool AllWell() const { return attention_ == 0; }
  // `program` names what ran; `files` where every device is (the --json and --csv files).
  std::string Table(const std::string& program, const std::vector<std::string>& files) const;

 private:
  size_t devices_ = 0, attention_ = 0, withStale_ = 0, staleValues_ = 0;
  std::array<size_t, std::size(kOutcomes)> counts_{};
  std::vector<std::string> listed_;  // "device  outcome: reason"
};

// A bar on a terminal: devices done of those found, redrawn at most ten times a second.
class ProgressBar {
 public:
  ProgressBar(std::FILE* terminal, size_t total) : terminal_(terminal), total_(total) {}
  ~ProgressBar();  // clears the bar
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;
  void Done(size_t done);

 private:
  std::FILE* terminal_;
  size_t total_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point drawn_{};
};

// A report file written as the run goes, into a temporary file beside it that takes its name only
// when the run completes: a run that fails leaves no half-written report. (fileio's replacement
// takes the whole contents at once, which a fleet of any size must not be held as.)
class StreamedFile {
 public:
  // Throws InputError naming the file when the temporary file cannot be made.
  explicit StreamedFile(std::filesystem::path file);
  ~StreamedFile();  // removes the temporary file unless it was committed
  StreamedFile(const StreamedFile&) = delete;
  StreamedFile& operator=(const StreamedFile&) = delete;

  void Write(const std::string& text);
  // Syncs and renames the file into place; the reason when that, or any write, failed.
  std::optional<std::string> Commit();

 private:
  std::filesystem::path file_, temporary_;
  std::FILE* stream_ = nullptr;
  int error_ = 0;  // the first write's errno
};

}  // namespace cesim
