// ARM instructions as text, decoded by capstone (Debian's libcapstone-dev).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace debuginfo {

struct DecodedInstruction {
  std::string text;          // "ldr r0, [r0]"
  bool branch = false;       // may change the pc: b, bl, bx, ldr pc, pop {..., pc}, ...
  bool conditional = false;  // executes only when its condition holds
  unsigned condition = 14;   // the condition field, bits 31..28 (14: always)
};

class Disassembler {
 public:
  Disassembler();  // ARM state; throws std::runtime_error when capstone cannot be opened
  ~Disassembler();
  Disassembler(const Disassembler&) = delete;
  Disassembler& operator=(const Disassembler&) = delete;

  // The instruction `bytes` (4 for ARM, 2 for Thumb) encode at `address`; empty when capstone
  // does not know it.
  std::optional<DecodedInstruction> Decode(uint32_t address, std::span<const uint8_t> bytes,
                                           bool thumb = false) const;

 private:
  size_t arm_ = 0, thumb_ = 0;  // capstone handles
};

// Whether an instruction with condition field `condition` executes under the flags of `cpsr`.
bool ConditionHolds(unsigned condition, uint32_t cpsr);

}  // namespace debuginfo
