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
