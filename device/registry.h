// The device registry: keys with typed values, kept between runs in a .reg text file (regedit
// form, also read in the Platform Builder form).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace device {

// Value types (named so they don't clash with the platform macros REG_SZ etc.).
enum RegType : uint32_t {
  kRegNone = 0,
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
  kRegDwordBigEndian = 5,
  kRegLink = 6,
  kRegMultiSz = 7,
  kRegQword = 11,
};

struct RegValue {
  std::u16string name;  // empty = the default value, "@"
  uint32_t type = kRegNone;
  std::vector<uint8_t> data;

  bool operator==(const RegValue&) const = default;
};

struct RegKey {
  std::u16string path;  // full path, root first: u"HKEY_LOCAL_MACHINE\\System\\StorageManager"
  std::vector<RegValue> values;

  bool operator==(const RegKey&) const = default;
};

// what() is one line: "file:line: what is wrong", or "file: what is wrong" for the whole file.
struct RegFileError : std::runtime_error {
  using runtime_error::runtime_error;
};

struct ValueChange {
  std::u16string keyPath;
  std::u16string name;
  std::optional<RegValue> before, after;  // no before: added; no after: removed
};

// How a registry file is written: the form it was read in.
enum class RegFileEncoding { kUtf8, kUtf8Bom, kUtf16LeBom };
enum class RegFileHeader { kNone, kRegedit4, kRegedit5 };
struct RegFileFormat {
  RegFileEncoding encoding = RegFileEncoding::kUtf8;
  RegFileHeader header = RegFileHeader::kNone;
  bool crlf = false;

  bool operator==(const RegFileFormat&) const = default;
};

class Registry {
 public:
  Registry() = default;  // empty, written as UTF-8 without header, LF line ends
  explicit Registry(RegFileFormat format) : format_(format) {}

  // Throws RegFileError naming the file and line of the first problem.
  static Registry Parse(std::span<const uint8_t> fileBytes, const std::string& fileName);
  // Reads then parses; an unreadable file is refused as "file: cannot read: <reason>".
  static Registry Load(const std::filesystem::path& file);

  // The whole file, with the header, encoding and line ends it was read with.
  std::vector<uint8_t> Serialize() const;
  // Atomic: writes a temporary file in the same folder, syncs it, then renames it over the target.
  // On failure the target is untouched, no temporary is left and RegFileError is thrown.
  void Save(const std::filesystem::path& file) const;

  // True for an explicit section, a key implied by a subkey's section, and the four roots.
  bool KeyExists(std::u16string_view path) const;
  // The key's explicit section, or null.
  const RegKey* FindKey(std::u16string_view path) const;
  const RegValue* FindValue(std::u16string_view keyPath, std::u16string_view name) const;

  // Stores exactly these bytes under this type, replacing a value of the same name in place (the
  // stored name keeps its first spelling) or appending. A key without a section gets one, placed
  // right before its first subkey's section, else at the end. Returns true when the stored value
  // differs from before. Throws std::invalid_argument for a path or name a file cannot hold.
  bool SetValue(std::u16string_view keyPath, std::u16string_view name, uint32_t type,
                std::vector<uint8_t> data);

  const std::vector<RegKey>& Keys() const { return keys_; }
  const RegFileFormat& Format() const { return format_; }

  bool operator==(const Registry&) const = default;

 private:
  std::optional<size_t> FindKeyIndex(std::u16string_view path) const;
  std::optional<size_t> FirstSubkeyIndex(std::u16string_view path) const;
  RegKey& KeyForWriting(std::u16string_view path);

  std::vector<RegKey> keys_;
  RegFileFormat format_;
};

// Every value added, changed or removed: keys in the order of `before`, then keys only in `after`;
// within a key, values in the order of `before`, then values only in `after`.
std::vector<ValueChange> Diff(const Registry& before, const Registry& after);

// The right-hand side of a value line as the writer writes it, in UTF-8 and on one line:
// "\"Storage Card\"", "dword:00000001", "hex:01,02", "hex(7):61,00,00,00,00,00".
std::string FormatValueData(const RegValue& value);

// Key paths and value names compare as the device compares them: ASCII and Latin-1 letters fold
// case.
bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b);

// Lone surrogates become U+FFFD.
std::string ToUtf8(std::u16string_view text);
// Throws std::invalid_argument on malformed UTF-8 (including overlong forms and surrogates).
std::u16string FromUtf8(std::string_view text);

}  // namespace device
