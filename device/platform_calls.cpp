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
void* CeMemset(void* dest, int value, size_t count) {
  return device::Device::Active().Memset(dest, value, count);
}
}
