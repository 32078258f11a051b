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
// Offsets into the text are 32-bit; files are refused well below that.
constexpr size_t kMaxTextSize = 1u << 30;

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

// Key hash and index, sorted, for lookup by path ignoring case.
using KeyIndex = std::vector<std::pair<uint64_t, uint32_t>>;

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

// The UTF-8 hash of a path equals FoldedHash of its UTF-16 form.
uint64_t FoldedHashUtf8(std::string_view text);

// Why a key path or a value name cannot be held in a file, or nothing.
std::optional<std::string> KeyPathProblem(std::u16string_view path);
std::optional<std::string> ValueNameProblem(std::u16string_view name);

}  // namespace regfile
}  // namespace device
