// A platform call as the device records it: the routine, its arguments and result as typed values,
// what the call handed back to the program, and a note. The device makes one record for every call
// and hands it to a sink; cesim renders records as the text trace or as JSON. A record knows
// nothing of either form.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform_errors.h"
#include "platform_types.h"

namespace device {

// One argument, result or value handed back. Only the fields its kind names are set.
struct Value {
  enum class Kind : uint8_t {
    Null,        // a null pointer
    Buffer,      // a pointer whose contents the record does not show
    BadPointer,  // a pointer the call could not use: `number` is the address, `text` what lies
                 // there ("unmapped", or the name of the region it is in)
    Handle,      // a handle or an address, shown in hex: `number`
    Number,      // a plain number: `number`
    Constant,    // a number the platform names: `text` is the name ("ERROR_SUCCESS",
                 // "MB_YESNO | MB_ICONQUESTION"), `number` the value
    Text,        // a string, exactly as passed or handed back: `text`, in UTF-8 (a lone surrogate
                 // reads as U+FFFD)
    Bytes,       // value data shown as bytes: `bytes`; `number` is the registry type it was given
                 // with (REG_BINARY, REG_DWORD, REG_NONE, ...)
    Strings,     // REG_MULTI_SZ data: `strings`, in order, without their terminators
    Word,        // a pointer to a 32-bit word the call reads, shown by the word: `number`
  };

  Kind kind = Kind::Null;
  int64_t number = 0;
  std::string text{};
  std::vector<uint8_t> bytes{};
  std::vector<std::string> strings{};

  bool operator==(const Value&) const = default;
};

// A value the call handed back through a pointer the program passed: the key RegOpenKeyExW opened
// ("key"), the text LoadStringW copied ("text").
struct Returned {
  std::string name{};
  Value value{};

  bool operator==(const Returned&) const = default;
};

struct CallRecord {
  std::string routine{};           // as the platform spells it: "RegSetValueExW", "memset"
  std::vector<Value> arguments{};  // one per parameter, in order, refused or not
  std::optional<Value> result{};  // none when the call does not return (a soft reset taking effect)
  std::vector<Returned> returned{};
  std::string note{};  // why the result is what it is, when the result alone does not say; or empty

  bool operator==(const CallRecord&) const = default;
};

// Receives each record as its call returns.
using CallSink = std::function<void(const CallRecord&)>;

// Building values, one line per argument: `as::Text(name)`, `as::RegResult(status)`.
namespace as {

Value Null();
Value Handle(uint32_t handle);
Value Number(int64_t number);
Value Constant(int64_t number, std::string name);
Value Text(std::u16string_view text);
Value Strings(std::vector<std::string> strings);
Value Word(uint32_t word);
Value BadPointer(uint32_t address, std::string where);
// Buffer, or Null for a null pointer.
Value Pointer(const void* pointer);
// Text, or Null for a null pointer.
Value TextOrNull(const char16_t* text);
// Data as a registry value of `type` holds it: text for a terminated REG_SZ or REG_EXPAND_SZ; the
// list of a REG_MULTI_SZ whose strings and list are terminated; bytes for anything else, and for
// text with a lone surrogate or an odd byte, so that every form gives back the data exactly.
Value ValueData(DWORD type, std::span<const uint8_t> data);

// The platform's names, in hex where a number has none.
Value Key(HKEY key);            // HKEY_LOCAL_MACHINE, ..., or an opened key's handle
Value RegResult(LONG status);   // ERROR_SUCCESS, ERROR_INVALID_PARAMETER, ... (any error code)
Value RegType(DWORD type);      // REG_SZ, ..., REG_QWORD
Value BoxStyle(UINT style);     // MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2
Value BoxResult(int result);    // IDOK, ..., IDNO; 0 is a number (the box was not shown)
Value ControlCode(DWORD code);  // IOCTL_ROM_INFO, IOCTL_HAL_REBOOT
Value Bool(BOOL value);         // TRUE, FALSE

}  // namespace as
}  // namespace device
