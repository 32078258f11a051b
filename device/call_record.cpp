#include "call_record.h"

#include "binary.h"
#include "reg_text.h"
#include "reg_value.h"

namespace device::as {
namespace {

std::string Hex(uint32_t value) {
  return binary::Hex(value, 8);
}

// A value of `kind`; the functions below fill in the fields it uses.
Value Of(Value::Kind kind, int64_t number = 0, std::string text = {}) {
  Value value;
  value.kind = kind;
  value.number = number;
  value.text = std::move(text);
  return value;
}

// A number the platform names, in hex when `name` is empty.
Value Named(int64_t number, const char* name) {
  if (name == nullptr || *name == '\0') return Handle(static_cast<uint32_t>(number));
  return Constant(number, name);
}

const char* RootName(HKEY key) {
  switch (key) {
    case 0x80000000:
      return "HKEY_CLASSES_ROOT";
    case 0x80000001:
      return "HKEY_CURRENT_USER";
    case 0x80000002:
      return "HKEY_LOCAL_MACHINE";
    case 0x80000003:
      return "HKEY_USERS";
    default:
      return nullptr;
  }
}

// Message-box styles: the button group is the low four bits; icon, default button and modality
// combine with it.
constexpr UINT kButtonGroupMask = 0x0000000F;
constexpr UINT kIconMask = 0x000000F0;
constexpr UINT kDefaultButtonMask = 0x00000F00;

// The UTF-16 units of `data`, when it is whole units with no lone surrogate.
std::optional<std::u16string> Units(std::span<const uint8_t> data) {
  if (data.size() % 2 != 0) return std::nullopt;
  std::u16string units = binary::Utf16Units(data);
  if (FindLoneSurrogate(units)) return std::nullopt;
  return units;
}

// The strings of a REG_MULTI_SZ: each terminated, then one more terminator (a lone terminator is
// the empty list).
std::optional<std::vector<std::string>> MultiSz(std::span<const uint8_t> data) {
  std::optional<std::u16string> units = Units(data);
  if (!units || units->empty() || units->back() != u'\0') return std::nullopt;
  units->pop_back();
  if (!units->empty() && units->back() != u'\0') return std::nullopt;
  std::vector<std::string> strings;
  for (size_t start = 0; start < units->size();) {
    const size_t end = units->find(u'\0', start);
    strings.push_back(ToUtf8(std::u16string_view(*units).substr(start, end - start)));
    start = end + 1;
  }
  return strings;
}

}  // namespace

Value Null() {
  return {};
}

Value Handle(uint32_t handle) {
  return Of(Value::Kind::Handle, handle);
}

Value Number(int64_t number) {
  return Of(Value::Kind::Number, number);
}

Value Constant(int64_t number, std::string name) {
  return Of(Value::Kind::Constant, number, std::move(name));
}

Value Text(std::u16string_view text) {
  return Of(Value::Kind::Text, 0, ToUtf8(text));
}

Value Strings(std::vector<std::string> strings) {
  Value value = Of(Value::Kind::Strings);
  value.strings = std::move(strings);
  return value;
}

Value Word(uint32_t word) {
  return Of(Value::Kind::Word, word);
}

Value BadPointer(uint32_t address, std::string where) {
  return Of(Value::Kind::BadPointer, address, std::move(where));
}

Value Pointer(const void* pointer) {
  return Of(pointer ? Value::Kind::Buffer : Value::Kind::Null);
}

Value TextOrNull(const char16_t* text) {
  return text ? Text(text) : Null();
}

Value ValueData(DWORD type, std::span<const uint8_t> data) {
  if (type == kRegSz || type == kRegExpandSz) {
    if (std::optional<std::u16string> units = Units(data);
        units && !units->empty() && units->back() == u'\0') {
      return Text(std::u16string_view(*units).substr(0, units->size() - 1));
    }
  } else if (type == kRegMultiSz) {
    if (std::optional<std::vector<std::string>> strings = MultiSz(data)) {
      return Strings(std::move(*strings));
    }
  }
  Value value = Of(Value::Kind::Bytes, type);
  value.bytes.assign(data.begin(), data.end());
  return value;
}

Value Key(HKEY key) {
  return Named(key, RootName(key));
}

Value RegResult(LONG status) {
  static const std::pair<LONG, const char*> names[] = {
      {ERROR_SUCCESS, "ERROR_SUCCESS"},
      {kErrorFileNotFound, "ERROR_FILE_NOT_FOUND"},
      {kErrorPathNotFound, "ERROR_PATH_NOT_FOUND"},
      {kErrorAccessDenied, "ERROR_ACCESS_DENIED"},
      {kErrorInvalidHandle, "ERROR_INVALID_HANDLE"},
      {kErrorNotSameDevice, "ERROR_NOT_SAME_DEVICE"},
      {kErrorGenFailure, "ERROR_GEN_FAILURE"},
      {kErrorSharingViolation, "ERROR_SHARING_VIOLATION"},
      {kErrorFileExists, "ERROR_FILE_EXISTS"},
      {kErrorInvalidParameter, "ERROR_INVALID_PARAMETER"},
      {kErrorDiskFull, "ERROR_DISK_FULL"},
      {kErrorInvalidName, "ERROR_INVALID_NAME"},
      {kErrorDirNotEmpty, "ERROR_DIR_NOT_EMPTY"},
      {kErrorAlreadyExists, "ERROR_ALREADY_EXISTS"},
      {kErrorFilenameExcedRange, "ERROR_FILENAME_EXCED_RANGE"},
      {kErrorMoreData, "ERROR_MORE_DATA"},
      {kErrorNoMoreItems, "ERROR_NO_MORE_ITEMS"},
      {kErrorRegistryIoFailed, "ERROR_REGISTRY_IO_FAILED"},
  };
  for (const auto& [code, name] : names) {
    if (code == status) return Constant(status, name);
  }
  return Handle(static_cast<uint32_t>(status));
}

Value RegType(DWORD type) {
  static const char* const names[] = {"REG_NONE",   "REG_SZ",      "REG_EXPAND_SZ",
                                      "REG_BINARY", "REG_DWORD",   "REG_DWORD_BIG_ENDIAN",
                                      "REG_LINK",   "REG_MULTI_SZ"};
  if (type < std::size(names)) return Constant(type, names[type]);
  return Named(type, type == kRegQword ? "REG_QWORD" : nullptr);
}

// "MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2"; bits with no name are shown in hex.
Value BoxStyle(UINT style) {
  static const char* const groups[] = {"MB_OK",          "MB_OKCANCEL", "MB_ABORTRETRYIGNORE",
                                       "MB_YESNOCANCEL", "MB_YESNO",    "MB_RETRYCANCEL"};
  static const char* const icons[] = {"", "MB_ICONHAND", "MB_ICONQUESTION", "MB_ICONEXCLAMATION",
                                      "MB_ICONASTERISK"};
  static const char* const defaults[] = {"", "MB_DEFBUTTON2", "MB_DEFBUTTON3", "MB_DEFBUTTON4"};
  const UINT group = style & kButtonGroupMask, icon = (style & kIconMask) >> 4,
             button = (style & kDefaultButtonMask) >> 8;
  std::string name = group < std::size(groups) ? groups[group] : Hex(group);
  UINT rest = style & ~kButtonGroupMask;
  if (icon > 0 && icon < std::size(icons)) {
    name += std::string(" | ") + icons[icon];
    rest &= ~kIconMask;
  }
  if (button > 0 && button < std::size(defaults)) {
    name += std::string(" | ") + defaults[button];
    rest &= ~kDefaultButtonMask;
  }
  return Constant(style, rest ? name + " | " + Hex(rest) : name);
}

Value BoxResult(int result) {
  static const char* const names[] = {"",        "IDOK",     "IDCANCEL", "IDABORT",
                                      "IDRETRY", "IDIGNORE", "IDYES",    "IDNO"};
  if (result > 0 && static_cast<size_t>(result) < std::size(names)) {
    return Constant(result, names[result]);
  }
  return Number(result);
}

Value ControlCode(DWORD code) {
  switch (code) {
    case IOCTL_ROM_INFO:
      return Constant(code, "IOCTL_ROM_INFO");
    case IOCTL_HAL_REBOOT:
      return Constant(code, "IOCTL_HAL_REBOOT");
    default:
      return Handle(code);
  }
}

Value Bool(BOOL value) {
  return Constant(value, value ? "TRUE" : "FALSE");
}

}  // namespace device::as
