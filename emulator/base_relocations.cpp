// The device walks the blocks until one has a zero size or the directory ends, and fixes up each
// entry by its type. It checks nothing on the way, so a block that runs past the directory or a
// fixup outside the sections corrupts the process; the emulator refuses such an image instead.
#include "base_relocations.h"

#include "binary.h"
#include "pe_format.h"

namespace emulator {
namespace {

using namespace pe;
using binary::Hex;
using binary::Load16;
using binary::Load32;
using binary::Store16;
using binary::Store32;

constexpr uint16_t kJumpAddress = 5;  // IMAGE_REL_BASED_MIPS_JMPADDR

}  // namespace

void ApplyBaseRelocations(std::span<uint8_t> image, uint32_t directoryRva, uint32_t directorySize,
                          uint32_t delta,
                          const std::function<bool(uint64_t rva, uint64_t size)>& insideSections,
                          const std::function<void(const std::string&, const std::string&)>& fail,
                          const std::function<void(const std::string&, const std::string&)>& note) {
  const uint64_t end = uint64_t{directoryRva} + directorySize;
  uint64_t highRva = 0;  // the HIGH fixup waiting for its LOW
  bool highPending = false;
  for (uint64_t block = directoryRva; block < end;) {
    const std::string field = "base relocation block at RVA " + Hex(block);
    if (end - block < sizeof(BaseRelocationBlock)) {
      fail(field, "the " + Hex(directorySize) + "-byte directory ends inside its 8-byte header");
    }
    const uint32_t page = Load32(image, block);
    const uint32_t size = Load32(image, block + 4);
    if (size == 0) return;  // the device stops at an empty block
    if (size < sizeof(BaseRelocationBlock) || size % 2 != 0 || block + size > end) {
      fail(field, "SizeOfBlock " + Hex(size) +
                      ", expected an even size of 8 bytes or more, ending within the " +
                      Hex(directorySize) + "-byte directory");
    }
    for (uint64_t entry = block + sizeof(BaseRelocationBlock); entry < block + size; entry += 2) {
      const uint16_t value = Load16(image, entry);
      const uint16_t type = value >> 12, offset = value & 0xFFF;
      const uint64_t target = uint64_t{page} + offset;
      if (type == IMAGE_REL_BASED_ABSOLUTE || (offset == 0 && page == 0)) continue;
      const std::string entryField = field + ", entry " + Hex(entry - block);
      const bool word = type == IMAGE_REL_BASED_HIGHLOW || type == kJumpAddress;
      if (type <= kJumpAddress && !insideSections(target, word ? 4 : 2)) {
        fail(entryField, "fixes up RVA " + Hex(target) + ", outside the sections");
      }
      switch (type) {
        case IMAGE_REL_BASED_HIGHLOW:
          Store32(image, target, Load32(image, target) + delta);
          break;
        case IMAGE_REL_BASED_HIGH:
          highRva = target;
          highPending = true;
          break;
        case IMAGE_REL_BASED_LOW: {
          uint32_t sum = Load16(image, target) + delta;
          if (highPending) {
            sum += uint32_t{Load16(image, highRva)} << 16;
            Store16(image, highRva, static_cast<uint16_t>((sum + 0x8000) >> 16));
            highPending = false;
          } else {
            sum = static_cast<uint32_t>(static_cast<int16_t>(Load16(image, target))) + delta;
          }
          Store16(image, target, static_cast<uint16_t>(sum));
          break;
        }
        case IMAGE_REL_BASED_HIGHADJ: {
          entry += 2;  // the low half follows as an entry of its own
          if (entry >= block + size)
            fail(entryField, "HIGHADJ without the entry it needs after it");
          const auto low = static_cast<int16_t>(Load16(image, entry));
          const uint32_t adjusted = (static_cast<uint32_t>(low) + delta + 0x8000) >> 16;
          Store16(image, target, static_cast<uint16_t>(Load16(image, target) + adjusted));
          break;
        }
        case kJumpAddress: {  // a 26-bit word address, applied on every processor
          const uint32_t instruction = Load32(image, target);
          const uint32_t field = (instruction & 0x03FFFFFF) + (delta >> 2);
          Store32(image, target, (instruction & 0xFC000000) | (field & 0x03FFFFFF));
          break;
        }
        default:
          note(entryField,
               "type " + std::to_string(type) + ", which the device's loader does not apply");
      }
    }
    block += size;
  }
}

}  // namespace emulator
