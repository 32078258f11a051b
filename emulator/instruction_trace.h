// cesim --trace-instructions: one line per instruction the image executes, before it executes,
// on the stream the platform-call trace goes to, so that the two interleave in run order.
#pragma once

#include <ostream>

#include "disassembler.h"
#include "execution_observer.h"
#include "program_symbols.h"

namespace emulator {

class InstructionTrace : public ExecutionObserver {
 public:
  // `symbols` may be null: lines then show the address and the disassembly only.
  InstructionTrace(std::ostream& out, const debuginfo::ProgramSymbols* symbols)
      : out_(out), symbols_(symbols) {}

  // "insn: 0x00011130 WinMain+0x0 (update/main.cpp:38): push {r4, r5, r11, lr}"
  void BeforeInstruction(Machine& machine, uint32_t address) override;

 private:
  std::ostream& out_;
  const debuginfo::ProgramSymbols* symbols_;
  debuginfo::Disassembler disassembler_;
};

}  // namespace emulator
