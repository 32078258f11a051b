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
typedef DWORD HANDLE;     // file handle
typedef DWORD HMODULE;    // module handle; 0 is the running program
typedef BYTE* LPBYTE;
typedef const void* LPCVOID;
typedef void* LPSECURITY_ATTRIBUTES;  // not used by the device: NULL
typedef void* LPOVERLAPPED;           // not used by the device: NULL
typedef struct {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME;

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
#define HKEY_CURRENT_USER ((HKEY)0x80000001u)
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u

// Error codes, returned by the registry routines and left for GetLastError by the others.
#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_DISK_FULL 112L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L

// Files.
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define INVALID_HANDLE_VALUE ((HANDLE)0xFFFFFFFFu)
#define MAX_PATH 260

// Adaptation-layer control codes sent through KernelIoControl.
#define IOCTL_HAL_REBOOT 0x0101003Cu  // soft reset; does not return when the reset takes effect
#define IOCTL_ROM_INFO 0x0101010Fu    // fills the ROM information block
