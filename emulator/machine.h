// A Windows CE ARM image running on an emulated CPU against the simulated device: mapped as the
// device's loader maps it, its core-library imports bound to handlers, its entry started as the
// kernel starts a process.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device.h"
#include "execution_observer.h"
#include "guest_memory.h"
#include "image_loader.h"
#include "platform_call.h"
#include "unicorn_engine.h"

namespace emulator {

enum class CpuModel {
  Pxa270,  // the handheld's XScale, ARMv5TE
  Ti925t,  // a strict ARMv4T core: proves the image needs nothing newer
};

struct MachineSettings {
  CpuModel cpu = CpuModel::Pxa270;
  uint64_t maxInstructions = 1'000'000;
  // Keeps the state once set up, so that Reuse can start the program again: a copy of every page
  // the process may write, which a machine that runs once does not pay for.
  bool reusable = false;
};

class Machine {
 public:
  // Maps `image` and binds its imports; the device answers its platform calls.
  Machine(const LoadedImage& image, device::Device& device, MachineSettings settings);
  Machine(const Machine&) = delete;  // the engine's hooks hold its address
  Machine& operator=(const Machine&) = delete;

  // Runs the image's entry as a new process's main thread and returns its exit status. Throws
  // EmulationFault when the guest faults; whatever the device throws (a reset that takes effect)
  // passes through.
  int Start(HINSTANCE instance, HINSTANCE previous, const char16_t* commandLine, int show);

  // Makes the machine as it was once set up, for a run against `device`: the engine's context and
  // every page the process may write are restored, while the engine keeps the code it has
  // translated, which is most of what setting a machine up costs. False, and nothing done, when
  // the last run changed what a restore does not undo (it faulted, or made a region executable):
  // such a machine is set up anew. Always false for a machine not made reusable.
  bool Reuse(device::Device& device);

  // Instructions the guest executed inside the image (or, broken, on its stack), over every Start
  // since the machine was set up or last reused.
  uint64_t instructionsExecuted() const { return instructions_; }

  // Looking inside a run (execution_observer.h): observers see every instruction of the image and
  // the fault that ends a run (observers are not owned). Fault reports show the faulting
  // instruction disassembled, and what the describer knows of its address (function and line).
  // The first observer adds an engine hook of its own: a run with none pays nothing.
  void Attach(ExecutionObserver& observer);
  void DescribeCodeWith(std::function<std::string(uint32_t address)> describer) {
    describer_ = std::move(describer);
  }
  UnicornEngine& engine() { return engine_; }
  GuestMemory& memory() { return memory_; }
  // The CPU runs Thumb code (CPSR's T bit); the instruction at `address` in that state: 2 bytes
  // in Thumb state, else 4, or none where the process may not read.
  bool InThumbState() const;
  std::optional<std::vector<uint8_t>> InstructionBytes(uint32_t address) const;

  // What the run did that the device allows but that almost certainly means a broken image.
  const std::vector<std::string>& notes() const { return notes_; }

 private:
  struct Stub {
    std::string name;  // "COREDLL.dll!MessageBoxW"
    Handler handler = nullptr;
  };

  void MapImage(const LoadedImage& image);
  void BindImports(const std::vector<ImportBinding>& imports);
  void InstallHooks();
  void SaveSetUp();
  uint32_t PlaceCommandLine(const char16_t* commandLine);
  int Finish(uc_err result);

  static void OnProgramInstruction(uc_engine*, uint64_t address, uint32_t size, void* machine);
  bool CountInstruction();
  static void OnStubInstruction(uc_engine*, uint64_t address, uint32_t size, void* machine);
  static bool OnBadAccess(uc_engine*, uc_mem_type type, uint64_t address, int size, int64_t value,
                          void* machine);
  static void OnInterrupt(uc_engine*, uint32_t number, void* machine);

  void CallStub(uint32_t address);
  bool AllowFetch(uint32_t address);
  void Stop(std::string fault, FaultSignal signal = FaultSignal::Segmentation);
  std::string Report(const std::string& what) const;
  std::string Registers() const;
  std::string InstructionAt(uint32_t address) const;
  std::string CodeAt(uint32_t address) const;  // machine_inspection.cpp
  static void OnObservedInstruction(uc_engine*, uint64_t address, uint32_t size, void* machine);
  void ReportFault(FaultSignal signal);

  struct SavedPages {
    uint32_t address = 0;
    std::vector<uint8_t> bytes;
  };
  struct ContextDeleter {
    void operator()(uc_context* context) const { uc_context_free(context); }
  };

  device::Device* device_;
  MachineSettings settings_;
  UnicornEngine engine_;
  GuestMemory memory_;
  std::unique_ptr<uc_context, ContextDeleter> setUp_;  // the engine's context once set up
  std::vector<SavedPages> writablePages_;              // as they were once set up
  uint32_t imageStart_ = 0, imageEnd_ = 0, entry_ = 0, stackSize_ = 0;
  std::vector<uint32_t> resourceAddresses_;  // where each of the image's resource entries lies
  std::vector<Stub> stubs_;                  // stub 0 ends the process; the others are the imports
  std::vector<std::string> notes_;
  uint64_t instructions_ = 0;
  uint64_t platformCalls_ =
      0;  // routines entered: bounded like instructions, not counted with them
  std::optional<std::string> fault_;
  std::exception_ptr pending_;  // thrown by a handler, rethrown once the engine has stopped
  std::vector<ExecutionObserver*> observers_;
  std::function<std::string(uint32_t address)> describer_;
};

}  // namespace emulator
