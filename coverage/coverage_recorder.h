// cesim --coverage: counts every instruction of the image a run executes, and for each
// conditional branch how often it was taken and not, then writes them as an lcov tracefile
// against the source lines the ELF file's line table gives.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "execution_observer.h"
#include "program_symbols.h"

namespace coverage {

struct InstructionCounts {
  uint64_t executed = 0;
  uint64_t taken = 0;  // conditional branches only: executed = taken + not taken
  uint64_t notTaken = 0;
};

class CoverageRecorder : public emulator::ExecutionObserver {
 public:
  // The counters span the code sections of `symbols`, which must outlive the recorder.
  explicit CoverageRecorder(const debuginfo::ProgramSymbols& symbols);

  void BeforeInstruction(emulator::Machine& machine, uint32_t address) override;

  // Null for an address outside the code sections.
  const InstructionCounts* CountsAt(uint32_t address) const;
  // Whether the instruction at `address` is a conditional branch (b, bl, bx or a load of the pc
  // with a condition).
  bool IsConditionalBranch(uint32_t address) const;

  const debuginfo::ProgramSymbols& symbols() const { return symbols_; }

 private:
  static constexpr uint8_t kNoCondition = 0xFF;
  const debuginfo::ProgramSymbols& symbols_;
  uint32_t base_ = 0;                      // the first code address
  std::vector<InstructionCounts> counts_;  // one per word from base_
  std::vector<uint8_t> conditions_;  // a conditional branch's condition field, else kNoCondition
};

// The lcov tracefile (geninfo's format: SF/FN/FNDA/BRDA/DA records) for what `recorder` counted.
// Lines with no instruction are left out; a branch never reached shows "-".
std::string LcovTracefile(const CoverageRecorder& recorder);

}  // namespace coverage
