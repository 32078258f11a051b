#include "fleet.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <condition_variable>
#include <deque>
#include <iostream>
#include <mutex>
#include <thread>

#include "file_io.h"
#include "fleet_report.h"
#include "fleet_run.h"
#include "options.h"

namespace cesim {
namespace {

inline constexpr int kExitAttention = 1;  // a device needs attention
inline constexpr size_t kMaxJobs = 64;

struct FleetOptions {
  std::vector<std::filesystem::path> folders;
  std::optional<std::filesystem::path> image;
  emulator::CpuModel cpu = emulator::CpuModel::Pxa270;
  size_t jobs = std::max<size_t>(1, std::thread::hardware_concurrency());
  std::optional<std::filesystem::path> json, csv;
};

FleetOptions ParseFleetOptions(std::span<const std::string> arguments) {
  FleetOptions options;
  CLI::App parser("cesim fleet");
  parser.set_help_flag();
  std::string image, json, csv, cpu;
  std::vector<std::string> folders;
  parser.add_option("--image", image)->allow_extra_args(false);
  CLI::Option* cpuOption = parser.add_option("--cpu", cpu)->allow_extra_args(false);
  CLI::Option* jobsOption = parser.add_option("--jobs", options.jobs)->allow_extra_args(false);
  parser.add_option("--json", json)->allow_extra_args(false);
  parser.add_option("--csv", csv)->allow_extra_args(false);
  parser.add_option("folders", folders);
  std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());  // as CLI11 takes them
  try {
    parser.parse(reversed);
  } catch (const CLI::ParseError& error) {
    throw UsageError(std::string("fleet: ") + error.what());
  }
  if (folders.empty()) throw UsageError("fleet: name at least one folder of surveys");
  if (options.jobs == 0 || options.jobs > kMaxJobs) {
    throw UsageError("fleet: --jobs takes 1 to " + std::to_string(kMaxJobs));
  }
  if (cpuOption->count() && image.empty()) throw UsageError("fleet: --cpu needs --image");
  if (cpu == "ti925t")
    options.cpu = emulator::CpuModel::Ti925t;
  else if (!cpu.empty() && cpu != "pxa270")
    throw UsageError("fleet: --cpu takes pxa270 or ti925t");
  for (const std::string& folder : folders) options.folders.emplace_back(folder);
  if (!image.empty()) options.image = image;
  if (!json.empty()) options.json = json;
  if (!csv.empty()) options.csv = csv;
  (void)jobsOption;
  return options;
}

// The report files name neither each other, nor the image, nor a file in a survey folder: a survey
// is never written into, and the image and one report would be lost to the other.
void CheckReportFiles(const FleetOptions& options) {
  namespace fs = std::filesystem;
  std::vector<fs::path> named;
  if (options.image) named.push_back(fs::weakly_canonical(*options.image));
  for (const std::optional<fs::path>& report : {options.json, options.csv}) {
    if (!report) continue;
    const fs::path file = fs::weakly_canonical(*report);
    if (std::ranges::find(named, file) != named.end()) {
      throw InputError(report->string() + ": named twice, as a report and as another file");
    }
    named.push_back(file);
    std::error_code error;
    for (const char* survey : {kRomFileName, kRegistryFileName}) {
      if (fs::exists(fs::symlink_status(file.parent_path() / survey, error))) {
        throw InputError(report->string() + ": in a survey folder, which is never written into");
      }
    }
  }
}

emulator::LoadedImage LoadFleetImage(const std::filesystem::path& file) {
  try {
    return emulator::LoadImage(fileio::ReadWholeFile(file, 32 * 1024 * 1024), file.string());
  } catch (const fileio::FileError& error) {
    throw InputError(file.string() + ": cannot read: " + error.what());
  } catch (const emulator::ImageError& error) {
    throw InputError(error.what());
  }
}

// Devices handed to the workers and their reports taken back in device order. A device is handed
// out only while fewer than `window` reports wait to be written, so memory stays bounded by the
// devices in flight whatever the fleet's size.
class FleetPool {
 public:
  FleetPool(const FleetProgram& program, size_t jobs) : window_(4 * jobs) {
    for (size_t i = 0; i < jobs; ++i) workers_.emplace_back([this, &program] { Work(program); });
  }
  ~FleetPool() {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
    }
    work_.notify_all();
    for (std::thread& worker : workers_) worker.join();
  }

  // Runs every device the walk finds; `write` gets each report in order, on this thread.
  template <typename Write>
  void Run(SurveyWalk& walk, Write write) {
    std::deque<std::optional<DeviceReport>> reports;  // from the next one to write on
    bool walked = false;
    size_t issued = 0, written = 0;
    std::unique_lock lock(mutex_);
    reports_ = &reports;
    for (;;) {
      while (!walked && issued - written < window_) {
        lock.unlock();
        std::optional<SurveyFolder> folder = walk.Next();
        lock.lock();
        if (!folder) {
          walked = true;
          break;
        }
        queue_.push_back({issued++, std::move(*folder)});
        reports.emplace_back();
        work_.notify_one();
      }
      if (written == issued) break;
      done_.wait(lock, [&] { return reports.front().has_value(); });
      DeviceReport report = std::move(*reports.front());
      reports.pop_front();
      ++written;
      firstUnwritten_ = written;
      lock.unlock();
      write(report);
      lock.lock();
    }
    reports_ = nullptr;
  }

 private:
  struct Job {
    size_t index;
    SurveyFolder folder;
  };

  void Work(const FleetProgram& program) {
    DeviceRunner runner(program);
    std::unique_lock lock(mutex_);
    for (;;) {
      work_.wait(lock, [&] { return closed_ || !queue_.empty(); });
      if (queue_.empty()) return;
      Job job = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      DeviceReport report = RunOne(runner, job.folder);
      lock.lock();
      (*reports_)[job.index - firstUnwritten_] = std::move(report);
      done_.notify_one();
    }
  }

  static DeviceReport RunOne(DeviceRunner& runner, const SurveyFolder& folder) {
    try {
      return runner.Run(folder);
    } catch (const std::exception& error) {  // one device's failure is that device's report
      DeviceReport report;
      report.device = folder.name;
      report.outcome = Outcome::Fault;
      report.reason = std::string("cesim failed: ") + error.what();
      return report;
    }
  }

  const size_t window_;
  std::mutex mutex_;
  std::condition_variable work_, done_;
  std::deque<Job> queue_;
  std::deque<std::optional<DeviceReport>>* reports_ = nullptr;
  size_t firstUnwritten_ = 0;
  bool closed_ = false;
  std::vector<std::thread> workers_;
};

// The devices the walk finds, counted for the progress bar.
size_t CountDevices(const std::vector<std::filesystem::path>& folders) {
  SurveyWalk walk(folders);
  size_t count = 0;
  while (walk.Next()) ++count;
  return count;
}

int RunFleet(const FleetOptions& options, FleetProgram& program) {
  SurveyWalk walk(options.folders);  // refuses a folder that is not one before anything is written
  CheckReportFiles(options);
  std::optional<emulator::LoadedImage> image;
  if (options.image) {
    image = LoadFleetImage(*options.image);
    program.image = &*image;
    program.machine.cpu = options.cpu;
    program.machine.reusable = true;  // set up once per worker, restored per device
    program.resources = image->resources;
  }
  std::optional<StreamedFile> json, csv;
  std::vector<std::string> files;
  if (options.json) json.emplace(*options.json), files.push_back(options.json->string());
  if (options.csv) csv.emplace(*options.csv), files.push_back(options.csv->string());
  if (csv) csv->Write(CsvHeader());
  std::optional<ProgressBar> progress;
  if (isatty(STDERR_FILENO)) progress.emplace(stderr, CountDevices(options.folders));
  FleetTally tally;
  {
    FleetPool pool(program, options.jobs);
    pool.Run(walk, [&](const DeviceReport& report) {
      if (json) json->Write(JsonLine(report));
      if (csv) csv->Write(CsvRow(report));
      tally.Add(report);
      if (progress) progress->Done(tally.devices());
    });
  }
  progress.reset();
  std::optional<std::string> failure;
  for (std::optional<StreamedFile>* file : {&json, &csv}) {
    if (!*file) continue;
    std::optional<std::string> error = (*file)->Commit();
    if (error && !failure) failure = error;
  }
  const std::string name =
      options.image
          ? options.image->string() + " (emulated " +
                (options.cpu == emulator::CpuModel::Pxa270 ? "XScale PXA270" : "TI925T") + ")"
          : "the update built for this machine";
  std::cout << tally.Table(name, files) << std::flush;
  if (failure) {
    std::cerr << "cesim fleet: " << *failure << '\n';
    return kExitOutputLost;
  }
  return tally.AllWell() ? 0 : kExitAttention;
}

constexpr const char* kFleetUsage =
    R"(usage: cesim fleet [--image FILE [--cpu pxa270|ti925t]] [--jobs N] [--json FILE] [--csv FILE]
                   DIR...

Runs the update, answered No, against every survey folder under each DIR (a folder holding
rom.bin and registry.reg) in memory, writes nothing into them, and prints a table of the outcomes
and the devices that need attention.

  --image FILE           run the device image on the emulated CPU (--cpu: pxa270 or ti925t)
  --jobs N               workers, 1 to 64 (default: the machine's cores)
  --json FILE            one JSON object a line per device, in device order
  --csv FILE             one CSV row per device, in device order

Exit status: 0 when every device is updated or unchanged, 1 when any needs attention, 2 for a
usage error, a DIR that is not a folder or an image cannot be used, 4 when a report file could
not be written.
)";

}  // namespace

int FleetMain(std::span<const std::string> arguments, std::vector<res::ResourceEntry> resources) {
  if (arguments.size() == 1 && (arguments[0] == "-h" || arguments[0] == "--help")) {
    std::cout << kFleetUsage;
    return 0;
  }
  try {
    FleetOptions options = ParseFleetOptions(arguments);
    FleetProgram program{std::move(resources), nullptr, {}};
    return RunFleet(options, program);
  } catch (const UsageError& error) {
    std::cerr << "cesim: " << error.what() << " (see cesim fleet --help)\n";
  } catch (const InputError& error) {
    std::cerr << "cesim fleet: " << error.what() << '\n';
  }
  return kExitUsage;
}

}  // namespace cesim
