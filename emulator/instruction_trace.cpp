#include "instruction_trace.h"

#include "machine.h"

namespace emulator {

void InstructionTrace::BeforeInstruction(Machine& machine, uint32_t address) {
  const bool thumb = machine.engine().Register(UC_ARM_REG_CPSR) & 0x20;
  std::string text = "(unreadable)";
  if (auto bytes = machine.memory().Read(address, thumb ? 2 : 4)) {
    auto decoded = disassembler_.Decode(address, *bytes, thumb);
    text = decoded ? decoded->text : "(not an instruction capstone knows)";
  }
  const std::string where = symbols_ ? symbols_->Describe(address) : "";
  out_ << "insn: " << HexAddress(address) << (where.empty() ? "" : " " + where) << ": " << text
       << '\n';
}

}  // namespace emulator
