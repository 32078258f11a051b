// The registry routines that read: enumeration of a key's subkeys and values, and the query of
// one value or of a key's counts. Lengths of names are in UTF-16 units, the terminator counted in
// what the caller offers and not in what it gets back; data sizes are in bytes. A buffer too small
// gives ERROR_MORE_DATA, an index past the last item ERROR_NO_MORE_ITEMS, and a data size asked
// for with a NULL data buffer is given with ERROR_SUCCESS.
#include <algorithm>
#include <cstring>

#include "device.h"

namespace device {
namespace {

// A name copied with its terminator into a buffer of `*units` units; ERROR_MORE_DATA, with nothing
// written, when it does not fit. On success `*units` is the name's length.
LONG CopyName(std::u16string_view name, LPWSTR buffer, LPDWORD units) {
  if (name.size() + 1 > *units) return kErrorMoreData;
  std::ranges::copy(name, buffer);
  buffer[name.size()] = u'\0';
  *units = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

// The data of a value for a caller's `data` buffer of `*size` bytes: the size is always given
// back; the bytes only when they fit, else ERROR_MORE_DATA. A NULL `size` asks for neither.
LONG CopyData(const RegValue& value, LPBYTE data, LPDWORD size) {
  if (size == nullptr) return ERROR_SUCCESS;
  const DWORD needed = static_cast<DWORD>(value.data.size());
  const bool fits = needed <= *size;
  *size = needed;
  if (data == nullptr) return ERROR_SUCCESS;
  if (!fits) return kErrorMoreData;
  if (needed > 0) std::memcpy(data, value.data.data(), needed);
  return ERROR_SUCCESS;
}

// A key has no class on this device: the empty string, which needs room for its terminator.
LONG CopyClass(LPWSTR className, LPDWORD classUnits) {
  if (className == nullptr) return ERROR_SUCCESS;
  return CopyName(u"", className, classUnits);
}

Value UnitsOrNull(LPDWORD units) {
  return units ? as::Word(*units) : as::Null();
}

}  // namespace

// The key behind an open handle as enumeration sees it; null with `status` set when there is
// none, or when its enumeration is made to fail.
const RegistryTree::Key* Device::EnumeratedKey(HKEY key, LONG& status) {
  std::optional<std::u16string> path = KeyPath(key);
  if (!path) {
    status = kErrorInvalidHandle;
    return nullptr;
  }
  if (IsFaulty(settings_.failingEnumerations, *path)) {
    status = kErrorRegistryIoFailed;
    return nullptr;
  }
  if (!tree_) tree_.emplace(registry_);
  const RegistryTree::Key* found = tree_->Find(*path);
  status = found ? ERROR_SUCCESS : kErrorFileNotFound;  // the key went with its last value
  return found;
}

/*
 * LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameUnits, LPDWORD reserved,
 *                    LPWSTR className, LPDWORD classUnits, PFILETIME lastWriteTime)
 */
LONG Device::RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameUnits, LPDWORD reserved,
                           LPWSTR className, LPDWORD classUnits, PFILETIME lastWriteTime) {
  CallRecord call{"RegEnumKeyExW",
                  {as::Key(key), as::Number(index), as::Pointer(name), UnitsOrNull(nameUnits),
                   as::Pointer(reserved), as::Pointer(className), UnitsOrNull(classUnits),
                   as::Pointer(lastWriteTime)}};
  const auto finish = [&](LONG status) {
    call.result = as::RegResult(status);
    if (status == ERROR_SUCCESS) {
      call.returned.push_back({"name", as::Text({name, *nameUnits})});
      call.returned.push_back({"units", as::Number(*nameUnits)});
    }
    RecordCall(call);
    return status;
  };
  LONG status = ERROR_SUCCESS;
  const RegistryTree::Key* parent = EnumeratedKey(key, status);
  if (status == kErrorInvalidHandle) return finish(status);
  if (name == nullptr || nameUnits == nullptr || reserved != nullptr ||
      (className != nullptr && classUnits == nullptr)) {
    return finish(kErrorInvalidParameter);
  }
  if (parent == nullptr) return finish(status);
  if (index >= parent->subkeys.size()) return finish(kErrorNoMoreItems);
  // The last-write time is not kept on this device; the argument is left as it was.
  if (const LONG classStatus = CopyClass(className, classUnits)) return finish(classStatus);
  return finish(CopyName(tree_->Subkey(*parent, index).name, name, nameUnits));
}

/*
 * LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameUnits, LPDWORD reserved,
 *                    LPDWORD type, LPBYTE data, LPDWORD dataSize)
 */
LONG Device::RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameUnits, LPDWORD reserved,
                           LPDWORD type, LPBYTE data, LPDWORD dataSize) {
  CallRecord call{
      "RegEnumValueW",
      {as::Key(key), as::Number(index), as::Pointer(name), UnitsOrNull(nameUnits),
       as::Pointer(reserved), as::Pointer(type), as::Pointer(data), UnitsOrNull(dataSize)}};
  const RegValue* found = nullptr;
  bool named = false;
  const auto finish = [&](LONG status) {
    call.result = as::RegResult(status);
    if (named) {
      call.returned.push_back({"name", as::Text({name, *nameUnits})});
      call.returned.push_back({"type", as::RegType(found->type)});
      if (dataSize != nullptr) call.returned.push_back({"size", as::Number(*dataSize)});
      if (status == ERROR_SUCCESS && data != nullptr)
        call.returned.push_back({"data", as::ValueData(found->type, found->data)});
    }
    RecordCall(call);
    return status;
  };
  LONG status = ERROR_SUCCESS;
  const RegistryTree::Key* parent = EnumeratedKey(key, status);
  if (status == kErrorInvalidHandle) return finish(status);
  if (name == nullptr || nameUnits == nullptr || reserved != nullptr ||
      (data != nullptr && dataSize == nullptr)) {
    return finish(kErrorInvalidParameter);
  }
  if (parent == nullptr) return finish(status);
  if (index >= parent->values.size()) return finish(kErrorNoMoreItems);
  found = &parent->values[index];
  if (const LONG nameStatus = CopyName(found->name, name, nameUnits)) return finish(nameStatus);
  named = true;
  if (type != nullptr) *type = found->type;
  return finish(CopyData(*found, data, dataSize));
}

/*
 * LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
 *                       LPDWORD dataSize)
 */
LONG Device::RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                              LPBYTE data, LPDWORD dataSize) {
  CallRecord call{"RegQueryValueExW",
                  {as::Key(key), as::TextOrNull(valueName), as::Pointer(reserved),
                   as::Pointer(type), as::Pointer(data), UnitsOrNull(dataSize)}};
  const RegValue* found = nullptr;
  const auto finish = [&](LONG status) {
    call.result = as::RegResult(status);
    if (found != nullptr) {
      call.returned.push_back({"type", as::RegType(found->type)});
      if (dataSize != nullptr) call.returned.push_back({"size", as::Number(*dataSize)});
      if (status == ERROR_SUCCESS && data != nullptr)
        call.returned.push_back({"data", as::ValueData(found->type, found->data)});
    }
    RecordCall(call);
    return status;
  };
  std::optional<std::u16string> path = KeyPath(key);
  if (!path) return finish(kErrorInvalidHandle);
  if (reserved != nullptr || (data != nullptr && dataSize == nullptr))
    return finish(kErrorInvalidParameter);
  const RegValue* value = registry_.FindValue(*path, valueName ? valueName : u"");
  if (value == nullptr) return finish(kErrorFileNotFound);
  found = value;
  if (type != nullptr) *type = found->type;
  return finish(CopyData(*found, data, dataSize));
}

/*
 * LONG RegQueryInfoKeyW(HKEY key, LPWSTR className, LPDWORD classUnits, LPDWORD reserved,
 *                       LPDWORD subKeys, LPDWORD maxSubKeyUnits, LPDWORD maxClassUnits,
 *                       LPDWORD values, LPDWORD maxValueNameUnits, LPDWORD maxValueBytes,
 *                       LPDWORD securityDescriptorBytes, PFILETIME lastWriteTime)
 */
LONG Device::RegQueryInfoKeyW(HKEY key, LPWSTR className, LPDWORD classUnits, LPDWORD reserved,
                              LPDWORD subKeys, LPDWORD maxSubKeyUnits, LPDWORD maxClassUnits,
                              LPDWORD values, LPDWORD maxValueNameUnits, LPDWORD maxValueBytes,
                              LPDWORD securityDescriptorBytes, PFILETIME lastWriteTime) {
  CallRecord call{
      "RegQueryInfoKeyW",
      {as::Key(key), as::Pointer(className), UnitsOrNull(classUnits), as::Pointer(reserved),
       as::Pointer(subKeys), as::Pointer(maxSubKeyUnits), as::Pointer(maxClassUnits),
       as::Pointer(values), as::Pointer(maxValueNameUnits), as::Pointer(maxValueBytes),
       as::Pointer(securityDescriptorBytes), as::Pointer(lastWriteTime)}};
  const auto finish = [&](LONG status) {
    call.result = as::RegResult(status);
    RecordCall(call);
    return status;
  };
  LONG status = ERROR_SUCCESS;
  const RegistryTree::Key* found = EnumeratedKey(key, status);
  if (status == kErrorInvalidHandle) return finish(status);
  if (reserved != nullptr || (className != nullptr && classUnits == nullptr))
    return finish(kErrorInvalidParameter);
  if (found == nullptr) return finish(status);
  if (const LONG classStatus = CopyClass(className, classUnits)) return finish(classStatus);
  DWORD longestSubkey = 0, longestName = 0, largestData = 0;
  for (size_t index = 0; index < found->subkeys.size(); ++index) {
    longestSubkey =
        std::max(longestSubkey, static_cast<DWORD>(tree_->Subkey(*found, index).name.size()));
  }
  for (const RegValue& value : found->values) {
    longestName = std::max(longestName, static_cast<DWORD>(value.name.size()));
    largestData = std::max(largestData, static_cast<DWORD>(value.data.size()));
  }
  const std::pair<LPDWORD, DWORD> answers[] = {
      {subKeys, static_cast<DWORD>(found->subkeys.size())},
      {maxSubKeyUnits, longestSubkey},
      {maxClassUnits, 0},
      {values, static_cast<DWORD>(found->values.size())},
      {maxValueNameUnits, longestName},
      {maxValueBytes, largestData},
      {securityDescriptorBytes, 0},
  };
  static const char* const names[] = {
      "subkeys",      "longest subkey", "longest class",      "values",
      "longest name", "largest data",   "security descriptor"};
  for (size_t i = 0; i < std::size(answers); ++i) {
    if (answers[i].first == nullptr) continue;
    *answers[i].first = answers[i].second;
    call.returned.push_back({names[i], as::Number(answers[i].second)});
  }
  return finish(ERROR_SUCCESS);
}

}  // namespace device
