// The survey program on a scripted platform: a registry and a file system in memory, each
// routine failing on demand. What it writes must read back, through the device's own .reg
// reader, to exactly the registry it was given; the folder it picks and what a failure leaves.
#include "survey.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "reg_text.h"
#include "registry.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct FakeValue {
  std::u16string name;
  DWORD type;
  Bytes data;
};

struct FakeKey {
  std::u16string path;  // "HKEY_LOCAL_MACHINE\\A\\B"
  std::vector<FakeValue> values;
};

// The scripted device. A routine named in `failing` fails at its call number `failingCall`
// (from 1) with `failingError`.
struct Platform {
  std::vector<FakeKey> keys;
  std::map<HKEY, std::u16string> open;
  HKEY nextKey = 0x100;
  std::set<std::u16string> folders{u"\\Storage Card"};
  std::map<std::u16string, Bytes> files;
  std::map<HANDLE, std::u16string> handles;
  HANDLE nextHandle = 0x40;
  std::u16string modulePath = u"\\Storage Card\\DeviceSurvey.exe";
  Bytes rom = Bytes(SURVEY_ROM_BLOCK_BYTES, 0x5A);
  size_t diskRoom = SIZE_MAX;       // bytes the card still takes
  bool shortWriteSucceeds = false;  // a write cut short by diskRoom still returns TRUE
  std::string failing;
  int failingCall = 1;
  DWORD failingError = ERROR_ACCESS_DENIED;
  std::map<std::string, int> callCounts;
  DWORD lastError = 0;
  std::vector<std::u16string> boxes;
} fake;

bool Fails(const char* routine) {
  if (++fake.callCounts[routine] != fake.failingCall || fake.failing != routine) return false;
  fake.lastError = fake.failingError;
  return true;
}

BOOL FailWith(DWORD error) {
  fake.lastError = error;
  return FALSE;
}

const FakeKey* FindKey(const std::u16string& path) {
  for (const FakeKey& key : fake.keys) {
    if (key.path == path) return &key;
  }
  return nullptr;
}

// The names of the key's subkeys, in the order of the keys below it.
std::vector<std::u16string> Subkeys(const std::u16string& path) {
  std::vector<std::u16string> names;
  const std::u16string prefix = path + u"\\";
  for (const FakeKey& key : fake.keys) {
    if (!key.path.starts_with(prefix)) continue;
    std::u16string name = key.path.substr(prefix.size());
    name = name.substr(0, name.find(u'\\'));
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  }
  return names;
}

std::u16string KeyPathOf(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return u"HKEY_LOCAL_MACHINE";
  if (key == HKEY_CURRENT_USER) return u"HKEY_CURRENT_USER";
  return fake.open.at(key);
}

bool FolderExists(const std::u16string& path) {
  return fake.folders.contains(path);
}

std::u16string Parent(const std::u16string& path) {
  return path.substr(0, path.rfind(u'\\'));
}

}  // namespace

extern "C" {
int WINAPI MessageBoxW(HWND, LPCWSTR text, LPCWSTR, UINT) {
  fake.boxes.push_back(text);
  return IDOK;
}
int WINAPI LoadStringW(HINSTANCE, UINT id, LPWSTR buffer, int capacity) {
  std::u16string text = u"text " + device::FromUtf8(std::to_string(id)) + u":";
  int count = std::min<int>(static_cast<int>(text.size()), capacity - 1);
  std::copy_n(text.begin(), count, buffer);
  buffer[count] = 0;
  return count;
}
BOOL WINAPI KernelIoControl(DWORD, LPVOID, DWORD, LPVOID out, DWORD outSize, LPDWORD) {
  if (Fails("KernelIoControl")) return FALSE;
  std::memcpy(out, fake.rom.data(), std::min<size_t>(outSize, fake.rom.size()));
  return TRUE;
}
LONG WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM, PHKEY result) {
  if (Fails("RegOpenKeyExW")) return static_cast<LONG>(fake.failingError);
  std::u16string path = KeyPathOf(key) + u"\\" + subKey;
  if (!FindKey(path) && Subkeys(path).empty()) return ERROR_FILE_NOT_FOUND;
  *result = fake.nextKey++;
  fake.open[*result] = path;
  return ERROR_SUCCESS;
}
LONG WINAPI RegCloseKey(HKEY key) {
  fake.open.erase(key);
  return ERROR_SUCCESS;
}
LONG WINAPI RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD units, LPDWORD, LPWSTR,
                          LPDWORD, PFILETIME) {
  if (Fails("RegEnumKeyExW")) return static_cast<LONG>(fake.failingError);
  std::vector<std::u16string> names = Subkeys(KeyPathOf(key));
  if (index >= names.size()) return ERROR_NO_MORE_ITEMS;
  if (names[index].size() + 1 > *units) return ERROR_MORE_DATA;
  std::copy(names[index].begin(), names[index].end(), name);
  name[names[index].size()] = 0;
  *units = static_cast<DWORD>(names[index].size());
  return ERROR_SUCCESS;
}
LONG WINAPI RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD units, LPDWORD, LPDWORD type,
                          LPBYTE data, LPDWORD size) {
  if (Fails("RegEnumValueW")) return static_cast<LONG>(fake.failingError);
  const FakeKey* found = FindKey(KeyPathOf(key));
  if (!found || index >= found->values.size()) return ERROR_NO_MORE_ITEMS;
  const FakeValue& value = found->values[index];
  if (value.name.size() + 1 > *units) return ERROR_MORE_DATA;
  std::copy(value.name.begin(), value.name.end(), name);
  name[value.name.size()] = 0;
  *units = static_cast<DWORD>(value.name.size());
  *type = value.type;
  const bool fits = value.data.size() <= *size;
  *size = static_cast<DWORD>(value.data.size());
  if (!fits) return ERROR_MORE_DATA;
  std::copy(value.data.begin(), value.data.end(), data);
  return ERROR_SUCCESS;
}
LONG WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD, LPDWORD type, LPBYTE data,
                             LPDWORD size) {
  const FakeKey* found = FindKey(KeyPathOf(key));
  for (const FakeValue& value : found ? found->values : std::vector<FakeValue>{}) {
    if (value.name != valueName) continue;
    *type = value.type;
    const bool fits = value.data.size() <= *size;
    *size = static_cast<DWORD>(value.data.size());
    if (!fits) return ERROR_MORE_DATA;
    std::copy(value.data.begin(), value.data.end(), data);
    return ERROR_SUCCESS;
  }
  return ERROR_FILE_NOT_FOUND;
}
DWORD WINAPI GetModuleFileNameW(HMODULE, LPWSTR fileName, DWORD size) {
  DWORD count = std::min<DWORD>(static_cast<DWORD>(fake.modulePath.size()), size - 1);
  std::copy_n(fake.modulePath.begin(), count, fileName);
  fileName[count] = 0;
  return count;
}
BOOL WINAPI CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES) {
  if (Fails("CreateDirectoryW")) return FALSE;
  if (FolderExists(path) || fake.files.contains(path)) return FailWith(ERROR_ALREADY_EXISTS);
  if (!FolderExists(Parent(path))) return FailWith(ERROR_PATH_NOT_FOUND);
  fake.folders.insert(path);
  return TRUE;
}
BOOL WINAPI RemoveDirectoryW(LPCWSTR path) {
  const std::u16string prefix = std::u16string(path) + u"\\";
  for (const auto& [file, bytes] : fake.files) {
    if (file.starts_with(prefix)) return FailWith(145);  // ERROR_DIR_NOT_EMPTY
  }
  return fake.folders.erase(path) ? TRUE : FailWith(ERROR_PATH_NOT_FOUND);
}
HANDLE WINAPI CreateFileW(LPCWSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition,
                          DWORD, HANDLE) {
  EXPECT_EQ(disposition, CREATE_NEW);
  if (Fails("CreateFileW")) return INVALID_HANDLE_VALUE;
  if (fake.files.contains(path)) return FailWith(ERROR_FILE_EXISTS), INVALID_HANDLE_VALUE;
  if (!FolderExists(Parent(path))) return FailWith(ERROR_PATH_NOT_FOUND), INVALID_HANDLE_VALUE;
  fake.files[path];
  fake.handles[fake.nextHandle] = path;
  return fake.nextHandle++;
}
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED) {
  *written = 0;
  if (Fails("WriteFile")) return FALSE;
  const DWORD fits = static_cast<DWORD>(std::min<size_t>(size, fake.diskRoom));
  Bytes& bytes = fake.files.at(fake.handles.at(file));
  bytes.insert(bytes.end(), static_cast<const uint8_t*>(buffer),
               static_cast<const uint8_t*>(buffer) + fits);
  fake.diskRoom -= fits;
  *written = fits;
  return fits == size || fake.shortWriteSucceeds ? TRUE : FailWith(ERROR_DISK_FULL);
}
BOOL WINAPI CloseHandle(HANDLE file) {
  const bool fails = Fails("CloseHandle");  // the handle is closed all the same
  if (!fake.handles.erase(file)) return FailWith(ERROR_INVALID_HANDLE);
  return fails ? FALSE : TRUE;
}
BOOL WINAPI MoveFileW(LPCWSTR from, LPCWSTR to) {
  if (Fails("MoveFileW")) return FALSE;
  if (fake.files.contains(to)) return FailWith(ERROR_ALREADY_EXISTS);
  auto node = fake.files.extract(from);
  if (node.empty()) return FailWith(ERROR_FILE_NOT_FOUND);
  node.key() = to;
  fake.files.insert(std::move(node));
  return TRUE;
}
BOOL WINAPI DeleteFileW(LPCWSTR path) {
  return fake.files.erase(path) ? TRUE : FailWith(ERROR_FILE_NOT_FOUND);
}
DWORD WINAPI GetLastError(void) {
  return fake.lastError;
}
void* CeMemset(void* dest, int value, size_t count) {
  return std::memset(dest, value, count);
}
}

namespace {

Bytes Utf16(std::u16string_view text, bool terminated = true) {
  Bytes bytes;
  for (char16_t unit : text) {
    bytes.push_back(static_cast<uint8_t>(unit));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  if (terminated) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

// A fresh device: its registry, Ident\Name when given, nothing written.
void StartFresh(std::vector<FakeKey> keys) {
  fake = Platform{};
  fake.keys = std::move(keys);
}

std::u16string RunSurvey() {
  SurveyWinMain(1, 0, nullptr, 5);
  EXPECT_EQ(fake.boxes.size(), 1u);
  EXPECT_TRUE(fake.open.empty()) << "keys left open";
  EXPECT_TRUE(fake.handles.empty()) << "files left open";
  return fake.boxes.empty() ? u"" : fake.boxes.back();
}

// The registry as the device's reader reads what the survey wrote, with the fake's keys filled
// out the same way: every key, implied ones and the two roots too, by path.
using KeyMap = std::map<std::u16string, std::vector<device::RegValue>>;

KeyMap Expected() {
  KeyMap keys{{u"HKEY_LOCAL_MACHINE", {}}, {u"HKEY_CURRENT_USER", {}}};
  for (const FakeKey& key : fake.keys) {
    for (size_t at = key.path.find(u'\\'); at != std::u16string::npos;
         at = key.path.find(u'\\', at + 1)) {
      keys[key.path.substr(0, at)];
    }
    for (const FakeValue& value : key.values) {
      keys[key.path].push_back({value.name, value.type, value.data});
    }
  }
  return keys;
}

KeyMap ReadBack(const std::u16string& folder) {
  const Bytes& file = fake.files.at(folder + u"\\registry.reg");
  KeyMap keys;
  for (device::RegKey& key : device::Registry::Parse(file, "registry.reg").Keys()) {
    keys[key.path] = std::move(key.values);
  }
  return keys;
}

const std::u16string kFolder = u"\\Storage Card\\survey\\PPC-17";

std::vector<FakeKey> WithIdent(std::vector<FakeKey> keys, std::u16string_view name = u"PPC-17") {
  keys.push_back({u"HKEY_LOCAL_MACHINE\\Ident", {{u"Name", REG_SZ, Utf16(name)}}});
  return keys;
}

// Each value, alone in a key, with the line the survey writes for it. Every one must read back
// to its type and bytes.
TEST(SurveyRegistry, EachValueReadsBackToItsTypeAndBytes) {
  struct Case {
    FakeValue value;
    std::string line;  // as written, UTF-8; empty: not checked (long)
  };
  const Bytes fiveKilobytes(5000, 0xA7);
  std::string wrapped = "\"wrapped\"=hex:11";  // 24 bytes a line, then a continuation
  for (int i = 1; i < 24; ++i) wrapped += ",11";
  wrapped += ",\\\r\n  11";
  const Case cases[] = {
      {{u"Folder", REG_SZ, Utf16(u"Storage Card")}, "\"Folder\"=\"Storage Card\""},
      {{u"", REG_SZ, Utf16(u"default")}, "@=\"default\""},
      {{u"q\"uo\\te", REG_SZ, Utf16(u"a \"b\" \\c\\")},
       "\"q\\\"uo\\\\te\"=\"a \\\"b\\\" \\\\c\\\\\""},
      {{u"Größe ü", REG_SZ, Utf16(u"Speicherkarte ä €")}, "\"Größe ü\"=\"Speicherkarte ä €\""},
      {{u"pair", REG_SZ, Utf16(u"\U0001F600")}, "\"pair\"=\"\U0001F600\""},
      {{u"empty", REG_SZ, Utf16(u"")}, "\"empty\"=\"\""},
      // Strings that a quoted form would change: kept byte for byte in hex(1).
      {{u"no terminator", REG_SZ, Utf16(u"ab", false)}, "\"no terminator\"=hex(1):61,00,62,00"},
      {{u"nothing", REG_SZ, {}}, "\"nothing\"=hex(1):"},
      {{u"odd", REG_SZ, {0x61, 0x00, 0x00}}, "\"odd\"=hex(1):61,00,00"},
      {{u"inner NUL", REG_SZ, Utf16(std::u16string(u"a\0b", 3))},
       "\"inner NUL\"=hex(1):61,00,00,00,62,00,00,00"},
      {{u"line", REG_SZ, Utf16(u"a\r\nb")}, "\"line\"=hex(1):61,00,0d,00,0a,00,62,00,00,00"},
      {{u"lone high", REG_SZ,
        Utf16(u"\xD83D"
              u"a")},
       "\"lone high\"=hex(1):3d,d8,61,00,00,00"},
      {{u"high last", REG_SZ, Utf16(u"a\xD83D")}, "\"high last\"=hex(1):61,00,3d,d8,00,00"},
      {{u"lone low", REG_SZ, Utf16(u"\xDE00")}, "\"lone low\"=hex(1):00,de,00,00"},
      {{u"d", REG_DWORD, {0x78, 0x56, 0x34, 0x12}}, "\"d\"=dword:12345678"},
      {{u"short dword", REG_DWORD, {1, 2, 3}}, "\"short dword\"=hex(4):01,02,03"},
      {{u"bin", REG_BINARY, {0x00, 0xff, 0x10}}, "\"bin\"=hex:00,ff,10"},
      {{u"bin empty", REG_BINARY, {}}, "\"bin empty\"=hex:"},
      {{u"expand", REG_EXPAND_SZ, Utf16(u"%x%")}, "\"expand\"=hex(2):25,00,78,00,25,00,00,00"},
      {{u"multi", REG_MULTI_SZ, Utf16(std::u16string(u"a\0b\0", 4))},
       "\"multi\"=hex(7):61,00,00,00,62,00,00,00,00,00"},
      {{u"none", REG_NONE, {7}}, "\"none\"=hex(0):07"},
      {{u"big type", 0x12345678, {1}}, "\"big type\"=hex(12345678):01"},
      {{u"qword", 11, {1, 0, 0, 0, 0, 0, 0, 0}}, "\"qword\"=hex(b):01,00,00,00,00,00,00,00"},
      {{u"wrapped", REG_BINARY, Bytes(25, 0x11)}, wrapped},
      {{std::u16string(255, u'n'), REG_BINARY, fiveKilobytes}, ""},
  };
  for (const Case& test : cases) {
    StartFresh(WithIdent({{u"HKEY_LOCAL_MACHINE\\Values", {test.value}}}));
    const std::u16string box = RunSurvey();
    ASSERT_EQ(box, u"text 96:\n" + kFolder) << device::ToUtf8(test.value.name);
    EXPECT_EQ(ReadBack(kFolder), Expected()) << device::ToUtf8(test.value.name);
    if (test.line.empty()) continue;
    const Bytes& file = fake.files.at(kFolder + u"\\registry.reg");
    const std::string text = device::ToUtf8(
        std::u16string(reinterpret_cast<const char16_t*>(file.data()), file.size() / 2));
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Values]\r\n" + test.line + "\r\n"), std::string::npos)
        << text;
  }
}

// The shape of the file: byte order mark, header, a blank line before each section, every key
// (empty ones and both roots too) before its subkeys.
TEST(SurveyRegistry, FileHasTheRegeditFormWithEveryKeyOnce) {
  StartFresh(WithIdent({{u"HKEY_LOCAL_MACHINE\\A\\B\\C", {}},
                        {u"HKEY_LOCAL_MACHINE\\A", {{u"v", REG_DWORD, {1, 0, 0, 0}}}},
                        {u"HKEY_CURRENT_USER\\U", {}}}));
  RunSurvey();
  const Bytes& file = fake.files.at(kFolder + u"\\registry.reg");
  const std::string text = device::ToUtf8(
      std::u16string(reinterpret_cast<const char16_t*>(file.data()), file.size() / 2));
  EXPECT_EQ(text,
            "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
            "\r\n[HKEY_LOCAL_MACHINE]\r\n"
            "\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=dword:00000001\r\n"
            "\r\n[HKEY_LOCAL_MACHINE\\A\\B]\r\n"
            "\r\n[HKEY_LOCAL_MACHINE\\A\\B\\C]\r\n"
            "\r\n[HKEY_LOCAL_MACHINE\\Ident]\r\n\"Name\"=\"PPC-17\"\r\n"
            "\r\n[HKEY_CURRENT_USER]\r\n"
            "\r\n[HKEY_CURRENT_USER\\U]\r\n");
  EXPECT_EQ(fake.files.at(kFolder + u"\\rom.bin"), fake.rom);
  EXPECT_EQ(fake.files.size(), 2u) << "no temporary file stays";
}

// What the survey cannot record whole is a comment where it stands; the rest is recorded.
TEST(SurveyRegistry, WhatDoesNotFitIsACommentNotACut) {
  std::u16string deep = u"HKEY_LOCAL_MACHINE";
  for (int level = 1; level <= SURVEY_MAX_DEPTH + 1; ++level)
    deep += u"\\L" + device::FromUtf8(std::to_string(level));
  StartFresh(WithIdent({
      {u"HKEY_LOCAL_MACHINE\\Big",
       {{u"huge", REG_BINARY, Bytes(SURVEY_MAX_VALUE_BYTES + 1, 1)},
        {u"largest", REG_BINARY, Bytes(SURVEY_MAX_VALUE_BYTES, 2)}}},
      {u"HKEY_LOCAL_MACHINE\\Long\\" + std::u16string(256, u'k'), {}},
      {deep, {}},
  }));
  RunSurvey();
  const Bytes& file = fake.files.at(kFolder + u"\\registry.reg");
  const std::string text = device::ToUtf8(
      std::u16string(reinterpret_cast<const char16_t*>(file.data()), file.size() / 2));
  for (const char* comment :
       {"[HKEY_LOCAL_MACHINE\\Big]\r\n; skipped: value 0: too large to read\r\n\"largest\"=hex:02,",
        "[HKEY_LOCAL_MACHINE\\Long]\r\n; skipped: subkey 0: too large to read\r\n",
        "\\L16]\r\n; skipped: subkey 0: too deep to read\r\n"}) {
    EXPECT_NE(text.find(comment), std::string::npos) << comment;
  }
  KeyMap read = ReadBack(kFolder);
  EXPECT_EQ(read.at(u"HKEY_LOCAL_MACHINE\\Big").size(), 1u);
  EXPECT_EQ(read.at(u"HKEY_LOCAL_MACHINE\\Big")[0].data, Bytes(SURVEY_MAX_VALUE_BYTES, 2));
  EXPECT_FALSE(read.contains(deep));
  EXPECT_TRUE(read.contains(deep.substr(0, deep.rfind(u'\\'))));
}

// The folder's name: Ident\Name reduced to what a folder name may safely hold, and never one
// that exists.
TEST(SurveyFolder, NameComesFromIdentAndNeverReplacesASurvey) {
  struct Case {
    const char* why;
    std::vector<FakeKey> keys;
    std::vector<std::u16string> existing;  // folders there before
    std::u16string folder;                 // written; empty: none, the survey fails
  };
  const std::u16string base = u"\\Storage Card\\survey\\";
  std::vector<std::u16string> all99 = {base + u"dev"};
  for (int n = 2; n <= SURVEY_MAX_SUFFIX; ++n) {
    all99.push_back(base + u"dev-" + device::FromUtf8(std::to_string(n)));
  }
  const Case cases[] = {
      {"plain", WithIdent({}, u"PPC_17.a"), {}, base + u"PPC_17.a"},
      {"unsafe characters left out", WithIdent({}, u"a/b\\c:d*..e ü?"), {}, base + u"abcd..e"},
      {"dots alone would climb", WithIdent({}, u".."), {}, base + u"device"},
      {"trailing dots dropped", WithIdent({}, u"x.."), {}, base + u"x"},
      {"nothing left", WithIdent({}, u"äöü"), {}, base + u"device"},
      {"no Ident key", {}, {}, base + u"device"},
      {"Name not a string",
       {{u"HKEY_LOCAL_MACHINE\\Ident", {{u"Name", REG_DWORD, {0x41, 0, 0x42, 0}}}}},
       {},
       base + u"device"},
      {"Name longer than the name buffer",
       WithIdent({}, std::u16string(300, u'x')),
       {},
       base + u"device"},
      {"kept to 32 characters",
       WithIdent({}, std::u16string(40, u'y')),
       {},
       base + std::u16string(32, u'y')},
      {"first survey exists", WithIdent({}, u"dev"), {base + u"dev"}, base + u"dev-2"},
      {"second too", WithIdent({}, u"dev"), {base + u"dev", base + u"dev-2"}, base + u"dev-3"},
      {"all 99 exist", WithIdent({}, u"dev"), all99, u""},
  };
  for (const Case& test : cases) {
    StartFresh(test.keys);
    fake.folders.insert(u"\\Storage Card\\survey");
    fake.folders.insert(test.existing.begin(), test.existing.end());
    const std::set<std::u16string> before = fake.folders;
    const std::u16string box = RunSurvey();
    if (test.folder.empty()) {
      EXPECT_EQ(fake.folders, before) << test.why;
      EXPECT_EQ(box, u"text 97:\nCreateDirectoryW " + base + u"dev-99\ntext 98: 183") << test.why;
      continue;
    }
    EXPECT_EQ(box, u"text 96:\n" + test.folder) << test.why;
    EXPECT_TRUE(fake.files.contains(test.folder + u"\\registry.reg")) << test.why;
  }
}

// Every step that can fail: the message names it with the platform's code, and nothing the run
// made is left; what was there before stays.
TEST(SurveyFailure, EachFailedStepIsReportedAndLeavesNoPartialSurvey) {
  struct Case {
    std::string routine;
    int call;
    DWORD error;
    std::u16string subject;
  };
  const std::u16string hklm = u"HKEY_LOCAL_MACHINE";
  const Case cases[] = {
      {"KernelIoControl", 1, 31, u""},
      {"CreateDirectoryW", 1, ERROR_ACCESS_DENIED, u"\\Storage Card\\survey"},
      {"CreateDirectoryW", 2, ERROR_DISK_FULL, kFolder},
      {"CreateFileW", 1, ERROR_ACCESS_DENIED, kFolder + u"\\rom.bin"},
      {"CreateFileW", 2, ERROR_ACCESS_DENIED, kFolder + u"\\registry.tmp"},
      {"WriteFile", 1, ERROR_DISK_FULL, kFolder + u"\\rom.bin"},
      {"WriteFile", 2, ERROR_DISK_FULL, kFolder + u"\\registry.tmp"},
      {"WriteFile", 3, ERROR_DISK_FULL, kFolder + u"\\registry.tmp"},
      {"CloseHandle", 2, ERROR_DISK_FULL, kFolder + u"\\registry.tmp"},
      {"MoveFileW", 1, ERROR_ACCESS_DENIED, kFolder + u"\\registry.reg"},
      {"RegEnumValueW", 3, 1016, hklm + u"\\A\\B"},
      {"RegEnumKeyExW", 3, 1016, hklm + u"\\A\\B"},
      {"RegOpenKeyExW", 3, 1016, hklm + u"\\A\\B"},
  };
  for (const Case& test : cases) {
    for (bool surveysFolderThere : {false, true}) {
      // A registry of over 4 KB, written in more than one piece.
      StartFresh(WithIdent({{u"HKEY_LOCAL_MACHINE\\A\\B", {{u"v", REG_BINARY, Bytes(3000, 9)}}}}));
      if (surveysFolderThere) fake.folders.insert(u"\\Storage Card\\survey");
      const std::set<std::u16string> before = fake.folders;
      fake.failing = test.routine;
      fake.failingCall = test.call;
      fake.failingError = test.error;
      const std::u16string box = RunSurvey();
      EXPECT_EQ(box, u"text 97:\n" + device::FromUtf8(test.routine) + u" " + test.subject +
                         u"\ntext 98: " + device::FromUtf8(std::to_string(test.error)))
          << test.routine << " " << test.call;
      EXPECT_EQ(fake.folders, before) << test.routine << " " << test.call;
      EXPECT_TRUE(fake.files.empty()) << test.routine << " " << test.call;
    }
  }
}

// A full card, whether the write that meets the end fails or reports success with less written.
TEST(SurveyFailure, FullCardFailsTheWriteAndLeavesNothing) {
  for (bool reportsSuccess : {false, true}) {
    StartFresh(WithIdent({}));
    fake.diskRoom = 300;  // the ROM block, then part of the registry
    fake.shortWriteSucceeds = reportsSuccess;
    const std::u16string box = RunSurvey();
    EXPECT_EQ(box.substr(0, box.rfind(u' ')),
              u"text 97:\nWriteFile " + kFolder + u"\\registry.tmp\ntext 98:")
        << reportsSuccess;
    EXPECT_TRUE(fake.files.empty());
    EXPECT_EQ(fake.folders, (std::set<std::u16string>{u"\\Storage Card"}));
  }
}

// The box speaks the ROM's language: the string block of that language, English for any other
// and for a ROM whose language name only starts like a known one.
TEST(SurveyMessage, LanguageFollowsTheRom) {
  const struct {
    std::u16string romLanguage;
    UINT firstId;
  } cases[] = {{u"DEUTSCH", 99},    {u"FRANCAIS", 102}, {u"ITALIANO", 105},
               {u"PORTUGUES", 108}, {u"ENGLISH", 96},   {u"DEUTSCHLAND", 96},
               {u"DEUTSC", 96},     {u"deutsch", 96},   {u"", 96}};
  for (const auto& test : cases) {
    StartFresh(WithIdent({}));
    std::fill(fake.rom.begin() + SURVEY_ROM_LANGUAGE_OFFSET, fake.rom.end(), 0);
    Bytes name = Utf16(test.romLanguage, false);
    std::copy(name.begin(), name.end(), fake.rom.begin() + SURVEY_ROM_LANGUAGE_OFFSET);
    const std::u16string box = RunSurvey();
    EXPECT_EQ(box.substr(0, box.find(u':')),
              u"text " + device::FromUtf8(std::to_string(test.firstId)))
        << device::ToUtf8(test.romLanguage);
  }
}

}  // namespace
