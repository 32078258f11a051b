// The simulated handheld: registry, ROM information, string table, message boxes and soft reset,
// behind the platform calls a program makes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "call_record.h"
#include "file_system.h"
#include "message_box.h"
#include "platform_types.h"
#include "registry.h"
#include "registry_tree.h"
#include "res_file.h"
#include "rom.h"

namespace device {

// How a Yes/No box is answered.
enum class Answer { FromKeyboard, Yes, No, FailToShow };

// What a soft-reset request does.
enum class ResetBehaviour { TakesEffect, Returns };

// A host folder as the storage card, and how it behaves.
struct CardSettings {
  std::filesystem::path folder;
  std::u16string profile = u"SDMemory";  // the storage manager profile it mounts with
  bool full = false;                     // WriteFile fails with ERROR_DISK_FULL once it is full
  bool readOnly = false;                 // every change is refused with ERROR_ACCESS_DENIED
};

struct DeviceSettings {
  RomBlock romBlock = MakeRomBlock(u"DEUTSCH");
  bool romSilent = false;  // the ROM information query writes nothing and fails
  Answer answer = Answer::FromKeyboard;
  ResetBehaviour reset = ResetBehaviour::TakesEffect;
  std::vector<std::u16string> missingKeys;          // full key paths that do not open
  std::vector<std::u16string> failingWrites;        // full key paths whose writes are refused
  std::vector<std::u16string> failingEnumerations;  // full key paths whose enumeration fails
  // The program's file, in the card's folder or else in \Windows.
  std::u16string programFile = u"CardFolderUpdate.exe";
  std::optional<CardSettings> card;  // none: no card is inserted
  bool stringsMissing = false;       // the string table cannot be loaded
  std::u16string commandLine;
  int showState = 5;  // SW_SHOW
};

// A buffer the string loader copies into unit by unit; a store that fails is a fault while
// copying, which the device catches.
using UnitStore = std::function<bool(size_t index, char16_t unit)>;

// Where the program sees a string of the resources, for a LoadStringW with a NULL buffer: the
// string's first unit is `offset` bytes into the data of entry `entry` of the resources the device
// was made with. None where the program cannot see its resources (it runs natively).
using ResourceAddress = std::function<std::optional<uint32_t>(size_t entry, size_t offset)>;

// The terminal the device draws on and reads answers from.
struct Console {
  std::ostream& out;  // boxes and answers: the record of the run
  std::istream& in;
  bool inputIsTerminal = false;
  size_t width = 80;
  std::ostream* prompts = nullptr;  // prompts and hints while the device waits; null: `out`
  bool boxesOnPrompts = false;  // `out` is not the terminal: a box that waits is drawn there too
  // Receives the record of every platform call as it returns; null: no call is recorded.
  CallSink calls{};
};

// Thrown through the program when the keyboard input ends while a box waits for an answer: the
// user left, and the run ends there as an interruption.
struct InputEnded : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The program's entry as the runtime calls it: the native WinMain, or an emulated image's entry.
using ProgramEntry =
    std::function<int(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show)>;

struct RunResult {
  int exitStatus = 0;
  bool resetRequested = false;
  bool resetTookEffect = false;
  size_t keysLeftOpen = 0;
  size_t platformCalls = 0;
  std::vector<ValueChange> changes;
  std::vector<WrittenFile> filesWritten;     // on the card and in the object store
  size_t filesLeftOpen = 0;                  // closed by the end of the process
  std::optional<std::u16string> cardFolder;  // the folder the card was mounted as
};

constexpr HINSTANCE kProcessHandle = 0x02C4F0A6;  // the process handle the program is started with
constexpr HINSTANCE kCurrentProcess = 0x42;       // the current-process pseudo-handle

class Device {
 public:
  // Mounts the card, if any, as the storage manager does at boot, under the folder name its
  // profile gives. Throws CardError when the card cannot be mounted.
  Device(Registry registry, std::vector<res::ResourceEntry> resources, DeviceSettings settings,
         Console console);

  // Starts the program once, as a new process, and runs it until it returns or the device resets.
  // Whatever else the entry throws ends the run and reaches the caller.
  RunResult Run(const ProgramEntry& entry);

  const Registry& registry() const { return registry_; }

  // The device the program is running on; ends the process when there is none.
  static Device& Active();

  // The platform calls, as the program makes them.
  int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style);
  int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int capacity);
  // LoadStringW with the buffer behind `store`; a null `store` is a NULL buffer, whose result is
  // the address `addressOf` gives.
  int LoadStringInto(HINSTANCE instance, UINT id, const UnitStore* store, int capacity,
                     const ResourceAddress& addressOf = {});
  LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result);
  LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                      DWORD size);
  LONG RegCloseKey(HKEY key);
  BOOL KernelIoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                       LPDWORD bytesReturned);
  void* Memset(void* dest, int value, size_t count);
  LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameUnits, LPDWORD reserved,
                     LPWSTR className, LPDWORD classUnits, PFILETIME lastWriteTime);
  LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameUnits, LPDWORD reserved,
                     LPDWORD type, LPBYTE data, LPDWORD dataSize);
  LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                        LPDWORD dataSize);
  LONG RegQueryInfoKeyW(HKEY key, LPWSTR className, LPDWORD classUnits, LPDWORD reserved,
                        LPDWORD subKeys, LPDWORD maxSubKeyUnits, LPDWORD maxClassUnits,
                        LPDWORD values, LPDWORD maxValueNameUnits, LPDWORD maxValueBytes,
                        LPDWORD securityDescriptorBytes, PFILETIME lastWriteTime);
  DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);
  BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security);
  BOOL RemoveDirectoryW(LPCWSTR path);
  HANDLE CreateFileW(LPCWSTR fileName, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                     DWORD disposition, DWORD flagsAndAttributes, HANDLE templateFile);
  BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped);
  BOOL CloseHandle(HANDLE object);
  BOOL MoveFileW(LPCWSTR from, LPCWSTR to);
  BOOL DeleteFileW(LPCWSTR fileName);
  DWORD GetLastError();
  // The error a call refused before it reached the device leaves for GetLastError.
  void NoteLastError(LONG error);

  // The program's full path, as GetModuleFileNameW gives it.
  std::u16string ProgramPath() const;

  // A call refused before it reached the device (a pointer it cannot use), recorded like the
  // others.
  void RecordRefusedCall(const CallRecord& call);

 private:
  BOOL QueryRomInfo(LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD bytesReturned);
  BOOL Reboot();
  // A box with a choice of buttons, answered from --answer or the keyboard; 0 when it cannot be.
  int AskChoice(const std::string& caption, const std::string& text,
                const std::vector<BoxButton>& buttons);
  int ShowOk(const std::string& caption, const std::string& text);
  std::ostream& Prompts() const { return console_.prompts ? *console_.prompts : console_.out; }
  std::optional<std::u16string> KeyPath(HKEY key) const;
  bool IsFaulty(const std::vector<std::u16string>& faultyKeys, std::u16string_view path) const;
  // Every platform call ends here once: it is counted, and handed to the console's sink.
  void RecordCall(const CallRecord& call);

  static FileSystem MountCard(const Registry& registry, const DeviceSettings& settings);
  const RegistryTree::Key* EnumeratedKey(HKEY key, LONG& status);
  // A routine that reports through GetLastError: FALSE and the error, or TRUE.
  BOOL Finish(CallRecord& call, LONG error);

  Registry registry_;
  std::vector<res::ResourceEntry> resources_;
  DeviceSettings settings_;
  Console console_;
  ButtonLabels labels_;
  std::map<HKEY, std::u16string> openKeys_;  // handle -> full key path
  HKEY nextKey_ = 0x00002001;
  bool resetRequested_ = false;
  size_t platformCalls_ = 0;
  FileSystem files_;
  HANDLE nextFile_ = 0x00004001;
  std::optional<RegistryTree> tree_;  // made when a key is first enumerated
  DWORD lastError_ = 0;
};

}  // namespace device
