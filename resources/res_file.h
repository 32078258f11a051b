// Reader of compiled resource files (.res): the entries llvm-rc writes, in file order.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace res {

constexpr uint16_t RT_STRING = 6;
constexpr uint16_t RT_VERSION = 16;

// A resource type or name: a 16-bit ordinal or a UTF-16 string.
using ResourceId = std::variant<uint16_t, std::u16string>;

struct ResourceEntry {
  ResourceId type;
  ResourceId name;
  uint32_t dataVersion = 0;
  uint16_t memoryFlags = 0;
  uint16_t language = 0;
  uint32_t version = 0;
  uint32_t characteristics = 0;
  std::vector<uint8_t> data;
};

// A .res file that is not well formed; what() names the file and the problem.
struct ResFileError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The entries of a .res image, without the empty entry that opens the file. `fileName` is used in
// error messages only.
std::vector<ResourceEntry> ReadResFile(std::span<const uint8_t> bytes, const std::string& fileName);

// String `id` of an RT_STRING table, looked up as the device's loader does: block (id >> 4) + 1,
// the entry with the lowest language of that block, string id & 15. Found: the block's entry, the
// byte offset of the string's first unit (after its length) in the block's data, and the text.
struct StringLocation {
  const ResourceEntry* block = nullptr;
  size_t offset = 0;
  std::u16string text;
};
std::optional<StringLocation> LocateString(const std::vector<ResourceEntry>& entries, uint32_t id);

}  // namespace res
