// capstone is loaded when the first Disassembler is made, not when the program starts: its
// shared library carries some 77,000 relocations, which would otherwise slow every cesim run,
// including the many that never disassemble anything (see shared_library.h).
#include "disassembler.h"

#include <capstone/capstone.h>

#include <algorithm>
#include <stdexcept>

#include "shared_library.h"

namespace debuginfo {
namespace {

// The capstone routines used here, looked up in the library once.
struct Capstone {
  decltype(&::cs_open) cs_open = nullptr;
  decltype(&::cs_option) cs_option = nullptr;
  decltype(&::cs_disasm) cs_disasm = nullptr;
  decltype(&::cs_free) cs_free = nullptr;
  decltype(&::cs_close) cs_close = nullptr;
  decltype(&::cs_regs_access) cs_regs_access = nullptr;
};

// Throws std::runtime_error when the library or a routine is missing.
const Capstone& Library() {
  static const Capstone capstone = [] {
    const SharedLibrary library("capstone", {"libcapstone.so.4", "libcapstone.so"});
    Capstone found;
    library.Find("cs_open", found.cs_open);
    library.Find("cs_option", found.cs_option);
    library.Find("cs_disasm", found.cs_disasm);
    library.Find("cs_free", found.cs_free);
    library.Find("cs_close", found.cs_close);
    library.Find("cs_regs_access", found.cs_regs_access);
    return found;
  }();
  return capstone;
}

csh Open(cs_mode mode) {
  const Capstone& capstone = Library();
  csh handle = 0;
  if (capstone.cs_open(CS_ARCH_ARM, mode, &handle) != CS_ERR_OK) {
    throw std::runtime_error("capstone cannot disassemble ARM code");
  }
  capstone.cs_option(handle, CS_OPT_DETAIL, CS_OPT_ON);
  return handle;
}

bool WritesPc(csh handle, const cs_insn& instruction) {
  for (uint8_t group : std::span(instruction.detail->groups, instruction.detail->groups_count)) {
    if (group == CS_GRP_JUMP || group == CS_GRP_CALL || group == CS_GRP_RET) return true;
  }
  cs_regs read, written;
  uint8_t readCount = 0, writtenCount = 0;
  if (Library().cs_regs_access(handle, &instruction, read, &readCount, written, &writtenCount) !=
      CS_ERR_OK) {
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
    Library().cs_close(&arm_);
    throw;
  }
}

Disassembler::~Disassembler() {
  Library().cs_close(&arm_);
  Library().cs_close(&thumb_);
}

std::optional<DecodedInstruction> Disassembler::Decode(uint32_t address,
                                                       std::span<const uint8_t> bytes,
                                                       bool thumb) const {
  const csh handle = thumb ? thumb_ : arm_;
  cs_insn* instruction = nullptr;
  const Capstone& capstone = Library();
  if (capstone.cs_disasm(handle, bytes.data(), bytes.size(), address, 1, &instruction) != 1) {
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
  capstone.cs_free(instruction, 1);
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
