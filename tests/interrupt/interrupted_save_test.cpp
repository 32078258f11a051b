// cesim killed with SIGKILL at each call through which it writes and replaces a registry file:
// the file must then hold exactly what it held before or exactly what the finished run writes, any
// temporary file left behind must not pass for a registry file, and a later run must still work.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "cesim_runner.h"

namespace {

namespace fs = std::filesystem;

const std::string kRegistryName = "device.reg";
constexpr int kKilled = 128 + SIGKILL;
constexpr size_t kSampledWrites = 100;

// The factory registry followed by `copies` copies of its keys under other names: a large device
// registry, of which the update changes the same three values.
std::string LargeRegistry(int copies) {
  const std::string factory = ReadText(FACTORY_REGISTRY);
  const std::string keys = factory.substr(factory.find("\n[") + 1);
  std::string large = factory;
  for (int i = 0; i < copies; ++i) {
    std::string copy = keys;
    for (size_t at = copy.find("[HKEY_"); at != std::string::npos;
         at = copy.find("[HKEY_", at + 1)) {
      copy.insert(copy.find(']', at), "\\Copy" + std::to_string(i));
    }
    large += "\n" + copy;
  }
  return large;
}

// The registry as it is before the update: about 120 KB.
const std::string& OldContent() {
  static const std::string content = LargeRegistry(40);
  return content;
}

// One call the preloaded library counted, as its log gives it.
struct Call {
  std::string name;
  int fd = -1;
};

std::vector<Call> ReadCallLog(const fs::path& file) {
  std::vector<Call> calls;
  std::istringstream log(ReadText(file));
  for (Call call; log >> call.name >> call.fd;) calls.push_back(call);
  return calls;
}

// A run to the end: its calls, numbered from 1 as the library counts them, where the save lies
// among them, and the file it wrote.
struct SaveRun {
  std::vector<Call> calls;
  size_t firstOfSave = 0;  // the temporary file's fchmod
  size_t rename = 0;
  std::vector<size_t> dataWrites;  // the writes into the temporary file
  std::string newContent;

  const Call& At(size_t number) const { return calls.at(number - 1); }
  std::vector<std::string> NamesFromFirstOfSave() const {
    std::vector<std::string> names;
    for (size_t number = firstOfSave; number <= calls.size(); ++number) {
      names.push_back(At(number).name);
    }
    return names;
  }
};

void FindSave(SaveRun& run) {
  for (size_t number = 1; number <= run.calls.size(); ++number) {
    const Call& call = run.At(number);
    if (call.name == "fchmod" && run.firstOfSave == 0) run.firstOfSave = number;
    if (run.firstOfSave == 0 || run.rename != 0) continue;
    if (call.name == "rename") run.rename = number;
    if (call.name == "write" && call.fd == run.At(run.firstOfSave).fd) {
      run.dataWrites.push_back(number);
    }
  }
}

// A call before which a run is killed, and whether a run to the end follows on the same file.
struct KillPoint {
  size_t call = 0;
  bool thenRunAgain = true;
};

// Every call except the writes into the temporary file, and `sampled` of those, spread evenly
// from the first to the last. A kill between two writes always leaves the same behind, a
// temporary file holding the data written so far; the run after it is checked at every tenth.
std::vector<KillPoint> KillPoints(const SaveRun& run, size_t sampled) {
  std::vector<KillPoint> points;
  for (size_t number = 1; number <= run.calls.size(); ++number) {
    if (!std::ranges::binary_search(run.dataWrites, number)) points.push_back({number});
  }
  const size_t writes = run.dataWrites.size();
  sampled = std::min(sampled, writes);
  for (size_t i = 0; i < sampled; ++i) {
    const size_t write = sampled == writes ? i : i * (writes - 1) / (sampled - 1);
    points.push_back({run.dataWrites[write], i % 10 == 0});
  }
  std::ranges::sort(points, {}, &KillPoint::call);
  return points;
}

// The sanitizers want their runtime loaded before any other library; this one goes first on
// purpose.
std::string SanitizerOptions() {
  const char* options = std::getenv("ASAN_OPTIONS");
  return std::string("ASAN_OPTIONS=") + (options ? std::string(options) + ":" : "") +
         "verify_asan_link_order=0";
}

std::vector<std::string> Preloaded(std::vector<std::string> variables) {
  variables.push_back("LD_PRELOAD=" KILL_AT_CALL);
  variables.push_back(SanitizerOptions());
  return variables;
}

// The names in `folder` other than the registry file's.
std::vector<std::string> Leftovers(const fs::path& folder) {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    if (entry.path().filename() != kRegistryName) names.push_back(entry.path().filename());
  }
  return names;
}

// A leftover temporary file must be hidden and named after the registry file, with no ".reg"
// ending that would let it pass for one.
std::optional<std::string> MistakableLeftover(const fs::path& folder) {
  for (const std::string& name : Leftovers(folder)) {
    if (!name.starts_with("." + kRegistryName + ".") || name.ends_with(".reg")) return name;
  }
  return std::nullopt;
}

// Runs cesim on fresh copies of the old registry, to the end or killed at a chosen call.
class Interrupter {
 public:
  Interrupter(const fs::path& folder, std::vector<std::string> options)
      : folder_(folder), options_(std::move(options)) {}

  // Runs to the end with every call logged.
  SaveRun RunToTheEnd() const {
    const fs::path registry = FreshRegistry("whole run");
    const fs::path log = registry.parent_path() / "calls.log";
    const CesimRun run = RunCesim(Arguments(registry), Preloaded({"CALL_LOG=" + log.string()}));
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    SaveRun save;
    save.calls = ReadCallLog(log);
    save.newContent = ReadText(registry);
    FindSave(save);
    fs::remove_all(registry.parent_path());
    return save;
  }

  // Kills a run just before call `point.call` of `save`, checks what it left, then runs again to
  // the end if asked. Gives what is wrong, or nothing.
  std::optional<std::string> Kill(KillPoint point, const SaveRun& save) const {
    const size_t killAt = point.call;
    const fs::path registry = FreshRegistry("killed at " + std::to_string(killAt));
    const fs::path folder = registry.parent_path();
    const CesimRun killed =
        RunCesim(Arguments(registry), Preloaded({"KILL_AT_CALL=" + std::to_string(killAt)}));
    if (killed.exitStatus != kKilled) {
      return "not killed, exit status " + std::to_string(killed.exitStatus) + ": " + killed.err;
    }
    const bool renamed = killAt > save.rename;
    if (ReadText(registry) != (renamed ? save.newContent : OldContent())) {
      return renamed ? "the file does not hold the new content" : "the file was changed";
    }
    const size_t leftovers = Leftovers(folder).size();
    const size_t temporaryFiles = renamed ? 0 : 1;
    if (leftovers > temporaryFiles) return std::to_string(leftovers) + " files left beside it";
    if (auto name = MistakableLeftover(folder)) return "left " + *name + ", mistakable for it";
    if (point.thenRunAgain) return RunAgain(registry, save);
    fs::remove_all(folder);
    return std::nullopt;
  }

 private:
  std::optional<std::string> RunAgain(const fs::path& registry, const SaveRun& save) const {
    const fs::path folder = registry.parent_path();
    const CesimRun again = RunCesim(Arguments(registry));
    if (again.exitStatus != 0) return "the next run failed: " + again.err;
    if (ReadText(registry) != save.newContent) return "the next run wrote other content";
    if (auto name = MistakableLeftover(folder)) return "the next run left " + *name;
    fs::remove_all(folder);
    return std::nullopt;
  }

  fs::path FreshRegistry(const std::string& name) const {
    const fs::path folder = folder_ / name;
    fs::create_directory(folder);
    std::ofstream(folder / kRegistryName, std::ios::binary) << OldContent();
    return folder / kRegistryName;
  }

  std::vector<std::string> Arguments(const fs::path& registry) const {
    std::vector<std::string> arguments = {"--registry", registry.string(), "--answer", "no"};
    arguments.insert(arguments.end(), options_.begin(), options_.end());
    return arguments;
  }

  fs::path folder_;
  std::vector<std::string> options_;
};

// Kills a run at each point, on as many threads as there are cores, and reports every point at
// which something is wrong; stops starting runs after the first.
void ExpectEachKillLeavesTheOldOrTheNewFile(const Interrupter& interrupter, const SaveRun& save,
                                            const std::vector<KillPoint>& points) {
  std::vector<std::optional<std::string>> problems(points.size());
  std::atomic<size_t> next = 0;
  std::atomic<bool> failed = false;
  {
    std::vector<std::jthread> workers;
    for (unsigned i = 0; i < std::max(1u, std::thread::hardware_concurrency()); ++i) {
      workers.emplace_back([&] {
        for (size_t at = next++; at < points.size() && !failed; at = next++) {
          problems[at] = interrupter.Kill(points[at], save);
          if (problems[at]) failed = true;
        }
      });
    }
  }
  for (size_t at = 0; at < points.size(); ++at) {
    if (problems[at]) {
      const size_t call = points[at].call;
      ADD_FAILURE() << "killed before call " << call << " (" << save.At(call).name
                    << "): " << *problems[at];
    }
  }
}

TEST(InterruptedSave, LeavesTheOldOrTheNewFileAtEveryCallOfTheSave) {
  ScratchFolder scratch;
  const Interrupter interrupter(scratch.path(), {});
  const SaveRun save = interrupter.RunToTheEnd();
  ASSERT_TRUE(save.newContent != OldContent());
  ASSERT_GT(save.rename, save.firstOfSave);
  // The library cuts writes short: the data must take more writes than are sampled.
  ASSERT_GT(save.dataWrites.size(), kSampledWrites);
  // The data reach the disk before the name does: the temporary file is synced after its last
  // write and before the rename, or a power loss could leave the name on an empty file.
  const int temporary = save.At(save.firstOfSave).fd;
  size_t synced = 0;
  for (size_t number = save.dataWrites.back() + 1; number < save.rename; ++number) {
    if (save.At(number).name == "fsync" && save.At(number).fd == temporary) synced = number;
  }
  EXPECT_NE(synced, 0u) << "no fsync of the temporary file between its last write and the rename";

  const std::vector<KillPoint> points = KillPoints(save, kSampledWrites);
  ExpectEachKillLeavesTheOldOrTheNewFile(interrupter, save, points);
  RecordProperty("kill_points", static_cast<int>(points.size()));
}

TEST(InterruptedSave, OfTheEmulatedImageMakesTheSameCallsAndLeavesTheOldOrTheNewFile) {
  ScratchFolder scratch;
  const SaveRun native = Interrupter(scratch.path(), {}).RunToTheEnd();
  const Interrupter interrupter(scratch.path(), {"--image", DEVICE_IMAGE});
  const SaveRun save = interrupter.RunToTheEnd();
  ASSERT_TRUE(save.newContent == native.newContent);
  ASSERT_EQ(save.NamesFromFirstOfSave(), native.NamesFromFirstOfSave());
  ASSERT_FALSE(save.dataWrites.empty());

  const size_t middleWrite = save.dataWrites[save.dataWrites.size() / 2];
  ExpectEachKillLeavesTheOldOrTheNewFile(
      interrupter, save, {{save.firstOfSave}, {middleWrite}, {save.rename}, {save.rename + 1}});
}

}  // namespace
