// The file routines, the program's own path and the last error. Each routine that returns a BOOL
// or a handle leaves its error for GetLastError; the file system below does the work and makes
// the platform's checks.
#include <algorithm>

#include "binary.h"
#include "device.h"
#include "file_values.h"
#include "storage_manager.h"

namespace device {
namespace {

// "GENERIC_READ | GENERIC_WRITE"; bits with no name in hex; 0 as the number.
Value Flags(DWORD value, std::initializer_list<std::pair<DWORD, const char*>> names) {
  if (value == 0) return as::Number(0);
  std::string text;
  DWORD rest = value;
  for (const auto& [bit, name] : names) {
    if ((rest & bit) != bit) continue;
    text += (text.empty() ? "" : " | ") + std::string(name);
    rest &= ~bit;
  }
  if (rest != 0) text += (text.empty() ? "" : " | ") + binary::Hex(rest, 8);
  return as::Constant(value, text);
}

std::u16string TextOf(LPCWSTR text) {
  return text ? std::u16string(text) : std::u16string();
}

}  // namespace

namespace as {

Value FileAccess(DWORD access) {
  return Flags(access, {{kGenericRead, "GENERIC_READ"}, {kGenericWrite, "GENERIC_WRITE"}});
}

Value FileShare(DWORD share) {
  return Flags(share, {{kFileShareRead, "FILE_SHARE_READ"}, {kFileShareWrite, "FILE_SHARE_WRITE"}});
}

Value Disposition(DWORD disposition) {
  static const char* const names[] = {
      "", "CREATE_NEW", "CREATE_ALWAYS", "OPEN_EXISTING", "OPEN_ALWAYS", "TRUNCATE_EXISTING"};
  if (disposition >= 1 && disposition < std::size(names))
    return Constant(disposition, names[disposition]);
  return Number(disposition);
}

Value FileAttributes(DWORD flags) {
  return Flags(flags, {{kFileAttributeNormal, "FILE_ATTRIBUTE_NORMAL"},
                       {0x01, "FILE_ATTRIBUTE_READONLY"},
                       {0x02, "FILE_ATTRIBUTE_HIDDEN"},
                       {0x04, "FILE_ATTRIBUTE_SYSTEM"},
                       {0x20, "FILE_ATTRIBUTE_ARCHIVE"},
                       {0x80000000, "FILE_FLAG_WRITE_THROUGH"}});
}

Value FileHandle(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE
             ? Constant(static_cast<int64_t>(handle), "INVALID_HANDLE_VALUE")
             : Handle(handle);
}

}  // namespace as

// The card's folder from its profile, as the storage manager reads it, with one leading
// backslash taken off; no other volume is mounted, so the name is never taken.
FileSystem Device::MountCard(const Registry& registry, const DeviceSettings& settings) {
  if (!settings.card) return FileSystem(std::nullopt);
  const CardSettings& card = *settings.card;
  std::u16string folder = MountFolder(registry, card.profile);
  if (folder.starts_with(u'\\')) folder.erase(0, 1);
  if (folder.empty() || folder.find_first_of(u"\\/") != std::u16string::npos) {
    throw CardError("the card cannot be mounted: profile " + ToUtf8(card.profile) +
                    " gives the folder name \"" + ToUtf8(folder) + "\"");
  }
  return FileSystem(
      MountedCard{MakeHostFolderVolume(card.folder), folder, card.full, card.readOnly});
}

std::u16string Device::ProgramPath() const {
  const std::optional<std::u16string> card = files_.CardFolder();
  return u"\\" + (card ? *card : u"Windows") + u"\\" + settings_.programFile;
}

BOOL Device::Finish(CallRecord& call, LONG error) {
  if (error != ERROR_SUCCESS) {
    lastError_ = static_cast<DWORD>(error);
    call.returned.push_back({"last error", as::RegResult(error)});
  }
  call.result = as::Bool(error == ERROR_SUCCESS);
  RecordCall(call);
  return error == ERROR_SUCCESS;
}

/*
 * DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size)
 */
DWORD Device::GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
  CallRecord call{"GetModuleFileNameW",
                  {as::Handle(module), as::Pointer(fileName), as::Number(size)}};
  // The kernel copies at most size - 1 units, always terminates, and does not say when the path
  // was cut short.
  if (size == 0 || fileName == nullptr ||
      (module != 0 && module != kProcessHandle && module != kCurrentProcess)) {
    lastError_ = static_cast<DWORD>(kErrorInvalidParameter);
    call.result = as::Number(0);
    call.returned.push_back({"last error", as::RegResult(kErrorInvalidParameter)});
    RecordCall(call);
    return 0;
  }
  const std::u16string path = ProgramPath();
  const size_t count = std::min<size_t>(path.size(), size - 1);
  std::copy_n(path.begin(), count, fileName);
  fileName[count] = u'\0';
  call.result = as::Number(static_cast<int64_t>(count));
  call.returned.push_back({"path", as::Text(std::u16string_view(path).substr(0, count))});
  RecordCall(call);
  return static_cast<DWORD>(count);
}

/*
 * BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security)
 */
BOOL Device::CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
  CallRecord call{"CreateDirectoryW", {as::TextOrNull(path), as::Pointer(security)}};
  return Finish(call, path ? files_.CreateDirectory(path) : kErrorInvalidParameter);
}

/*
 * BOOL RemoveDirectoryW(LPCWSTR path)
 */
BOOL Device::RemoveDirectoryW(LPCWSTR path) {
  CallRecord call{"RemoveDirectoryW", {as::TextOrNull(path)}};
  return Finish(call, path ? files_.RemoveDirectory(path) : kErrorInvalidParameter);
}

/*
 * BOOL DeleteFileW(LPCWSTR fileName)
 */
BOOL Device::DeleteFileW(LPCWSTR fileName) {
  CallRecord call{"DeleteFileW", {as::TextOrNull(fileName)}};
  return Finish(call, fileName ? files_.DeleteFile(fileName) : kErrorInvalidParameter);
}

/*
 * BOOL MoveFileW(LPCWSTR from, LPCWSTR to)
 */
BOOL Device::MoveFileW(LPCWSTR from, LPCWSTR to) {
  CallRecord call{"MoveFileW", {as::TextOrNull(from), as::TextOrNull(to)}};
  return Finish(call, from && to ? files_.MoveFile(from, to) : kErrorInvalidParameter);
}

/*
 * HANDLE CreateFileW(LPCWSTR fileName, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
 *                    DWORD disposition, DWORD flagsAndAttributes, HANDLE templateFile)
 */
HANDLE Device::CreateFileW(LPCWSTR fileName, DWORD access, DWORD share,
                           LPSECURITY_ATTRIBUTES security, DWORD disposition,
                           DWORD flagsAndAttributes, HANDLE templateFile) {
  CallRecord call{"CreateFileW",
                  {as::TextOrNull(fileName), as::FileAccess(access), as::FileShare(share),
                   as::Pointer(security), as::Disposition(disposition),
                   as::FileAttributes(flagsAndAttributes), as::Handle(templateFile)}};
  // The security attributes and the template file are ignored, as on the device.
  bool existed = false;
  const LONG error = fileName ? files_.CreateFile(TextOf(fileName), access, share, disposition,
                                                  flagsAndAttributes, nextFile_, existed)
                              : kErrorInvalidParameter;
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (error != ERROR_SUCCESS) {
    lastError_ = static_cast<DWORD>(error);
    call.returned.push_back({"last error", as::RegResult(error)});
  } else {
    handle = nextFile_++;
    if (existed) {  // success, and a file that was there before
      lastError_ = static_cast<DWORD>(kErrorAlreadyExists);
      call.returned.push_back({"last error", as::RegResult(kErrorAlreadyExists)});
    }
  }
  call.result = as::FileHandle(handle);
  RecordCall(call);
  return handle;
}

/*
 * BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written,
 *                LPOVERLAPPED overlapped)
 */
BOOL Device::WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written,
                       LPOVERLAPPED overlapped) {
  CallRecord call{"WriteFile",
                  {as::FileHandle(file), as::Pointer(buffer), as::Number(size),
                   as::Pointer(written), as::Pointer(overlapped)}};
  // The handle is checked first, then the count is zeroed; the overlapped argument is ignored.
  LONG error = files_.IsOpenFile(file) ? ERROR_SUCCESS : kErrorInvalidHandle;
  if (error == ERROR_SUCCESS && written == nullptr) error = kErrorInvalidParameter;
  if (error == ERROR_SUCCESS) {
    DWORD count = 0;
    error = files_.WriteFile(file, static_cast<const uint8_t*>(buffer), size, count);
    *written = count;
    call.returned.push_back({"written", as::Number(count)});
  }
  return Finish(call, error);
}

/*
 * BOOL CloseHandle(HANDLE object)
 */
BOOL Device::CloseHandle(HANDLE object) {
  CallRecord call{"CloseHandle", {as::FileHandle(object)}};
  return Finish(call, files_.CloseFile(object));
}

/*
 * DWORD GetLastError(void)
 */
void Device::NoteLastError(LONG error) {
  lastError_ = static_cast<DWORD>(error);
}

DWORD Device::GetLastError() {
  RecordCall({"GetLastError", {}, as::RegResult(static_cast<LONG>(lastError_))});
  return lastError_;
}

}  // namespace device
