// The device's types, widths and constants that the platform calls use.
#pragma once

#include <stddef.h>

// Device widths: WCHAR is a UTF-16 unit; DWORD, LONG, BOOL, UINT and handles are 32 bits.
typedef char16_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef unsigned char BYTE;
typedef unsigned int DWORD;
typedef int LONG;
typedef int BOOL;
typedef unsigned int UINT;
typedef DWORD* LPDWORD;
typedef void* LPVOID;
typedef DWORD REGSAM;
typedef DWORD HKEY;  // registry key handle
typedef HKEY* PHKEY;
typedef DWORD HINSTANCE;  // module handle; on the device the process handle
typedef DWORD HWND;       // window handle; 0 is "no window"

static_assert(sizeof(WCHAR) == 2 && sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(BOOL) == 4,
              "the device's type widths");

#define WINAPI

#define FALSE 0
#define TRUE 1

// MessageBoxW styles and results.
#define MB_OK 0x00000000u
#define MB_OKCANCEL 0x00000001u
#define MB_ABORTRETRYIGNORE 0x00000002u
#define MB_YESNOCANCEL 0x00000003u
#define MB_YESNO 0x00000004u
#define MB_RETRYCANCEL 0x00000005u
#define IDOK 1
#define IDCANCEL 2
#define IDABORT 3
#define IDRETRY 4
#define IDIGNORE 5
#define IDYES 6
#define IDNO 7

// Registry.
#define HKEY_LOCAL_MACHINE ((HKEY)0x80000002u)
#define REG_SZ 1u
#define ERROR_SUCCESS 0

// Adaptation-layer control codes sent through KernelIoControl.
#define IOCTL_HAL_REBOOT 0x0101003Cu  // soft reset; does not return when the reset takes effect
#define IOCTL_ROM_INFO 0x0101010Fu    // fills the ROM information block
