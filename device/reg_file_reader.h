// Reading a .reg file into an index of where each key and value is written, and reading a value's
// data back from its place in the text. The text itself is kept as read, so that a value that is
// set later can be rewritten where it stands and everything else stays as it was.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reg_text.h"
#include "reg_value.h"

namespace device {

enum class RegFileHeader { kNone, kRegedit4, kRegedit5 };

namespace regfile {

constexpr uint32_t kNotInFile = std::numeric_limits<uint32_t>::max();
constexpr int32_t kNotSet = -1;
// Offsets into the text are 32-bit. A file's bytes become at most three times as many bytes of
// UTF-8 text (Windows-1252 0x80 is U+20AC), so a file at the limit still fits.
constexpr size_t kMaxFileSize = size_t{1} << 30;
constexpr size_t kMaxTextSize = 3 * kMaxFileSize;
static_assert(kMaxTextSize <= std::numeric_limits<uint32_t>::max());

struct ValueEntry {
  uint32_t nameBegin = kNotInFile;  // the '"' or '@' that starts the value line; kNotInFile: added
  uint32_t dataBegin = 0;           // the data's first character ...
  uint32_t dataEnd = 0;             // ... and the end of its last item, before any comment
  int32_t set = kNotSet;            // the value as a run set it (index in the registry), if it did
};

struct KeyEntry {
  uint32_t pathBegin = 0;  // in the text, or in the registry's added paths when !inFile
  uint32_t pathLength = 0;
  uint32_t insertAt = 0;  // where a new value line goes: after the last line of the key's values
  bool inFile = true;
  std::vector<ValueEntry> values;
};

// Keys by the hash of their folded path: open addressing, at most three quarters full, so that a
// lookup costs a probe or two and a file's keys cost no allocation each.
class KeyIndex {
 public:
  // The first key with this hash for which `matches(index)` holds.
  template <typename Matches>
  std::optional<uint32_t> Find(uint64_t hash, Matches matches) const {
    if (slots_.empty()) return std::nullopt;
    for (size_t i = hash & (slots_.size() - 1); slots_[i].index != kNoKey;
         i = (i + 1) & (slots_.size() - 1)) {
      if (slots_[i].hash == hash && matches(slots_[i].index)) return slots_[i].index;
    }
    return std::nullopt;
  }
  void Add(uint64_t hash, uint32_t index);

 private:
  static constexpr uint32_t kNoKey = std::numeric_limits<uint32_t>::max();
  struct Slot {
    uint64_t hash = 0;
    uint32_t index = kNoKey;
  };
  void Place(Slot slot);

  std::vector<Slot> slots_;
  size_t count_ = 0;
};

struct Document {
  std::vector<KeyEntry> keys;
  KeyIndex index;
  RegFileHeader header = RegFileHeader::kNone;
  bool crlf = false;  // the first line end is CR LF
};

// Throws RegFileError "file:line: what is wrong" for the first problem. `text` is valid UTF-8.
Document ReadDocument(std::string_view text, const std::string& fileName);

// The name and data of the value `entry` holds in `text`, which ReadDocument accepted.
RegValue ReadValue(std::string_view text, const ValueEntry& entry);

// Why a key path or a value name cannot be held in a file, or nothing.
std::optional<std::string> KeyPathProblem(std::u16string_view path);
std::optional<std::string> ValueNameProblem(std::u16string_view name);

}  // namespace regfile
}  // namespace device
