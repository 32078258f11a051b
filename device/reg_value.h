// What the registry holds: keys with typed values; and the error a registry file raises.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
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
  RegFileError(const std::string& what, std::string changed)
      : runtime_error(what), fileChanged(std::move(changed)) {}

  // A save refused because the file is no longer the one read: what became of it, in a few words
  // ("it was deleted after it was read ..."); empty for every other error.
  std::string fileChanged;
};

}  // namespace device
