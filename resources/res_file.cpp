#include "res_file.h"

#include <algorithm>

#include "binary.h"

namespace res {
namespace {

class ResReader {
 public:
  ResReader(std::span<const uint8_t> bytes, const std::string& fileName)
      : bytes_(bytes), fileName_(fileName) {}

  bool AtEnd() const { return offset_ == bytes_.size(); }
  size_t Offset() const { return offset_; }

  [[noreturn]] void Fail(const std::string& what) const {
    throw ResFileError(fileName_ + ": " + what + " at offset " + std::to_string(offset_));
  }

  void Need(size_t count, const char* what) const {
    if (bytes_.size() - offset_ < count) Fail(std::string("truncated ") + what);
  }

  uint16_t U16(const char* what) { return Number<uint16_t>(what); }
  uint32_t U32(const char* what) { return Number<uint32_t>(what); }

  ResourceId Id(const char* what) {
    uint16_t first = U16(what);
    if (first == 0xFFFF) return U16(what);
    std::u16string name;
    for (uint16_t unit = first; unit != 0; unit = U16(what)) name.push_back(unit);
    return name;
  }

  void AlignTo4() { offset_ = std::min(bytes_.size(), (offset_ + 3) & ~size_t{3}); }

  std::vector<uint8_t> Take(size_t count, const char* what) {
    Need(count, what);
    std::vector<uint8_t> data(bytes_.begin() + offset_, bytes_.begin() + offset_ + count);
    offset_ += count;
    return data;
  }

 private:
  template <std::unsigned_integral T>
  T Number(const char* what) {
    Need(sizeof(T), what);
    const T value = binary::Load<T>(bytes_, offset_);
    offset_ += sizeof(T);
    return value;
  }

  std::span<const uint8_t> bytes_;
  const std::string& fileName_;
  size_t offset_ = 0;
};

constexpr uint32_t kMinHeaderSize = 32;  // header with two ordinal ids

ResourceEntry ReadEntry(ResReader& reader) {
  size_t start = reader.Offset();
  uint32_t dataSize = reader.U32("resource header");
  uint32_t headerSize = reader.U32("resource header");
  if (headerSize < kMinHeaderSize || headerSize % 4 != 0) {
    reader.Fail("bad resource header size " + std::to_string(headerSize));
  }
  reader.Need(headerSize - 8, "resource header");
  ResourceEntry entry;
  entry.type = reader.Id("resource type");
  entry.name = reader.Id("resource name");
  reader.AlignTo4();
  entry.dataVersion = reader.U32("resource header");
  entry.memoryFlags = reader.U16("resource header");
  entry.language = reader.U16("resource header");
  entry.version = reader.U32("resource header");
  entry.characteristics = reader.U32("resource header");
  if (reader.Offset() != start + headerSize) reader.Fail("resource header size does not match");
  entry.data = reader.Take(dataSize, "resource data");
  reader.AlignTo4();
  return entry;
}

bool IsEmptyEntry(const ResourceEntry& entry) {
  return entry.data.empty() && entry.type == ResourceId{uint16_t{0}} &&
         entry.name == ResourceId{uint16_t{0}};
}

}  // namespace

std::vector<ResourceEntry> ReadResFile(std::span<const uint8_t> bytes,
                                       const std::string& fileName) {
  ResReader reader(bytes, fileName);
  if (reader.AtEnd()) reader.Fail("empty file, not a resource file");
  if (!IsEmptyEntry(ReadEntry(reader)))
    reader.Fail("missing the empty entry that opens a .res file");
  std::vector<ResourceEntry> entries;
  while (!reader.AtEnd()) entries.push_back(ReadEntry(reader));
  return entries;
}

std::optional<StringLocation> LocateString(const std::vector<ResourceEntry>& entries, uint32_t id) {
  if (id > 0xFFFF) return std::nullopt;
  const ResourceId block = static_cast<uint16_t>((id >> 4) + 1);
  const ResourceEntry* first = nullptr;
  for (const ResourceEntry& entry : entries) {
    if (entry.type != ResourceId{RT_STRING} || entry.name != block) continue;
    if (first == nullptr || entry.language < first->language) first = &entry;
  }
  if (first == nullptr) return std::nullopt;
  // A block holds sixteen length-prefixed UTF-16 strings.
  const std::vector<uint8_t>& data = first->data;
  size_t offset = 0;
  auto unitAt = [&](size_t at) { return static_cast<char16_t>(binary::Load16(data, at)); };
  for (uint32_t index = 0; offset + 2 <= data.size(); ++index) {
    size_t length = unitAt(offset);
    offset += 2;
    if (offset + 2 * length > data.size()) return std::nullopt;
    if (index == (id & 15)) {
      StringLocation location{first, offset, {}};
      for (size_t i = 0; i < length; ++i) location.text.push_back(unitAt(offset + 2 * i));
      return location;
    }
    offset += 2 * length;
  }
  return std::nullopt;
}

}  // namespace res
