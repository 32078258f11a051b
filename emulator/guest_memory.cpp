#include "guest_memory.h"

#include <algorithm>

namespace emulator {
namespace {

uint32_t UnicornProtection(uint32_t protection) {
  return ((protection & kRead) ? UC_PROT_READ : 0) | ((protection & kWrite) ? UC_PROT_WRITE : 0) |
         ((protection & kExecute) ? UC_PROT_EXEC : 0);
}

constexpr uint32_t kMaxStringUnits = 0x10000;  // longer than any string a platform call takes

}  // namespace

void GuestMemory::Map(const GuestRegion& region) {
  UnicornEngine::Check(
      uc_mem_map(engine_.get(), region.address, region.size, UnicornProtection(region.protection)),
      "uc_mem_map");
  regions_.push_back(region);
  std::sort(regions_.begin(), regions_.end(),
            [](const GuestRegion& a, const GuestRegion& b) { return a.address < b.address; });
}

bool GuestMemory::AllowFetches(uint32_t address) {
  const GuestRegion* region = RegionAt(address);
  return region != nullptr &&
         uc_mem_protect(engine_.get(), region->address, region->size,
                        UnicornProtection(region->protection | kExecute)) == UC_ERR_OK;
}

void GuestMemory::Load(uint32_t address, const std::vector<uint8_t>& bytes) {
  UnicornEngine::Check(uc_mem_write(engine_.get(), address, bytes.data(), bytes.size()),
                       "uc_mem_write");
}

const GuestRegion* GuestMemory::RegionAt(uint32_t address) const {
  for (const GuestRegion& region : regions_) {
    if (address >= region.address && address - region.address < region.size) return &region;
  }
  return nullptr;
}

std::string GuestMemory::Describe(uint32_t address) const {
  return HexAddress(address) + " (" + RegionName(address) + ")";
}

std::string GuestMemory::RegionName(uint32_t address) const {
  const GuestRegion* region = RegionAt(address);
  return region ? region->name : "unmapped";
}

bool GuestMemory::Allows(uint32_t address, uint32_t size, uint32_t protection) const {
  uint64_t at = address;
  const uint64_t end = uint64_t{address} + size;
  while (at < end) {  // a range may span neighbouring regions
    const GuestRegion* region = RegionAt(static_cast<uint32_t>(at));
    if (region == nullptr || (region->protection & protection) != protection) return false;
    at = uint64_t{region->address} + region->size;
  }
  return true;
}

std::optional<std::vector<uint8_t>> GuestMemory::Read(uint32_t address, uint32_t size) const {
  if (!Allows(address, size, kRead)) return std::nullopt;
  std::vector<uint8_t> bytes(size);
  UnicornEngine::Check(uc_mem_read(engine_.get(), address, bytes.data(), size), "uc_mem_read");
  return bytes;
}

bool GuestMemory::Write(uint32_t address, const std::vector<uint8_t>& bytes) {
  if (!Allows(address, static_cast<uint32_t>(bytes.size()), kWrite)) return false;
  Load(address, bytes);
  return true;
}

std::optional<uint32_t> GuestMemory::ReadWord(uint32_t address) const {
  std::optional<std::vector<uint8_t>> bytes = Read(address, 4);
  if (!bytes) return std::nullopt;
  return binary::Load32(*bytes, 0);
}

bool GuestMemory::WriteWord(uint32_t address, uint32_t value) {
  return Write(address, LittleEndianWord(value));
}

std::optional<std::u16string> GuestMemory::ReadString(uint32_t address) const {
  std::u16string text;
  for (uint32_t at = address; text.size() < kMaxStringUnits; at += 2) {
    std::optional<std::vector<uint8_t>> unit = Read(at, 2);
    if (!unit) return std::nullopt;
    const char16_t value = static_cast<char16_t>(binary::Load16(*unit, 0));
    if (value == 0) return text;
    text += value;
  }
  return std::nullopt;
}

}  // namespace emulator
