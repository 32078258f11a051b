#include "device.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <istream>
#include <ostream>

namespace device {
namespace {

// Registry results the device returns.
constexpr LONG kErrorFileNotFound = 2;
constexpr LONG kErrorAccessDenied = 5;
constexpr LONG kErrorInvalidHandle = 6;
constexpr LONG kErrorInvalidParameter = 87;
constexpr size_t kMaxValueNameUnits = 255;

// Thrown through the program when a soft reset takes effect: the run ends where it stands.
struct SoftResetTaken {};

// The device the program is running on; the platform entry points forward to it. Each thread
// runs its own device.
thread_local Device* activeDevice = nullptr;

class ActiveDevice {
 public:
  explicit ActiveDevice(Device& device) { activeDevice = &device; }
  ~ActiveDevice() { activeDevice = nullptr; }
  ActiveDevice(const ActiveDevice&) = delete;
  ActiveDevice& operator=(const ActiveDevice&) = delete;
};

std::string Hex(uint32_t value) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

std::string Pointer(const void* pointer) {
  return pointer ? "buffer" : "NULL";
}

std::u16string TextAt(LPCWSTR text) {
  return text ? std::u16string(text) : std::u16string();
}

// A string as the trace shows it: quoted, with quotes and control characters escaped. A backslash
// stays as it is (key paths read as they are written), except where it would read as an escape:
// before a quote or an "x", and last; there it is written "\x5C".
std::string Quoted(std::u16string_view text) {
  const std::string utf8 = ToUtf8(text);
  std::string quoted = "\"";
  for (size_t i = 0; i < utf8.size(); ++i) {
    const char c = utf8[i];
    if (c == '"') {
      quoted += "\\\"";
    } else if (c == '\\' && (i + 1 == utf8.size() || utf8[i + 1] == '"' || utf8[i + 1] == 'x')) {
      quoted += "\\x5C";
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(c));
      quoted += escape;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

std::string QuotedOrNull(LPCWSTR text) {
  return text ? Quoted(text) : "NULL";
}

std::string RootName(HKEY key) {
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
      return {};
  }
}

std::string KeyName(HKEY key) {
  std::string root = RootName(key);
  return root.empty() ? Hex(key) : root;
}

std::string RegResult(LONG result) {
  switch (result) {
    case ERROR_SUCCESS:
      return "ERROR_SUCCESS";
    case kErrorFileNotFound:
      return "ERROR_FILE_NOT_FOUND";
    case kErrorAccessDenied:
      return "ERROR_ACCESS_DENIED";
    case kErrorInvalidHandle:
      return "ERROR_INVALID_HANDLE";
    case kErrorInvalidParameter:
      return "ERROR_INVALID_PARAMETER";
    default:
      return Hex(static_cast<uint32_t>(result));
  }
}

std::string TypeName(DWORD type) {
  static const char* const names[] = {"REG_NONE",   "REG_SZ",      "REG_EXPAND_SZ",
                                      "REG_BINARY", "REG_DWORD",   "REG_DWORD_BIG_ENDIAN",
                                      "REG_LINK",   "REG_MULTI_SZ"};
  if (type < std::size(names)) return names[type];
  return type == kRegQword ? "REG_QWORD" : Hex(type);
}

// Message-box styles: the button group is the low four bits; icon, default button and modality
// combine with it.
constexpr UINT kButtonGroupMask = 0x0000000F;
constexpr UINT kIconMask = 0x000000F0;
constexpr UINT kDefaultButtonMask = 0x00000F00;

// "MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2"; bits with no name are shown in hex.
std::string StyleName(UINT style) {
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
  return rest ? name + " | " + Hex(rest) : name;
}

// What the box shows for its icon, in front of the text.
std::string IconMark(UINT style) {
  switch ((style & kIconMask) >> 4) {
    case 1:
      return "(X) ";
    case 2:
      return "(?) ";
    case 3:
      return "(!) ";
    case 4:
      return "(i) ";
    default:
      return {};
  }
}

std::string BoxResult(int result) {
  static const char* const names[] = {"0 (not shown)", "IDOK",     "IDCANCEL", "IDABORT",
                                      "IDRETRY",       "IDIGNORE", "IDYES",    "IDNO"};
  if (result >= 0 && static_cast<size_t>(result) < std::size(names)) return names[result];
  return std::to_string(result);
}

// "OK / Abbrechen": the buttons as the box shows them.
std::string ButtonRow(const std::vector<BoxButton>& buttons) {
  std::string row;
  for (const BoxButton& button : buttons) row += (row.empty() ? "" : " / ") + button.label;
  return row;
}

std::vector<std::string> LabelsOf(const std::vector<BoxButton>& buttons) {
  std::vector<std::string> labels;
  for (const BoxButton& button : buttons) labels.push_back(button.label);
  return labels;
}

std::string ControlCodeName(DWORD code) {
  switch (code) {
    case IOCTL_ROM_INFO:
      return "IOCTL_ROM_INFO";
    case IOCTL_HAL_REBOOT:
      return "IOCTL_HAL_REBOOT";
    default:
      return Hex(code);
  }
}

std::string Bool(BOOL value) {
  return value ? "TRUE" : "FALSE";
}

bool IsRegistryRoot(HKEY key) {
  return !RootName(key).empty();
}

}  // namespace

Device::Device(Registry registry, std::vector<res::ResourceEntry> resources,
               DeviceSettings settings, Console console)
    : registry_(std::move(registry)),
      resources_(std::move(resources)),
      settings_(std::move(settings)),
      console_(console),
      labels_(LabelsForLanguage(RomLanguage(settings_.romBlock))) {}

RunResult Device::Run(const ProgramEntry& entry) {
  registry_.StartRecordingChanges();
  openKeys_.clear();
  resetRequested_ = false;
  platformCalls_ = 0;
  RunResult result;
  std::u16string commandLine = settings_.commandLine;
  try {
    ActiveDevice active(*this);
    result.exitStatus = entry(kProcessHandle, 0, commandLine.data(), settings_.showState);
  } catch (const SoftResetTaken&) {
    result.resetTookEffect = true;
  }
  result.resetRequested = resetRequested_;
  result.keysLeftOpen = openKeys_.size();
  result.platformCalls = platformCalls_;
  result.changes = registry_.RecordedChanges();
  return result;
}

void Device::RecordCall(const std::string& line) {
  ++platformCalls_;
  if (!settings_.trace) return;
  if (console_.trace) {
    console_.trace(line);
  } else {
    console_.out << "trace: " << line << '\n' << std::flush;
  }
}

/*
 * int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style)
 */
int Device::MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style) {
  const std::string call = "MessageBoxW(" + (owner ? Hex(owner) : std::string("NULL")) + ", " +
                           QuotedOrNull(text) + ", " + QuotedOrNull(caption) + ", " +
                           StyleName(style) + ")";
  const std::string shownText = IconMark(style) + ToUtf8(TextAt(text));
  const std::string shownCaption = caption ? ToUtf8(caption) : "Error";
  const std::vector<BoxButton> buttons = ButtonsFor(style & kButtonGroupMask, labels_);
  int result = 0;  // a button group the device has no buttons for: not shown
  if (buttons.size() == 1) {
    result = ShowOk(shownCaption, shownText);
  } else if (!buttons.empty()) {
    result = AskChoice(shownCaption, shownText, buttons);
  }
  RecordCall(call + " -> " + BoxResult(result));
  return result;
}

int Device::ShowOk(const std::string& caption, const std::string& text) {
  const std::string box = DrawMessageBox(caption, text, {labels_.ok}, console_.width);
  console_.out << box << std::flush;
  // With --answer the run is scripted: no box waits for the keyboard.
  if (console_.inputIsTerminal && settings_.answer == Answer::FromKeyboard) {
    if (console_.boxesOnPrompts) Prompts() << box;
    Prompts() << labels_.ok << " (Enter) " << std::flush;
    std::string line;
    if (!std::getline(console_.in, line)) throw InputEnded("end of input while a box waited");
  }
  return IDOK;
}

int Device::AskChoice(const std::string& caption, const std::string& text,
                      const std::vector<BoxButton>& buttons) {
  const std::string box = DrawMessageBox(caption, text, LabelsOf(buttons), console_.width);
  const auto has = [&](int result) {
    return std::any_of(buttons.begin(), buttons.end(),
                       [&](const BoxButton& button) { return button.result == result; });
  };
  const bool yesNo = has(IDYES) && has(IDNO);
  const std::string what = buttons.size() == 2 && yesNo ? "Yes/No" : ButtonRow(buttons);
  switch (settings_.answer) {
    case Answer::Yes:
    case Answer::No:
      if (yesNo) {
        const bool yes = settings_.answer == Answer::Yes;
        console_.out << box << "answered: " << (yes ? labels_.yes : labels_.no) << '\n'
                     << std::flush;
        return yes ? IDYES : IDNO;
      }
      // A scripted run does not wait for the keyboard, and --answer names no button here.
      Prompts() << "cesim: --answer does not answer a " << what
                << " box; it is not shown (answer it on a terminal without --answer)\n"
                << std::flush;
      return 0;
    case Answer::FailToShow:
      console_.out << "(the question box could not be shown)\n" << std::flush;
      return 0;
    case Answer::FromKeyboard:
      break;
  }
  if (!console_.inputIsTerminal) {
    Prompts() << "cesim: a " << what << " box cannot be shown without a terminal to answer it"
              << (yesNo ? "; use --answer" : "") << '\n'
              << std::flush;
    return 0;
  }
  console_.out << box << std::flush;
  if (console_.boxesOnPrompts) Prompts() << box;
  const ButtonKeys keys = KeysFor(buttons);
  Prompts() << keys.prompt << std::flush;
  for (std::string line;;) {
    if (!std::getline(console_.in, line)) {
      throw InputEnded("end of input at the " + what + " question");
    }
    if (const std::optional<int> answer = ReadAnswer(line, keys)) {
      const auto chosen =
          std::find_if(buttons.begin(), buttons.end(),
                       [&](const BoxButton& button) { return button.result == *answer; });
      console_.out << "answered: " << chosen->label << '\n' << std::flush;
      return *answer;
    }
    Prompts() << keys.hint << keys.prompt << std::flush;
  }
}

/*
 * int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int capacity)
 */
int Device::LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int capacity) {
  if (buffer == nullptr) return LoadStringInto(instance, id, nullptr, capacity);
  const UnitStore store = [buffer](size_t index, char16_t unit) {
    buffer[index] = unit;
    return true;
  };
  return LoadStringInto(instance, id, &store, capacity);
}

// As the platform's string loader: a buffer with no room gets nothing; a string that is not found
// leaves just the terminator; a NULL buffer asks for the string's own address in the image.
int Device::LoadStringInto(HINSTANCE instance, UINT id, const UnitStore* store, int capacity) {
  std::string call = "LoadStringW(" + Hex(instance) + ", " + std::to_string(id) + ", " +
                     (store ? "buffer" : "NULL") + ", " + std::to_string(capacity) + ")";
  if (store != nullptr && capacity <= 0) {
    RecordCall(call + " -> 0");
    return 0;
  }
  std::optional<res::StringLocation> found;
  if ((instance == kProcessHandle || instance == kCurrentProcess) && !settings_.stringsMissing) {
    found = res::LocateString(resources_, id);
  }
  if (store == nullptr) {
    if (!found || found->text.empty()) {
      RecordCall(call + " -> 0");
      return 0;
    }
    if (!settings_.imageBase) {
      RecordCall(call + " -> 0 (the string's address exists only in a device image)");
      return 0;
    }
    const uint32_t address =
        *settings_.imageBase + found->block->rva + static_cast<uint32_t>(found->offset);
    RecordCall(call + " -> " + Hex(address) + " (the string in the image's resources)");
    return static_cast<int>(address);
  }
  const std::u16string text = found ? found->text : std::u16string();
  const size_t count = std::min(text.size(), static_cast<size_t>(capacity) - 1);
  for (size_t i = 0; i < count; ++i) {
    if (!(*store)(i, text[i])) {
      RecordCall(call + " -> 0 (a fault while copying)");
      return 0;
    }
  }
  // The platform sets its result before it stores the terminator.
  const std::string shown = count ? " " + Quoted(text.substr(0, count)) : std::string();
  if (!(*store)(count, 0)) {
    RecordCall(call + " -> " + std::to_string(count) + shown + " (a fault storing the terminator)");
    return static_cast<int>(count);
  }
  RecordCall(call + " -> " + std::to_string(count) + shown);
  return static_cast<int>(count);
}

std::optional<std::u16string> Device::KeyPath(HKEY key) const {
  if (IsRegistryRoot(key)) return FromUtf8(RootName(key));
  auto open = openKeys_.find(key);
  if (open == openKeys_.end()) return std::nullopt;
  return open->second;
}

bool Device::IsFaulty(const std::vector<std::u16string>& faultyKeys,
                      std::u16string_view path) const {
  return std::any_of(faultyKeys.begin(), faultyKeys.end(), [&](const std::u16string& faulty) {
    return EqualsIgnoringCase(faulty, path);
  });
}

/*
 * LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result)
 */
LONG Device::RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result) {
  std::string call = "RegOpenKeyExW(" + KeyName(key) + ", " + QuotedOrNull(subKey) + ", " +
                     std::to_string(options) + ", " + Hex(access) + ", " + Pointer(result) + ")";
  auto finish = [&](LONG status) {
    RecordCall(call + " -> " + RegResult(status) +
               (status == ERROR_SUCCESS ? ", key " + Hex(*result) : std::string()));
    return status;
  };
  std::optional<std::u16string> parent = KeyPath(key);
  if (!parent) return finish(kErrorInvalidHandle);
  // Options and access are not checked: the platform's own drivers pass KEY_ALL_ACCESS.
  if (result == nullptr) return finish(kErrorInvalidParameter);
  std::u16string_view relative = subKey ? std::u16string_view(subKey) : std::u16string_view();
  if (relative.starts_with(u'\\')) relative.remove_prefix(1);  // one leading backslash is accepted
  std::u16string path = *parent;
  if (!relative.empty()) path += u'\\' + std::u16string(relative);
  if (IsFaulty(settings_.missingKeys, path) || !registry_.KeyExists(path)) {
    return finish(kErrorFileNotFound);
  }
  *result = nextKey_++;
  openKeys_.emplace(*result, path);
  return finish(ERROR_SUCCESS);
}

/*
 * LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type,
 *                     const BYTE* data, DWORD size)
 */
LONG Device::RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type,
                            const BYTE* data, DWORD size) {
  std::vector<uint8_t> bytes;
  if (data != nullptr) bytes.assign(data, data + size);
  const std::string shownData =
      data == nullptr ? "NULL" : FormatValueData(RegValue{u"", type, bytes});
  std::string call = "RegSetValueExW(" + KeyName(key) + ", " + QuotedOrNull(valueName) + ", " +
                     std::to_string(reserved) + ", " + TypeName(type) + ", " + shownData + ", " +
                     std::to_string(size) + ")";
  auto finish = [&](LONG status) {
    RecordCall(call + " -> " + RegResult(status));
    return status;
  };
  std::optional<std::u16string> path = KeyPath(key);  // a root is an open key too
  if (!path) return finish(kErrorInvalidHandle);
  std::u16string name = TextAt(valueName);
  if (reserved != 0 || (data == nullptr && size != 0) || name.size() > kMaxValueNameUnits) {
    return finish(kErrorInvalidParameter);
  }
  if (IsFaulty(settings_.failingWrites, *path)) return finish(kErrorAccessDenied);
  try {
    registry_.SetValue(*path, name, type, std::move(bytes));
  } catch (const std::invalid_argument&) {  // a name the registry file cannot hold
    return finish(kErrorInvalidParameter);
  }
  return finish(ERROR_SUCCESS);
}

/*
 * LONG RegCloseKey(HKEY key)
 */
LONG Device::RegCloseKey(HKEY key) {
  // The roots are always open; closing one succeeds and leaves it usable.
  LONG status = openKeys_.erase(key) || IsRegistryRoot(key) ? ERROR_SUCCESS : kErrorInvalidHandle;
  RecordCall("RegCloseKey(" + KeyName(key) + ") -> " + RegResult(status));
  return status;
}

/*
 * BOOL KernelIoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
 *                      LPDWORD bytesReturned)
 */
BOOL Device::KernelIoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                             LPDWORD bytesReturned) {
  std::string input = Pointer(in);
  if (in != nullptr && inSize == sizeof(uint32_t)) {
    uint32_t word;
    std::memcpy(&word, in, sizeof word);
    input = "[" + std::to_string(word) + "]";
  }
  std::string call = "KernelIoControl(" + ControlCodeName(code) + ", " + input + ", " +
                     std::to_string(inSize) + ", " + Pointer(out) + ", " + std::to_string(outSize) +
                     ", " + Pointer(bytesReturned) + ")";
  BOOL result = FALSE;
  if (code == IOCTL_ROM_INFO) {
    result = QueryRomInfo(in, inSize, out, outSize, bytesReturned);
  } else if (code == IOCTL_HAL_REBOOT) {
    resetRequested_ = true;
    if (settings_.reset == ResetBehaviour::TakesEffect) {
      RecordCall(call + " -> does not return: the device resets");
      throw SoftResetTaken{};
    }
  }
  RecordCall(call + " -> " + Bool(result));
  return result;
}

BOOL Device::QueryRomInfo(LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                          LPDWORD bytesReturned) {
  if (settings_.romSilent || in == nullptr || inSize != sizeof(uint32_t) || out == nullptr ||
      outSize < kRomBlockSize) {
    return FALSE;
  }
  uint32_t request;
  std::memcpy(&request, in, sizeof request);
  if (request != kRomInfoRequest) return FALSE;
  std::memcpy(out, settings_.romBlock.data(), kRomBlockSize);
  if (bytesReturned != nullptr) *bytesReturned = kRomBlockSize;
  return TRUE;
}

/*
 * void* memset(void* dest, int value, size_t count)
 */
void* Device::Memset(void* dest, int value, size_t count) {
  if (dest != nullptr) std::memset(dest, value, count);
  RecordCall("memset(" + Pointer(dest) + ", " + std::to_string(value) + ", " +
             std::to_string(count) + ") -> " + Pointer(dest));
  return dest;
}

void Device::TraceRefusedCall(const std::string& call, const std::string& result) {
  RecordCall(call + " -> " + result);
}

Device& Device::Active() {
  if (activeDevice == nullptr) {
    std::fputs("platform call made with no device running\n", stderr);
    std::abort();
  }
  return *activeDevice;
}

}  // namespace device
