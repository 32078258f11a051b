// The machine's side of looking inside a run: calling the observers and describing code in fault
// reports. Kept apart from machine.cpp, which runs the image.
#include "disassembler.h"
#include "machine.h"

namespace emulator {

void Machine::Attach(ExecutionObserver& observer) {
  if (observers_.empty()) {
    // Added after the counting hook: an instruction past the limit stops the engine before an
    // observer sees it.
    uc_hook hook;
    UnicornEngine::Check(uc_hook_add(engine_.get(), &hook, UC_HOOK_CODE,
                                     reinterpret_cast<void*>(&OnObservedInstruction), this,
                                     imageStart_, imageEnd_ - 1),
                         "uc_hook_add");
  }
  observers_.push_back(&observer);
}

// Observers run inside the engine's callbacks, which nothing may unwind through: what one throws
// (a debugger that kills the process) ends the run once the engine has stopped.
void Machine::OnObservedInstruction(uc_engine*, uint64_t address, uint32_t, void* machine) {
  Machine& self = *static_cast<Machine*>(machine);
  try {
    for (ExecutionObserver* observer : self.observers_) {
      observer->BeforeInstruction(self, static_cast<uint32_t>(address));
    }
  } catch (...) {
    self.pending_ = std::current_exception();
    uc_emu_stop(self.engine_.get());
  }
}

void Machine::ReportFault(FaultSignal signal) {
  try {
    for (ExecutionObserver* observer : observers_) observer->OnFault(*this, signal, *fault_);
  } catch (...) {
    if (!pending_) pending_ = std::current_exception();
  }
}

// "; code: ldr r0, [r0] at WinMain+0x10 (update/main.cpp:40)": the instruction as text, and
// where it lies when the describer knows.
std::string Machine::CodeAt(uint32_t address) const {
  const bool thumb = InThumbState();
  std::optional<std::vector<uint8_t>> bytes = InstructionBytes(address);
  if (!bytes) return "";
  std::string text;
  try {
    static const debuginfo::Disassembler disassembler;
    if (auto decoded = disassembler.Decode(address, *bytes, thumb)) text = decoded->text;
  } catch (const std::runtime_error&) {
    // capstone unavailable: the report keeps the instruction word alone
  }
  if (text.empty()) text = "(not an instruction capstone knows)";
  const std::string where = describer_ ? describer_(address) : "";
  return "; code: " + text + (where.empty() ? "" : " at " + where);
}

}  // namespace emulator
