// cesim --coverage: counts every instruction of the image a run reaches, and for each conditional
// (predicated) instruction how often its condition held and not, then writes them as an lcov
// tracefile against the source lines the ELF file's line table gives: a predicated instruction is
// a branch there (taken when its condition held), and counts for its line only when it executed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "execution_observer.h"
#include "program_symbols.h"

namespace coverage {

struct InstructionCounts {
  uint64_t executed = 0;  // reached, whether or not its condition held
  uint64_t taken = 0;     // conditional instructions only: executed = taken + not taken
  uint64_t notTaken = 0;
};

class CoverageRecorder : public emulator::ExecutionObserver {
 public:
  // The counters span the code sections of `symbols`, which must outlive the recorder.
  explicit CoverageRecorder(const debuginfo::ProgramSymbols& symbols);

  void BeforeInstruction(emulator::Machine& machine, uint32_t address) override;

  // Null for an address outside the code sections.
  const InstructionCounts* CountsAt(uint32_t address) const;
  // Whether the instruction at `address` executes only under a condition (a branch, or any other
  // predicated instruction such as `strne` or `movlo`).
  bool IsConditional(uint32_t address) const;

  const debuginfo::ProgramSymbols& symbols() const { return symbols_; }

 private:
  static constexpr uint8_t kNoCondition = 0xFF;
  const debuginfo::ProgramSymbols& symbols_;
  uint32_t base_ = 0;                      // the first code address
  std::vector<InstructionCounts> counts_;  // one per word from base_
  std::vector<uint8_t>
      conditions_;  // a conditional instruction's condition field, else kNoCondition
};

// The lcov tracefile (geninfo's format: SF/FN/FNDA/BRDA/DA records) for what `recorder` counted.
// Lines with no instruction are left out; a branch never reached shows "-".
std::string LcovTracefile(const CoverageRecorder& recorder);

}  // namespace coverage
