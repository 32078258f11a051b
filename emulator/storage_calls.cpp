// The core-library routines that read the registry and write files, for the emulated device. As
// the other handlers: the guest's arguments unpacked, a pointer the routine cannot use refused
// with the platform's failure, buffers read out of guest memory, the device doing the work and
// recording it, and what it wrote copied back. A buffer the routine may write is read first and
// written back whole, so what the device leaves alone stays as it was.
#include "storage_calls.h"

#include <algorithm>

#include "file_values.h"

namespace emulator {
namespace {

namespace as = device::as;

// A pointer argument to a word or a buffer the routine may read and write.
struct GuestBuffer {
  uint32_t address = 0;
  bool usable = true;  // a null pointer is usable: the device decides what it means
  std::vector<uint8_t> bytes;
};

GuestBuffer BufferAt(const PlatformCall& call, uint32_t address, uint64_t size) {
  GuestBuffer buffer{address, true, {}};
  if (address == 0) return buffer;
  std::optional<std::vector<uint8_t>> bytes;
  if (size <= UINT32_MAX && call.memory.Allows(address, static_cast<uint32_t>(size), kWrite))
    bytes = call.memory.Read(address, static_cast<uint32_t>(size));
  buffer.usable = bytes.has_value();
  if (bytes) buffer.bytes = std::move(*bytes);
  return buffer;
}

void WriteBack(PlatformCall& call, const GuestBuffer& buffer) {
  if (buffer.address != 0 && buffer.usable) call.memory.Write(buffer.address, buffer.bytes);
}

// A word the routine reads and may write: a count of units, a size in bytes.
struct GuestWord {
  GuestBuffer buffer;
  DWORD value = 0;

  DWORD* pointer() { return buffer.address ? &value : nullptr; }
  // As the device shows it: the word it holds.
  device::Value Shown(const PlatformCall& call) const {
    if (buffer.address == 0) return as::Null();
    return buffer.usable ? as::Word(value) : call.Pointer(buffer.address, false);
  }
};

GuestWord WordAt(const PlatformCall& call, uint32_t address) {
  GuestWord word{BufferAt(call, address, 4), 0};
  if (address != 0 && word.buffer.usable) word.value = *call.memory.ReadWord(address);
  return word;
}

void WriteBack(PlatformCall& call, const GuestWord& word) {
  if (word.buffer.address != 0 && word.buffer.usable)
    call.memory.WriteWord(word.buffer.address, word.value);
}

// UTF-16 units in a guest buffer, in the host's order while the device works on them.
std::u16string Units(const GuestBuffer& buffer) {
  std::u16string units(buffer.bytes.size() / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i)
    units[i] = static_cast<char16_t>(buffer.bytes[2 * i] | buffer.bytes[2 * i + 1] << 8);
  return units;
}

void StoreUnits(GuestBuffer& buffer, std::u16string_view units) {
  buffer.bytes = LittleEndianUnits(units);
}

// Something for the device to see as "a pointer was passed" where it never looks behind it.
DWORD placeholder = 0;

LPDWORD Passed(uint32_t address) {
  return address ? &placeholder : nullptr;
}

bool AllUsable(std::initializer_list<bool> usable) {
  return std::ranges::all_of(usable, [](bool ok) { return ok; });
}

// A routine that reports through GetLastError refused for a bad pointer: its failure result, and
// ERROR_INVALID_PARAMETER left for GetLastError.
uint32_t RefuseWithLastError(PlatformCall& call, device::CallRecord record, device::Value failure) {
  call.device.NoteLastError(device::kErrorInvalidParameter);
  record.result = std::move(failure);
  record.returned.push_back({"last error", as::RegResult(device::kErrorInvalidParameter)});
  return call.Refuse(std::move(record));
}

/*
 * LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameUnits, LPDWORD reserved,
 *                    LPWSTR className, LPDWORD classUnits, PFILETIME lastWriteTime)
 */
uint32_t RegEnumKeyExWHandler(PlatformCall& call) {
  const HKEY key = call.Argument(0);
  const DWORD index = call.Argument(1);
  const uint32_t name = call.Argument(2), nameUnits = call.Argument(3), reserved = call.Argument(4),
                 className = call.Argument(5), classUnits = call.Argument(6),
                 lastWriteTime = call.Argument(7);
  GuestWord nameCount = WordAt(call, nameUnits), classCount = WordAt(call, classUnits);
  GuestBuffer nameBuffer = BufferAt(call, name, 2ull * nameCount.value);
  GuestBuffer classBuffer = BufferAt(call, className, 2ull * classCount.value);
  if (!AllUsable({nameCount.buffer.usable, classCount.buffer.usable, nameBuffer.usable,
                  classBuffer.usable})) {
    return call.Refuse({"RegEnumKeyExW",
                        {as::Key(key), as::Number(index), call.Pointer(name, nameBuffer.usable),
                         nameCount.Shown(call), as::Pointer(Passed(reserved)),
                         call.Pointer(className, classBuffer.usable), classCount.Shown(call),
                         as::Pointer(Passed(lastWriteTime))},
                        as::RegResult(device::kErrorInvalidParameter)});
  }
  std::u16string nameUnitsHost = Units(nameBuffer) + u'\0',
                 classUnitsHost = Units(classBuffer) + u'\0';
  FILETIME unused{};
  const LONG status = call.device.RegEnumKeyExW(
      key, index, name ? nameUnitsHost.data() : nullptr, nameCount.pointer(), Passed(reserved),
      className ? classUnitsHost.data() : nullptr, classCount.pointer(),
      lastWriteTime ? &unused : nullptr);
  StoreUnits(nameBuffer, std::u16string_view(nameUnitsHost).substr(0, nameBuffer.bytes.size() / 2));
  StoreUnits(classBuffer,
             std::u16string_view(classUnitsHost).substr(0, classBuffer.bytes.size() / 2));
  for (const GuestBuffer* buffer : {&nameBuffer, &classBuffer}) WriteBack(call, *buffer);
  for (const GuestWord* word : {&nameCount, &classCount}) WriteBack(call, *word);
  return static_cast<uint32_t>(status);
}

/*
 * LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameUnits, LPDWORD reserved,
 *                    LPDWORD type, LPBYTE data, LPDWORD dataSize)
 */
uint32_t RegEnumValueWHandler(PlatformCall& call) {
  const HKEY key = call.Argument(0);
  const DWORD index = call.Argument(1);
  const uint32_t name = call.Argument(2), nameUnits = call.Argument(3), reserved = call.Argument(4),
                 type = call.Argument(5), data = call.Argument(6), dataSize = call.Argument(7);
  GuestWord nameCount = WordAt(call, nameUnits), typeWord = WordAt(call, type),
            size = WordAt(call, dataSize);
  GuestBuffer nameBuffer = BufferAt(call, name, 2ull * nameCount.value);
  GuestBuffer dataBuffer = BufferAt(call, data, size.value);
  if (!AllUsable({nameCount.buffer.usable, typeWord.buffer.usable, size.buffer.usable,
                  nameBuffer.usable, dataBuffer.usable})) {
    return call.Refuse({"RegEnumValueW",
                        {as::Key(key), as::Number(index), call.Pointer(name, nameBuffer.usable),
                         nameCount.Shown(call), as::Pointer(Passed(reserved)),
                         call.Pointer(type, typeWord.buffer.usable),
                         call.Pointer(data, dataBuffer.usable), size.Shown(call)},
                        as::RegResult(device::kErrorInvalidParameter)});
  }
  std::u16string nameUnitsHost = Units(nameBuffer) + u'\0';
  const LONG status = call.device.RegEnumValueW(
      key, index, name ? nameUnitsHost.data() : nullptr, nameCount.pointer(), Passed(reserved),
      typeWord.pointer(), data ? dataBuffer.bytes.data() : nullptr, size.pointer());
  StoreUnits(nameBuffer, std::u16string_view(nameUnitsHost).substr(0, nameBuffer.bytes.size() / 2));
  for (const GuestBuffer* buffer : {&nameBuffer, &dataBuffer}) WriteBack(call, *buffer);
  for (const GuestWord* word : {&nameCount, &typeWord, &size}) WriteBack(call, *word);
  return static_cast<uint32_t>(status);
}

/*
 * LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
 *                       LPDWORD dataSize)
 */
uint32_t RegQueryValueExWHandler(PlatformCall& call) {
  const HKEY key = call.Argument(0);
  const uint32_t valueName = call.Argument(1), reserved = call.Argument(2), type = call.Argument(3),
                 data = call.Argument(4), dataSize = call.Argument(5);
  const std::optional<GuestText> name = call.Text(valueName);
  GuestWord typeWord = WordAt(call, type), size = WordAt(call, dataSize);
  GuestBuffer dataBuffer = BufferAt(call, data, size.value);
  if (!name || !AllUsable({typeWord.buffer.usable, size.buffer.usable, dataBuffer.usable})) {
    return call.Refuse({"RegQueryValueExW",
                        {as::Key(key), call.TextArgument(valueName, name),
                         as::Pointer(Passed(reserved)), call.Pointer(type, typeWord.buffer.usable),
                         call.Pointer(data, dataBuffer.usable), size.Shown(call)},
                        as::RegResult(device::kErrorInvalidParameter)});
  }
  const LONG status =
      call.device.RegQueryValueExW(key, name->pointer(), Passed(reserved), typeWord.pointer(),
                                   data ? dataBuffer.bytes.data() : nullptr, size.pointer());
  WriteBack(call, dataBuffer);
  for (const GuestWord* word : {&typeWord, &size}) WriteBack(call, *word);
  return static_cast<uint32_t>(status);
}

/*
 * LONG RegQueryInfoKeyW(HKEY key, LPWSTR className, LPDWORD classUnits, LPDWORD reserved,
 *                       LPDWORD subKeys, LPDWORD maxSubKeyUnits, LPDWORD maxClassUnits,
 *                       LPDWORD values, LPDWORD maxValueNameUnits, LPDWORD maxValueBytes,
 *                       LPDWORD securityDescriptorBytes, PFILETIME lastWriteTime)
 */
uint32_t RegQueryInfoKeyWHandler(PlatformCall& call) {
  const HKEY key = call.Argument(0);
  const uint32_t className = call.Argument(1), classUnits = call.Argument(2),
                 reserved = call.Argument(3), lastWriteTime = call.Argument(11);
  GuestWord classCount = WordAt(call, classUnits);
  GuestBuffer classBuffer = BufferAt(call, className, 2ull * classCount.value);
  std::vector<GuestWord> counts;  // subKeys to securityDescriptorBytes
  bool usable = classCount.buffer.usable && classBuffer.usable;
  for (int index = 4; index <= 10; ++index) {
    counts.push_back(WordAt(call, call.Argument(index)));
    usable = usable && counts.back().buffer.usable;
  }
  if (!usable) {
    device::CallRecord record{"RegQueryInfoKeyW",
                              {as::Key(key), call.Pointer(className, classBuffer.usable),
                               classCount.Shown(call), as::Pointer(Passed(reserved))}};
    for (const GuestWord& count : counts)
      record.arguments.push_back(call.Pointer(count.buffer.address, count.buffer.usable));
    record.arguments.push_back(as::Pointer(Passed(lastWriteTime)));
    record.result = as::RegResult(device::kErrorInvalidParameter);
    return call.Refuse(std::move(record));
  }
  std::u16string classUnitsHost = Units(classBuffer) + u'\0';
  FILETIME unused{};
  const LONG status = call.device.RegQueryInfoKeyW(
      key, className ? classUnitsHost.data() : nullptr, classCount.pointer(), Passed(reserved),
      counts[0].pointer(), counts[1].pointer(), counts[2].pointer(), counts[3].pointer(),
      counts[4].pointer(), counts[5].pointer(), counts[6].pointer(),
      lastWriteTime ? &unused : nullptr);
  StoreUnits(classBuffer,
             std::u16string_view(classUnitsHost).substr(0, classBuffer.bytes.size() / 2));
  WriteBack(call, classBuffer);
  WriteBack(call, classCount);
  for (const GuestWord& count : counts) WriteBack(call, count);
  return static_cast<uint32_t>(status);
}

/*
 * DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size)
 */
uint32_t GetModuleFileNameWHandler(PlatformCall& call) {
  const HMODULE module = call.Argument(0);
  const uint32_t fileName = call.Argument(1);
  const DWORD size = call.Argument(2);
  GuestBuffer buffer = BufferAt(call, fileName, 2ull * size);
  if (!buffer.usable) {
    return RefuseWithLastError(
        call,
        {"GetModuleFileNameW",
         {as::Handle(module), call.Pointer(fileName, false), as::Number(size)}},
        as::Number(0));
  }
  std::u16string units = Units(buffer) + u'\0';
  const DWORD count =
      call.device.GetModuleFileNameW(module, fileName ? units.data() : nullptr, size);
  StoreUnits(buffer, std::u16string_view(units).substr(0, buffer.bytes.size() / 2));
  WriteBack(call, buffer);
  return count;
}

// A routine that takes one or two paths and reports through GetLastError.
template <typename Routine>
uint32_t PathsHandler(PlatformCall& call, const char* routine, int paths, Routine run) {
  std::optional<GuestText> texts[2];
  device::CallRecord record{routine, {}};
  bool usable = true;
  for (int index = 0; index < paths; ++index) {
    texts[index] = call.Text(call.Argument(index));
    usable = usable && texts[index].has_value();
    record.arguments.push_back(call.TextArgument(call.Argument(index), texts[index]));
  }
  if (!usable) return RefuseWithLastError(call, std::move(record), as::Bool(FALSE));
  return static_cast<uint32_t>(run(texts[0]->pointer(), paths > 1 ? texts[1]->pointer() : nullptr));
}

/*
 * BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security)
 */
uint32_t CreateDirectoryWHandler(PlatformCall& call) {
  const uint32_t security = call.Argument(1);
  const std::optional<GuestText> path = call.Text(call.Argument(0));
  if (!path) {
    return RefuseWithLastError(
        call,
        {"CreateDirectoryW",
         {call.TextArgument(call.Argument(0), path), as::Pointer(Passed(security))}},
        as::Bool(FALSE));
  }
  return static_cast<uint32_t>(call.device.CreateDirectoryW(path->pointer(), Passed(security)));
}

/*
 * BOOL RemoveDirectoryW(LPCWSTR path)
 */
uint32_t RemoveDirectoryWHandler(PlatformCall& call) {
  return PathsHandler(call, "RemoveDirectoryW", 1,
                      [&](LPCWSTR path, LPCWSTR) { return call.device.RemoveDirectoryW(path); });
}

/*
 * BOOL DeleteFileW(LPCWSTR fileName)
 */
uint32_t DeleteFileWHandler(PlatformCall& call) {
  return PathsHandler(call, "DeleteFileW", 1,
                      [&](LPCWSTR path, LPCWSTR) { return call.device.DeleteFileW(path); });
}

/*
 * BOOL MoveFileW(LPCWSTR from, LPCWSTR to)
 */
uint32_t MoveFileWHandler(PlatformCall& call) {
  return PathsHandler(call, "MoveFileW", 2,
                      [&](LPCWSTR from, LPCWSTR to) { return call.device.MoveFileW(from, to); });
}

/*
 * HANDLE CreateFileW(LPCWSTR fileName, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
 *                    DWORD disposition, DWORD flagsAndAttributes, HANDLE templateFile)
 */
uint32_t CreateFileWHandler(PlatformCall& call) {
  const uint32_t fileName = call.Argument(0);
  const DWORD access = call.Argument(1), share = call.Argument(2);
  const uint32_t security = call.Argument(3);
  const DWORD disposition = call.Argument(4), flags = call.Argument(5);
  const HANDLE templateFile = call.Argument(6);
  const std::optional<GuestText> name = call.Text(fileName);
  if (!name) {
    return RefuseWithLastError(
        call,
        {"CreateFileW",
         {call.TextArgument(fileName, name), as::FileAccess(access), as::FileShare(share),
          as::Pointer(Passed(security)), as::Disposition(disposition), as::FileAttributes(flags),
          as::Handle(templateFile)}},
        as::FileHandle(INVALID_HANDLE_VALUE));
  }
  return call.device.CreateFileW(name->pointer(), access, share, Passed(security), disposition,
                                 flags, templateFile);
}

/*
 * BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written,
 *                LPOVERLAPPED overlapped)
 */
uint32_t WriteFileHandler(PlatformCall& call) {
  const HANDLE file = call.Argument(0);
  const uint32_t buffer = call.Argument(1);
  const DWORD size = call.Argument(2);
  const uint32_t written = call.Argument(3), overlapped = call.Argument(4);
  std::optional<std::vector<uint8_t>> bytes;
  if (buffer != 0) bytes = call.memory.Read(buffer, size);
  GuestWord count = WordAt(call, written);
  if ((buffer != 0 && !bytes) || !count.buffer.usable) {
    device::CallRecord record{
        "WriteFile",
        {as::FileHandle(file), call.Pointer(buffer, bytes.has_value()), as::Number(size),
         call.Pointer(written, count.buffer.usable), as::Pointer(Passed(overlapped))}};
    if (count.buffer.usable && written != 0) call.memory.WriteWord(written, 0);  // zeroed first
    return RefuseWithLastError(call, std::move(record), as::Bool(FALSE));
  }
  const BOOL result = call.device.WriteFile(file, bytes ? bytes->data() : nullptr, size,
                                            count.pointer(), Passed(overlapped));
  WriteBack(call, count);
  return static_cast<uint32_t>(result);
}

/*
 * BOOL CloseHandle(HANDLE object)
 */
uint32_t CloseHandleHandler(PlatformCall& call) {
  return static_cast<uint32_t>(call.device.CloseHandle(call.Argument(0)));
}

/*
 * DWORD GetLastError(void)
 */
uint32_t GetLastErrorHandler(PlatformCall& call) {
  return call.device.GetLastError();
}

constexpr CoreLibraryRoutine kRoutines[] = {
    {"CloseHandle", CloseHandleHandler},
    {"CreateDirectoryW", CreateDirectoryWHandler},
    {"CreateFileW", CreateFileWHandler},
    {"DeleteFileW", DeleteFileWHandler},
    {"GetLastError", GetLastErrorHandler},
    {"GetModuleFileNameW", GetModuleFileNameWHandler},
    {"MoveFileW", MoveFileWHandler},
    {"RegEnumKeyExW", RegEnumKeyExWHandler},
    {"RegEnumValueW", RegEnumValueWHandler},
    {"RegQueryInfoKeyW", RegQueryInfoKeyWHandler},
    {"RegQueryValueExW", RegQueryValueExWHandler},
    {"RemoveDirectoryW", RemoveDirectoryWHandler},
    {"WriteFile", WriteFileHandler},
};

}  // namespace

std::span<const CoreLibraryRoutine> StorageRoutines() {
  return kRoutines;
}

}  // namespace emulator
