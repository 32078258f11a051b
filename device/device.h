// The simulated handheld: registry, ROM information, string table, message boxes and soft reset,
// behind the platform calls a program makes.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "message_box.h"
#include "platform_types.h"
#include "registry.h"
#include "res_file.h"
#include "rom.h"

namespace device {

// How a Yes/No box is answered.
enum class Answer { FromKeyboard, Yes, No, FailToShow };

// What a soft-reset request does.
enum class ResetBehaviour { TakesEffect, Returns };

struct DeviceSettings {
  RomBlock romBlock = MakeRomBlock(u"DEUTSCH");
  bool romSilent = false;  // the ROM information query writes nothing and fails
  Answer answer = Answer::FromKeyboard;
  ResetBehaviour reset = ResetBehaviour::TakesEffect;
  std::vector<std::u16string> missingKeys;    // full key paths that do not open
  std::vector<std::u16string> failingWrites;  // full key paths whose writes are refused
  bool stringsMissing = false;                // the string table cannot be loaded
  std::u16string commandLine;
  bool trace = false;
};

// The terminal the device draws on and reads answers from.
struct Console {
  std::ostream& out;
  std::istream& in;
  bool inputIsTerminal = false;
  size_t width = 80;
};

// The program's entry as the runtime calls it.
using ProgramEntry = int (*)(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show);

struct RunResult {
  int exitStatus = 0;
  bool resetRequested = false;
  bool resetTookEffect = false;
  size_t keysLeftOpen = 0;
  std::vector<ValueChange> changes;
};

constexpr HINSTANCE kProcessHandle = 0x02C4F0A6;  // the process handle the program is started with
constexpr HINSTANCE kCurrentProcess = 0x42;       // the current-process pseudo-handle
constexpr int kShowState = 5;                     // SW_SHOW

class Device {
 public:
  Device(Registry registry, std::vector<res::ResourceEntry> resources, DeviceSettings settings,
         Console console);

  // Starts the program once, as a new process, and runs it until it returns or the device resets.
  RunResult Run(ProgramEntry entry);

  const Registry& registry() const { return registry_; }

  // The device the program is running on; ends the process when there is none.
  static Device& Active();

  // The platform calls, as the program makes them.
  int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style);
  int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int capacity);
  LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result);
  LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                      DWORD size);
  LONG RegCloseKey(HKEY key);
  BOOL KernelIoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                       LPDWORD bytesReturned);
  void* Memset(void* dest, int value, size_t count);

 private:
  BOOL QueryRomInfo(LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD bytesReturned);
  BOOL Reboot();
  int AskYesNo(const std::string& caption, const std::string& text);
  int ShowOk(const std::string& caption, const std::string& text);
  std::optional<std::u16string> KeyPath(HKEY key) const;
  bool IsFaulty(const std::vector<std::u16string>& faultyKeys, std::u16string_view path) const;
  void Trace(const std::string& line);

  Registry registry_;
  std::vector<res::ResourceEntry> resources_;
  DeviceSettings settings_;
  Console console_;
  ButtonLabels labels_;
  std::map<HKEY, std::u16string> openKeys_;  // handle -> full key path
  HKEY nextKey_ = 0x00002001;
  bool resetRequested_ = false;
};

}  // namespace device
