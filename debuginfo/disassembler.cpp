#include "disassembler.h"

#include <capstone/capstone.h>

#include <algorithm>
#include <stdexcept>

namespace debuginfo {
namespace {

csh Open(cs_mode mode) {
  csh handle = 0;
  if (cs_open(CS_ARCH_ARM, mode, &handle) != CS_ERR_OK) {
    throw std::runtime_error("capstone cannot disassemble ARM code");
  }
  cs_option(handle, CS_OPT_DETAIL, CS_OPT_ON);
  return handle;
}

bool WritesPc(csh handle, const cs_insn& instruction) {
  for (uint8_t group : std::span(instruction.detail->groups, instruction.detail->groups_count)) {
    if (group == CS_GRP_JUMP || group == CS_GRP_CALL || group == CS_GRP_RET) return true;
  }
  cs_regs read, written;
  uint8_t readCount = 0, writtenCount = 0;
  if (cs_regs_access(handle, &instruction, read, &readCount, written, &writtenCount) != CS_ERR_OK) {
    return false;
  }
  return std::ranges::find(std::span(written, writtenCount), ARM_REG_PC) !=
         std::span(written, writtenCount).end();
}

}  // namespace

Disassembler::Disassembler() : arm_(Open(CS_MODE_ARM)) {
  try {
    thumb_ = Open(CS_MODE_THUMB);
  } catch (...) {
    cs_close(&arm_);
    throw;
  }
}

Disassembler::~Disassembler() {
  cs_close(&arm_);
  cs_close(&thumb_);
}

std::optional<DecodedInstruction> Disassembler::Decode(uint32_t address,
                                                       std::span<const uint8_t> bytes,
                                                       bool thumb) const {
  const csh handle = thumb ? thumb_ : arm_;
  cs_insn* instruction = nullptr;
  if (cs_disasm(handle, bytes.data(), bytes.size(), address, 1, &instruction) != 1) {
    return std::nullopt;
  }
  DecodedInstruction decoded;
  decoded.text = instruction->mnemonic;
  if (instruction->op_str[0] != '\0') decoded.text += std::string(" ") + instruction->op_str;
  decoded.branch = WritesPc(handle, *instruction);
  if (!thumb && bytes.size() >= 4) {
    decoded.condition = bytes[3] >> 4;
    decoded.conditional = decoded.condition < 14;
  } else {
    const arm_cc cc = instruction->detail->arm.cc;
    decoded.conditional = cc != ARM_CC_AL && cc != ARM_CC_INVALID;
    if (decoded.conditional) decoded.condition = static_cast<unsigned>(cc) - ARM_CC_EQ;
  }
  cs_free(instruction, 1);
  return decoded;
}

bool ConditionHolds(unsigned condition, uint32_t cpsr) {
  const bool n = cpsr >> 31 & 1, z = cpsr >> 30 & 1, c = cpsr >> 29 & 1, v = cpsr >> 28 & 1;
  switch (condition) {
    case 0:
      return z;  // eq
    case 1:
      return !z;  // ne
    case 2:
      return c;  // cs
    case 3:
      return !c;  // cc
    case 4:
      return n;  // mi
    case 5:
      return !n;  // pl
    case 6:
      return v;  // vs
    case 7:
      return !v;  // vc
    case 8:
      return c && !z;  // hi
    case 9:
      return !c || z;  // ls
    case 10:
      return n == v;  // ge
    case 11:
      return n != v;  // lt
    case 12:
      return !z && n == v;  // gt
    case 13:
      return z || n != v;  // le
    default:
      return true;  // al, and the unconditional space
  }
}

}  // namespace debuginfo
