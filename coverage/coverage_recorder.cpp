#include "coverage_recorder.h"

#include <algorithm>
#include <map>

#include "disassembler.h"
#include "machine.h"

namespace coverage {

CoverageRecorder::CoverageRecorder(const debuginfo::ProgramSymbols& symbols) : symbols_(symbols) {
  uint32_t end = 0;
  base_ = UINT32_MAX;
  for (const debuginfo::ProgramSection& section : symbols.sections()) {
    if (!section.executable) continue;
    base_ = std::min(base_, section.address);
    end = std::max(end, section.address + section.size);
  }
  if (end <= base_) return;  // no code: nothing to count
  counts_.resize((end - base_ + 3) / 4);
  conditions_.assign(counts_.size(), kNoCondition);
  const debuginfo::Disassembler disassembler;
  for (const debuginfo::ProgramSection& section : symbols.sections()) {
    if (!section.executable || section.zeroFilled) continue;
    for (uint32_t offset = 0; offset + 4 <= section.bytes.size(); offset += 4) {
      const uint32_t address = section.address + offset;
      if (!symbols.IsInstruction(address)) continue;
      auto decoded =
          disassembler.Decode(address, std::span<const uint8_t>(section.bytes).subspan(offset, 4));
      // Every predicated instruction is a decision, a branch or not: `strne` stores only when
      // its condition holds.
      if (decoded && decoded->conditional) {
        conditions_[(address - base_) / 4] = static_cast<uint8_t>(decoded->condition);
      }
    }
  }
}

void CoverageRecorder::BeforeInstruction(emulator::Machine& machine, uint32_t address) {
  const uint32_t index = (address - base_) / 4;
  if (address < base_ || index >= counts_.size()) return;
  InstructionCounts& counts = counts_[index];
  ++counts.executed;
  if (conditions_[index] == kNoCondition) return;
  const uint32_t cpsr = machine.engine().Register(UC_ARM_REG_CPSR);
  ++(debuginfo::ConditionHolds(conditions_[index], cpsr) ? counts.taken : counts.notTaken);
}

const InstructionCounts* CoverageRecorder::CountsAt(uint32_t address) const {
  const uint32_t index = (address - base_) / 4;
  if (address < base_ || index >= counts_.size()) return nullptr;
  return &counts_[index];
}

bool CoverageRecorder::IsConditional(uint32_t address) const {
  const uint32_t index = (address - base_) / 4;
  return address >= base_ && index < conditions_.size() && conditions_[index] != kNoCondition;
}

namespace {

struct LineCounts {
  uint64_t hits = 0;  // the most any of the line's instructions ran
  std::vector<const InstructionCounts*> branches;
};

struct FileCounts {
  std::map<int, LineCounts> lines;
  std::vector<std::pair<const debuginfo::Function*, int>> functions;  // with their first line
};

}  // namespace

std::string LcovTracefile(const CoverageRecorder& recorder) {
  const debuginfo::ProgramSymbols& symbols = recorder.symbols();
  std::map<std::string, FileCounts> files;
  for (uint32_t address : symbols.Instructions()) {
    const debuginfo::CodeLocation location = symbols.Locate(address);
    const InstructionCounts* counts = recorder.CountsAt(address);
    if (!location.line || location.line->line == 0 || !counts) continue;
    LineCounts& line = files[location.line->file].lines[location.line->line];
    // A line ran when one of its instructions did: a predicated one only when its condition held.
    const bool conditional = recorder.IsConditional(address);
    line.hits = std::max(line.hits, conditional ? counts->taken : counts->executed);
    if (conditional) line.branches.push_back(counts);
  }
  for (const debuginfo::Function& function : symbols.functions()) {
    const debuginfo::CodeLocation location = symbols.Locate(function.address);
    if (!location.line || location.line->line == 0) continue;
    files[location.line->file].functions.emplace_back(&function, location.line->line);
  }
  std::string out;
  auto record = [&out](const std::string& line) { out += line + '\n'; };
  for (const auto& [file, counts] : files) {
    record("TN:");
    record("SF:" + file);
    size_t functionsHit = 0;
    for (const auto& [function, line] : counts.functions) {
      record("FN:" + std::to_string(line) + "," + function->name);
    }
    for (const auto& [function, line] : counts.functions) {
      const InstructionCounts* entry = recorder.CountsAt(function->address);
      const uint64_t calls = entry ? entry->executed : 0;
      functionsHit += calls > 0;
      record("FNDA:" + std::to_string(calls) + "," + function->name);
    }
    record("FNF:" + std::to_string(counts.functions.size()));
    record("FNH:" + std::to_string(functionsHit));
    size_t branchesFound = 0, branchesHit = 0;
    for (const auto& [line, entry] : counts.lines) {
      for (size_t block = 0; block < entry.branches.size(); ++block) {
        const InstructionCounts& branch = *entry.branches[block];
        const uint64_t outcomes[] = {branch.taken, branch.notTaken};
        for (int which = 0; which < 2; ++which) {
          ++branchesFound;
          branchesHit += outcomes[which] > 0;
          record("BRDA:" + std::to_string(line) + "," + std::to_string(block) + "," +
                 std::to_string(which) + "," +
                 (branch.executed == 0 ? "-" : std::to_string(outcomes[which])));
        }
      }
    }
    record("BRF:" + std::to_string(branchesFound));
    record("BRH:" + std::to_string(branchesHit));
    size_t linesHit = 0;
    for (const auto& [line, entry] : counts.lines) {
      linesHit += entry.hits > 0;
      record("DA:" + std::to_string(line) + "," + std::to_string(entry.hits));
    }
    record("LF:" + std::to_string(counts.lines.size()));
    record("LH:" + std::to_string(linesHit));
    record("end_of_record");
  }
  return out;
}

}  // namespace coverage
