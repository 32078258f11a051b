// Whatever image the loader accepts is mapped, bound and run on the emulated CPU against the
// simulated device: the run ends with the process's exit, a reset, or an EmulationFault with a
// one-line report, and nothing else.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>

#include "device.h"
#include "image_loader.h"
#include "machine.h"

namespace {

constexpr uint64_t kMaxInstructions = 20'000;  // enough for the update, which needs 283

const device::Registry& FactoryRegistry() {
  static const device::Registry registry = device::Registry::Load(FACTORY_REGISTRY);
  return registry;
}

bool OneLine(const char* message) {
  return *message != '\0' && !std::strchr(message, '\n');
}

void Run(const emulator::LoadedImage& image) {
  device::DeviceSettings settings;
  settings.answer = device::Answer::No;
  std::ostringstream out;
  std::istringstream in;
  device::Device device(FactoryRegistry(), image.resources, settings, {out, in, false, 80});
  emulator::Machine machine(image, device, {emulator::CpuModel::Pxa270, kMaxInstructions});
  try {
    device.Run([&](HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show) {
      return machine.Start(instance, previous, commandLine, show);
    });
  } catch (const emulator::EmulationFault& fault) {
    if (!OneLine(fault.what())) __builtin_trap();
  }
  if (machine.instructionsExecuted() > kMaxInstructions) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  emulator::LoadedImage image;
  try {
    image = emulator::LoadImage({data, size}, "fuzz.exe");
  } catch (const emulator::ImageError&) {
    return 0;  // the loader's own target checks its refusals
  }
  Run(image);
  return 0;
}
