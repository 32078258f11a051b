// What looks at a run while it happens: the instruction trace, the coverage recorder and the
// debugger stub. The machine calls each observer attached to it; the first one attached adds the
// engine hook that calls them, so a run with none pays nothing for them.
#pragma once

#include <cstdint>
#include <string>

namespace emulator {

class Machine;

// The signals a fault is reported to a debugger with, numbered as GDB numbers them.
enum class FaultSignal : int { Illegal = 4, Segmentation = 11 };

class ExecutionObserver {
 public:
  virtual ~ExecutionObserver() = default;
  // Before the instruction at `address` inside the image executes.
  virtual void BeforeInstruction(Machine& machine, uint32_t address) = 0;
  // The run is about to end with `report`, a fault, while the engine still holds the faulting
  // state (the pc at the faulting instruction).
  virtual void OnFault(Machine&, FaultSignal, const std::string& /*report*/) {}
};

}  // namespace emulator
