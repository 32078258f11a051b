// The file routines' arguments as a call record shows them, with the platform's names.
#pragma once

#include "call_record.h"

namespace device::as {

Value FileAccess(DWORD access);        // GENERIC_READ | GENERIC_WRITE
Value FileShare(DWORD share);          // FILE_SHARE_READ | FILE_SHARE_WRITE
Value Disposition(DWORD disposition);  // CREATE_NEW, ..., TRUNCATE_EXISTING
Value FileAttributes(DWORD flags);     // FILE_ATTRIBUTE_NORMAL, ...
Value FileHandle(HANDLE handle);       // a handle, or INVALID_HANDLE_VALUE

}  // namespace device::as
