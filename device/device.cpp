#include "device.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ostream>

#include "call_record.h"

namespace device {
namespace {

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

std::u16string TextAt(LPCWSTR text) {
  return text ? std::u16string(text) : std::u16string();
}

// The button group is the low four bits of a message box's style, the icon the next four.
constexpr UINT kButtonGroupMask = 0x0000000F;
constexpr UINT kIconMask = 0x000000F0;

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

std::vector<std::string> LabelsOf(const std::vector<BoxButton>& buttons) {
  std::vector<std::string> labels;
  for (const BoxButton& button : buttons) labels.push_back(button.label);
  return labels;
}

bool IsRegistryRoot(HKEY key) {
  return as::Key(key).kind == Value::Kind::Constant;
}

}  // namespace

Device::Device(Registry registry, std::vector<res::ResourceEntry> resources,
               DeviceSettings settings, Console console)
    : registry_(std::move(registry)),
      resources_(std::move(resources)),
      settings_(std::move(settings)),
      console_(console),
      labels_(LabelsForLanguage(RomLanguage(settings_.romBlock))),
      files_(MountCard(registry_, settings_)) {}

RunResult Device::Run(const ProgramEntry& entry) {
  registry_.StartRecordingChanges();
  openKeys_.clear();
  resetRequested_ = false;
  platformCalls_ = 0;
  registryCallsRefused_ = 0;
  RunResult result;
  std::u16string commandLine = settings_.commandLine;
  try {
    ActiveDevice active(*this);
    result.exitStatus = entry(kProcessHandle, 0, commandLine.data(), settings_.showState);
  } catch (const SoftResetTaken&) {
    result.resetTookEffect = true;
  }
  result.filesLeftOpen = files_.CloseAll();  // as the end of the process closes them
  result.filesWritten = files_.Written();
  result.cardFolder = files_.CardFolder();
  result.resetRequested = resetRequested_;
  result.keysLeftOpen = openKeys_.size();
  result.platformCalls = platformCalls_;
  result.registryCallsRefused = registryCallsRefused_;
  result.changes = registry_.RecordedChanges();
  return result;
}

void Device::RecordCall(const CallRecord& call) {
  ++platformCalls_;
  if (console_.calls) console_.calls(call);
}

/*
 * int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style)
 */
int Device::MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style) {
  CallRecord call{"MessageBoxW",
                  {owner ? as::Handle(owner) : as::Null(), as::TextOrNull(text),
                   as::TextOrNull(caption), as::BoxStyle(style)}};
  const std::string shownText = IconMark(style) + ToUtf8(TextAt(text));
  const std::string shownCaption = caption ? ToUtf8(caption) : "Error";
  const std::vector<BoxButton> buttons = ButtonsFor(style & kButtonGroupMask, labels_);
  int result = 0;  // a button group the device has no buttons for: not shown
  if (buttons.size() == 1) {
    result = ShowOk(shownCaption, shownText);
  } else if (!buttons.empty()) {
    result = AskChoice(shownCaption, shownText, buttons);
  }
  call.result = as::BoxResult(result);
  if (result == 0) call.note = "not shown";
  RecordCall(call);
  return result;
}

int Device::ShowOk(const std::string& caption, const std::string& text) {
  const std::string box =
      DrawMessageBox(caption, text, {labels_.ok}, console_.width, console_.boxLines);
  console_.out << box << std::flush;
  if (console_.answers) console_.answers->Acknowledge(box, labels_.ok);
  return IDOK;
}

int Device::AskChoice(const std::string& caption, const std::string& text,
                      const std::vector<BoxButton>& buttons) {
  const std::optional<std::string> unanswerable =
      console_.answers ? console_.answers->Unanswerable(buttons) : std::string();
  if (unanswerable) {
    // The record says so, whatever the answer source told the user.
    console_.out << "(the question box could not be shown"
                 << (unanswerable->empty() ? "" : ": " + *unanswerable) << ")\n"
                 << std::flush;
    return 0;
  }
  const std::string box =
      DrawMessageBox(caption, text, LabelsOf(buttons), console_.width, console_.boxLines);
  console_.out << box << std::flush;
  const int answer = console_.answers->Choose(box, buttons);
  const auto chosen = std::find_if(buttons.begin(), buttons.end(), [&](const BoxButton& button) {
    return button.result == answer;
  });
  if (chosen == buttons.end()) return 0;  // not one of the box's buttons: nothing was chosen
  console_.out << "answered: " << chosen->label << '\n' << std::flush;
  return answer;
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
// leaves just the terminator; a NULL buffer asks for the string's own address in the image, which
// `addressOf` knows.
int Device::LoadStringInto(HINSTANCE instance, UINT id, const UnitStore* store, int capacity,
                           const ResourceAddress& addressOf) {
  CallRecord call{"LoadStringW",
                  {as::Handle(instance), as::Number(id), as::Pointer(store), as::Number(capacity)}};
  const auto finish = [&](int result, std::u16string_view text, std::string note) {
    call.result = as::Number(result);
    if (!text.empty()) call.returned.push_back({"text", as::Text(text)});
    call.note = std::move(note);
    RecordCall(call);
    return result;
  };
  if (store != nullptr && capacity <= 0) return finish(0, {}, {});
  std::optional<res::StringLocation> found;
  if ((instance == kProcessHandle || instance == kCurrentProcess) && !settings_.stringsMissing) {
    found = res::LocateString(resources_, id);
  }
  if (store == nullptr) {
    if (!found || found->text.empty()) return finish(0, {}, {});
    const std::optional<uint32_t> address =
        addressOf ? addressOf(static_cast<size_t>(found->block - resources_.data()), found->offset)
                  : std::nullopt;
    if (!address) return finish(0, {}, "the string's address exists only in a device image");
    call.result = as::Handle(*address);
    call.note = "the string in the image's resources";
    RecordCall(call);
    return static_cast<int>(*address);
  }
  const std::u16string text = found ? found->text : std::u16string();
  const size_t count = std::min(text.size(), static_cast<size_t>(capacity) - 1);
  for (size_t i = 0; i < count; ++i) {
    if (!(*store)(i, text[i])) return finish(0, {}, "a fault while copying");
  }
  // The platform sets its result before it stores the terminator.
  const std::u16string_view copied = std::u16string_view(text).substr(0, count);
  if (!(*store)(count, 0)) {
    return finish(static_cast<int>(count), copied, "a fault storing the terminator");
  }
  return finish(static_cast<int>(count), copied, {});
}

std::optional<std::u16string> Device::KeyPath(HKEY key) const {
  if (IsRegistryRoot(key)) return FromUtf8(as::Key(key).text);
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
  CallRecord call{"RegOpenKeyExW",
                  {as::Key(key), as::TextOrNull(subKey), as::Number(options), as::Handle(access),
                   as::Pointer(result)}};
  auto finish = [&](LONG status) {
    if (status != ERROR_SUCCESS) ++registryCallsRefused_;
    call.result = as::RegResult(status);
    if (status == ERROR_SUCCESS) call.returned.push_back({"key", as::Handle(*result)});
    RecordCall(call);
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
  CallRecord call{"RegSetValueExW",
                  {as::Key(key), as::TextOrNull(valueName), as::Number(reserved), as::RegType(type),
                   data ? as::ValueData(type, bytes) : as::Null(), as::Number(size)}};
  auto finish = [&](LONG status) {
    if (status != ERROR_SUCCESS) ++registryCallsRefused_;
    call.result = as::RegResult(status);
    RecordCall(call);
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
    tree_.reset();                          // enumeration sees the new value
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
  RecordCall({"RegCloseKey", {as::Key(key)}, as::RegResult(status)});
  return status;
}

/*
 * BOOL KernelIoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
 *                      LPDWORD bytesReturned)
 */
BOOL Device::KernelIoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                             LPDWORD bytesReturned) {
  Value input = as::Pointer(in);
  if (in != nullptr && inSize == sizeof(uint32_t)) {
    uint32_t word;
    std::memcpy(&word, in, sizeof word);
    input = as::Word(word);
  }
  CallRecord call{"KernelIoControl",
                  {as::ControlCode(code), input, as::Number(inSize), as::Pointer(out),
                   as::Number(outSize), as::Pointer(bytesReturned)}};
  BOOL result = FALSE;
  if (code == IOCTL_ROM_INFO) {
    result = QueryRomInfo(in, inSize, out, outSize, bytesReturned);
  } else if (code == IOCTL_HAL_REBOOT) {
    resetRequested_ = true;
    if (settings_.reset == ResetBehaviour::TakesEffect) {
      call.note = "does not return: the device resets";
      RecordCall(call);
      throw SoftResetTaken{};
    }
  }
  call.result = as::Bool(result);
  RecordCall(call);
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
  RecordCall({"memset",
              {as::Pointer(dest), as::Number(value), as::Number(static_cast<int64_t>(count))},
              as::Pointer(dest)});
  return dest;
}

void Device::RecordRefusedCall(const CallRecord& call) {
  RecordCall(call);
}

Device& Device::Active() {
  if (activeDevice == nullptr) {
    std::fputs("platform call made with no device running\n", stderr);
    std::abort();
  }
  return *activeDevice;
}

}  // namespace device
