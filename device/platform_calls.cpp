// The platform entry points the program is linked against, forwarded to the running device.
#include "device.h"
#include "platform.h"

extern "C" {

int WINAPI MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style) {
  return device::Device::Active().MessageBoxW(owner, text, caption, style);
}
int WINAPI LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int capacity) {
  return device::Device::Active().LoadStringW(instance, id, buffer, capacity);
}
LONG WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result) {
  return device::Device::Active().RegOpenKeyExW(key, subKey, options, access, result);
}
LONG WINAPI RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type,
                           const BYTE* data, DWORD size) {
  return device::Device::Active().RegSetValueExW(key, valueName, reserved, type, data, size);
}
LONG WINAPI RegCloseKey(HKEY key) {
  return device::Device::Active().RegCloseKey(key);
}
BOOL WINAPI KernelIoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                            LPDWORD bytesReturned) {
  return device::Device::Active().KernelIoControl(code, in, inSize, out, outSize, bytesReturned);
}
LONG WINAPI RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameUnits, LPDWORD reserved,
                          LPWSTR className, LPDWORD classUnits, PFILETIME lastWriteTime) {
  return device::Device::Active().RegEnumKeyExW(key, index, name, nameUnits, reserved, className,
                                                classUnits, lastWriteTime);
}
LONG WINAPI RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameUnits, LPDWORD reserved,
                          LPDWORD type, LPBYTE data, LPDWORD dataSize) {
  return device::Device::Active().RegEnumValueW(key, index, name, nameUnits, reserved, type, data,
                                                dataSize);
}
LONG WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                             LPBYTE data, LPDWORD dataSize) {
  return device::Device::Active().RegQueryValueExW(key, valueName, reserved, type, data, dataSize);
}
LONG WINAPI RegQueryInfoKeyW(HKEY key, LPWSTR className, LPDWORD classUnits, LPDWORD reserved,
                             LPDWORD subKeys, LPDWORD maxSubKeyUnits, LPDWORD maxClassUnits,
                             LPDWORD values, LPDWORD maxValueNameUnits, LPDWORD maxValueBytes,
                             LPDWORD securityDescriptorBytes, PFILETIME lastWriteTime) {
  return device::Device::Active().RegQueryInfoKeyW(
      key, className, classUnits, reserved, subKeys, maxSubKeyUnits, maxClassUnits, values,
      maxValueNameUnits, maxValueBytes, securityDescriptorBytes, lastWriteTime);
}
DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
  return device::Device::Active().GetModuleFileNameW(module, fileName, size);
}
BOOL WINAPI CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
  return device::Device::Active().CreateDirectoryW(path, security);
}
BOOL WINAPI RemoveDirectoryW(LPCWSTR path) {
  return device::Device::Active().RemoveDirectoryW(path);
}
HANDLE WINAPI CreateFileW(LPCWSTR fileName, DWORD access, DWORD share,
                          LPSECURITY_ATTRIBUTES security, DWORD disposition,
                          DWORD flagsAndAttributes, HANDLE templateFile) {
  return device::Device::Active().CreateFileW(fileName, access, share, security, disposition,
                                              flagsAndAttributes, templateFile);
}
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written,
                      LPOVERLAPPED overlapped) {
  return device::Device::Active().WriteFile(file, buffer, size, written, overlapped);
}
BOOL WINAPI CloseHandle(HANDLE object) {
  return device::Device::Active().CloseHandle(object);
}
BOOL WINAPI MoveFileW(LPCWSTR from, LPCWSTR to) {
  return device::Device::Active().MoveFileW(from, to);
}
BOOL WINAPI DeleteFileW(LPCWSTR fileName) {
  return device::Device::Active().DeleteFileW(fileName);
}
DWORD WINAPI GetLastError(void) {
  return device::Device::Active().GetLastError();
}
void* CeMemset(void* dest, int value, size_t count) {
  return device::Device::Active().Memset(dest, value, count);
}
}
