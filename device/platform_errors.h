// The platform's error codes the simulated device gives: the registry routines return them, the
// file routines leave them for GetLastError.
#pragma once

#include "platform_types.h"

namespace device {

constexpr LONG kErrorFileNotFound = 2;
constexpr LONG kErrorPathNotFound = 3;
constexpr LONG kErrorAccessDenied = 5;
constexpr LONG kErrorInvalidHandle = 6;
constexpr LONG kErrorNotSameDevice = 17;
constexpr LONG kErrorGenFailure = 31;
constexpr LONG kErrorSharingViolation = 32;
constexpr LONG kErrorFileExists = 80;
constexpr LONG kErrorInvalidParameter = 87;
constexpr LONG kErrorDiskFull = 112;
constexpr LONG kErrorInvalidName = 123;
constexpr LONG kErrorDirNotEmpty = 145;
constexpr LONG kErrorAlreadyExists = 183;
constexpr LONG kErrorFilenameExcedRange = 206;
constexpr LONG kErrorMoreData = 234;
constexpr LONG kErrorNoMoreItems = 259;
constexpr LONG kErrorRegistryIoFailed = 1016;

}  // namespace device
