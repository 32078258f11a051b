#include "instruction_trace.h"

#include "machine.h"

namespace emulator {

void InstructionTrace::BeforeInstruction(Machine& machine, uint32_t address) {
  std::string text = "(unreadable)";
  if (auto bytes = machine.InstructionBytes(address)) {
    auto decoded = disassembler_.Decode(address, *bytes, machine.InThumbState());
    text = decoded ? decoded->text : "(not an instruction capstone knows)";
  }
  const std::string where = symbols_ ? symbols_->Describe(address) : "";
  out_ << "insn: " << HexAddress(address) << (where.empty() ? "" : " " + where) << ": " << text
       << '\n';
}

}  // namespace emulator
