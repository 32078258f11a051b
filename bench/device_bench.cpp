// Costs of the simulated device: reading and writing registry files, looking up the reset
// question, and one whole update run.
#include <benchmark/benchmark.h>

#include <fstream>
#include <sstream>

#include "device.h"
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

void StringLookup(benchmark::State& state) {
  const std::vector<uint8_t> file = ReadBytes(RESOURCE_FILE);
  const auto entries = res::ReadResFile(file, RESOURCE_FILE);
  for (auto _ : state) benchmark::DoNotOptimize(res::FindString(entries, 5020));
}
BENCHMARK(StringLookup);

// One whole run on the factory device, answered No, with every platform call traced.
void WholeRun(benchmark::State& state) {
  const std::vector<uint8_t> factory = ReadBytes(DEFAULT_REGISTRY);
  const auto resources = res::ReadResFile(ReadBytes(RESOURCE_FILE), RESOURCE_FILE);
  device::DeviceSettings settings;
  settings.answer = device::Answer::No;
  settings.trace = true;
  for (auto _ : state) {
    std::ostringstream out;
    std::istringstream in;
    device::Device device(device::Registry::Parse(factory, "factory.reg"), resources, settings,
                          device::Console{out, in, false, 80});
    benchmark::DoNotOptimize(device.Run(&WinMain));
  }
}
BENCHMARK(WholeRun);

}  // namespace

BENCHMARK_MAIN();
