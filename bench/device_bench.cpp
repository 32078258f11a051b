// Costs of the simulated device: reading and writing registry files, looking up the reset
// question, and one whole update run, native and with the device image emulated.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "device.h"
#include "image_loader.h"
#include "machine.h"
#include "trace_output.h"
#include "update.h"

namespace {

std::vector<uint8_t> ReadBytes(const char* file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The factory registry with `copies` more subtrees of the same shape, as a larger device has.
std::vector<uint8_t> LargeRegistry(int copies) {
  std::vector<uint8_t> factory = ReadBytes(DEFAULT_REGISTRY);
  std::string text(factory.begin(), factory.end());
  std::string large = text;
  for (int i = 0; i < copies; ++i) {
    std::string copy = text.substr(text.find("\n[") + 1);
    for (size_t at = copy.find("[HKEY_"); at != std::string::npos;
         at = copy.find("[HKEY_", at + 1)) {
      copy.insert(copy.find(']', at), "\\Copy" + std::to_string(i));
    }
    large += "\n" + copy;
  }
  return {large.begin(), large.end()};
}

void RegistryParse(benchmark::State& state) {
  const std::vector<uint8_t> file = LargeRegistry(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(device::Registry::Parse(file, "bench.reg"));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.size()));
}
BENCHMARK(RegistryParse)->Arg(0)->Arg(100);

void RegistrySerialize(benchmark::State& state) {
  const std::vector<uint8_t> file = LargeRegistry(static_cast<int>(state.range(0)));
  const device::Registry registry = device::Registry::Parse(file, "bench.reg");
  for (auto _ : state) benchmark::DoNotOptimize(registry.Serialize());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.size()));
}
BENCHMARK(RegistrySerialize)->Arg(0)->Arg(100);

// What a run changed: one value set since the recording started.
void RegistryRecordedChanges(benchmark::State& state) {
  device::Registry registry =
      device::Registry::Parse(LargeRegistry(static_cast<int>(state.range(0))), "bench.reg");
  registry.StartRecordingChanges();
  registry.SetValue(u"HKEY_LOCAL_MACHINE\\System\\StorageManager\\Profiles\\MMC", u"Folder", 1,
                    {'S', 0, 0, 0});
  for (auto _ : state) benchmark::DoNotOptimize(registry.RecordedChanges());
}
BENCHMARK(RegistryRecordedChanges)->Arg(0)->Arg(100);

// A registry file of about `megabytes` MB: the factory registry and as many renamed copies of its
// keys as fill it, written piece by piece so that making it costs little memory.
std::filesystem::path LargeRegistryFile(size_t megabytes) {
  const std::filesystem::path file = std::filesystem::temp_directory_path() /
                                     ("device_bench_" + std::to_string(megabytes) + "mb.reg");
  if (std::filesystem::exists(file)) return file;
  const std::vector<uint8_t> factory = ReadBytes(DEFAULT_REGISTRY);
  const std::string text(factory.begin(), factory.end());
  const std::string keys = text.substr(text.find("\n[") + 1);
  std::ofstream out(file, std::ios::binary);
  out << text;
  size_t written = text.size();
  for (int copy = 0; written < megabytes * 1'000'000; ++copy) {
    std::string renamed = keys;
    for (size_t at = renamed.find("[HKEY_"); at != std::string::npos;
         at = renamed.find("[HKEY_", at + 1)) {
      renamed.insert(renamed.find(']', at), "\\Copy" + std::to_string(copy));
    }
    out << '\n' << renamed;
    written += renamed.size() + 1;
  }
  return file;
}

double PeakMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// Reading the same 50 MB file alone.
void RegistryFileRead(benchmark::State& state) {
  const std::filesystem::path file = LargeRegistryFile(50);
  for (auto _ : state) benchmark::DoNotOptimize(device::Registry::Load(file));
  state.SetBytesProcessed(
      static_cast<int64_t>(state.iterations() * std::filesystem::file_size(file)));
  state.counters["peak MB"] = PeakMegabytes();
}
BENCHMARK(RegistryFileRead)->Unit(benchmark::kMillisecond)->Iterations(2);

// Saving the same file with one value changed, read once before.
void RegistryFileSave(benchmark::State& state) {
  const std::filesystem::path file = LargeRegistryFile(50);
  const std::filesystem::path saved = file.string() + ".saved";
  device::Registry registry = device::Registry::Load(file);
  registry.SetValue(u"HKEY_LOCAL_MACHINE\\System\\StorageManager\\Profiles\\MMC", u"Folder",
                    device::kRegSz, {'S', 0, 0, 0});
  for (auto _ : state) registry.Save(saved);
  state.SetBytesProcessed(
      static_cast<int64_t>(state.iterations() * std::filesystem::file_size(file)));
  std::filesystem::remove(saved);
}
BENCHMARK(RegistryFileSave)->Unit(benchmark::kMillisecond)->Iterations(3);

// What a run with a registry file costs: read a 50 MB file, set one value, save it.
void RegistryFileRun(benchmark::State& state) {
  const std::filesystem::path file = LargeRegistryFile(50);
  const std::filesystem::path saved = file.string() + ".saved";
  std::filesystem::copy_file(file, saved, std::filesystem::copy_options::overwrite_existing);
  const double peakBefore = PeakMegabytes();
  int round = 0;
  for (auto _ : state) {
    device::Registry registry = device::Registry::Load(saved);
    const char16_t folder[] = {u'S', static_cast<char16_t>(u'0' + round++ % 10), 0};
    registry.SetValue(u"HKEY_LOCAL_MACHINE\\System\\StorageManager\\Profiles\\MMC", u"Folder",
                      device::kRegSz,
                      std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(folder),
                                           reinterpret_cast<const uint8_t*>(folder + 3)));
    registry.Save(saved);
  }
  state.SetBytesProcessed(
      static_cast<int64_t>(state.iterations() * std::filesystem::file_size(file)));
  state.counters["file MB"] = static_cast<double>(std::filesystem::file_size(file)) / 1e6;
  state.counters["peak MB"] = PeakMegabytes();
  state.counters["peak MB before"] = peakBefore;
  std::filesystem::remove(saved);
}
BENCHMARK(RegistryFileRun)->Unit(benchmark::kMillisecond)->Iterations(1);

void StringLookup(benchmark::State& state) {
  const std::vector<uint8_t> file = ReadBytes(RESOURCE_FILE);
  const auto entries = res::ReadResFile(file, RESOURCE_FILE);
  for (auto _ : state) benchmark::DoNotOptimize(res::LocateString(entries, 5020));
}
BENCHMARK(StringLookup);

device::DeviceSettings AnsweredNo() {
  device::DeviceSettings settings;
  settings.answer = device::Answer::No;
  return settings;
}

// A console that writes every call's text trace line between the boxes, as cesim --trace does.
device::Console Traced(std::ostream& out, std::istream& in) {
  device::Console console{out, in, false, 80};
  console.calls = [&out](const device::CallRecord& call) {
    out << "trace: " << cesim::CallAsText(call) << '\n';
  };
  return console;
}

// One whole run on the factory device, answered No, with every platform call traced.
void WholeRun(benchmark::State& state) {
  const std::vector<uint8_t> factory = ReadBytes(DEFAULT_REGISTRY);
  const auto resources = res::ReadResFile(ReadBytes(RESOURCE_FILE), RESOURCE_FILE);
  for (auto _ : state) {
    std::ostringstream out;
    std::istringstream in;
    device::Device device(device::Registry::Parse(factory, "factory.reg"), resources, AnsweredNo(),
                          Traced(out, in));
    benchmark::DoNotOptimize(device.Run(&WinMain));
  }
}
BENCHMARK(WholeRun);

// Reading and checking the device image, as every emulated run starts.
void ImageLoad(benchmark::State& state) {
  const std::vector<uint8_t> file = ReadBytes(DEVICE_IMAGE);
  for (auto _ : state) benchmark::DoNotOptimize(emulator::LoadImage(file, DEVICE_IMAGE));
}
BENCHMARK(ImageLoad);

// The same run as WholeRun with the device image on the emulated CPU (0: XScale, 1: ARMv4T):
// loading, mapping, binding, executing and the platform calls.
void EmulatedWholeRun(benchmark::State& state) {
  const std::vector<uint8_t> factory = ReadBytes(DEFAULT_REGISTRY);
  const emulator::LoadedImage image = emulator::LoadImage(ReadBytes(DEVICE_IMAGE), DEVICE_IMAGE);
  const emulator::CpuModel cpu =
      state.range(0) == 0 ? emulator::CpuModel::Pxa270 : emulator::CpuModel::Ti925t;
  uint64_t instructions = 0;
  for (auto _ : state) {
    std::ostringstream out;
    std::istringstream in;
    device::Device device(device::Registry::Parse(factory, "factory.reg"), image.resources,
                          AnsweredNo(), Traced(out, in));
    emulator::Machine machine(image, device, {cpu, 1'000'000});
    benchmark::DoNotOptimize(
        device.Run([&](HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show) {
          return machine.Start(instance, previous, commandLine, show);
        }));
    instructions += machine.instructionsExecuted();
  }
  state.counters["guest instructions/s"] =
      benchmark::Counter(static_cast<double>(instructions), benchmark::Counter::kIsRate);
}
BENCHMARK(EmulatedWholeRun)->Arg(0)->Arg(1);

// A guest that never returns, stopped by the instruction limit: the emulator's raw speed with
// every instruction counted.
void EmulatedEndlessLoop(benchmark::State& state) {
  if (!std::filesystem::exists(ENDLESS_LOOP_IMAGE)) {
    state.SkipWithError("the test images are not built (BUILD_TESTING is off)");
    return;
  }
  const emulator::LoadedImage image =
      emulator::LoadImage(ReadBytes(ENDLESS_LOOP_IMAGE), ENDLESS_LOOP_IMAGE);
  constexpr uint64_t kLimit = 1'000'000;
  for (auto _ : state) {
    std::ostringstream out;
    std::istringstream in;
    device::Device device(device::Registry::Parse(ReadBytes(DEFAULT_REGISTRY), "factory.reg"),
                          image.resources, {}, device::Console{out, in, false, 80});
    emulator::Machine machine(image, device, {emulator::CpuModel::Pxa270, kLimit});
    try {
      device.Run([&](HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show) {
        return machine.Start(instance, previous, commandLine, show);
      });
    } catch (const emulator::EmulationFault&) {
    }
  }
  state.counters["guest instructions/s"] = benchmark::Counter(
      static_cast<double>(state.iterations() * kLimit), benchmark::Counter::kIsRate);
}
BENCHMARK(EmulatedEndlessLoop)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
