// The core-library operations and adaptation-layer controls the update may call. Declarations
// only: on the device they are imported from COREDLL.dll, on the host the simulated device supplies
// them.
#pragma once

#include "platform_types.h"

extern "C" {

int WINAPI MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style);
int WINAPI LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int capacity);
LONG WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result);
LONG WINAPI RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type,
                           const BYTE* data, DWORD size);
LONG WINAPI RegCloseKey(HKEY key);
LONG WINAPI RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameUnits, LPDWORD reserved,
                          LPWSTR className, LPDWORD classUnits, PFILETIME lastWriteTime);
LONG WINAPI RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameUnits, LPDWORD reserved,
                          LPDWORD type, LPBYTE data, LPDWORD dataSize);
LONG WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                             LPBYTE data, LPDWORD dataSize);
LONG WINAPI RegQueryInfoKeyW(HKEY key, LPWSTR className, LPDWORD classUnits, LPDWORD reserved,
                             LPDWORD subKeys, LPDWORD maxSubKeyUnits, LPDWORD maxClassUnits,
                             LPDWORD values, LPDWORD maxValueNameUnits, LPDWORD maxValueBytes,
                             LPDWORD securityDescriptorBytes, PFILETIME lastWriteTime);
DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);
BOOL WINAPI CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security);
BOOL WINAPI RemoveDirectoryW(LPCWSTR path);
HANDLE WINAPI CreateFileW(LPCWSTR fileName, DWORD access, DWORD share,
                          LPSECURITY_ATTRIBUTES security, DWORD disposition,
                          DWORD flagsAndAttributes, HANDLE templateFile);
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written,
                      LPOVERLAPPED overlapped);
BOOL WINAPI CloseHandle(HANDLE object);
BOOL WINAPI MoveFileW(LPCWSTR from, LPCWSTR to);
BOOL WINAPI DeleteFileW(LPCWSTR fileName);
DWORD WINAPI GetLastError(void);
BOOL WINAPI KernelIoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                            LPDWORD bytesReturned);

// The core library's memset. The host build of the program (PLATFORM_HOST_PROGRAM) calls it as
// CeMemset, the simulated device's, so the call is seen there like every other platform call;
// host code that is not the program keeps the C library's memset.
#if defined(__arm__)
void* memset(void* dest, int value, size_t count);
#else
void* CeMemset(void* dest, int value, size_t count);
#if defined(PLATFORM_HOST_PROGRAM)
void* memset(void* dest, int value, size_t count) __asm__("CeMemset");
#endif
#endif
}
