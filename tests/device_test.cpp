// The simulated device's platform calls, called directly: what each accepts, refuses and writes.
#include "device.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "answers.h"
#include "platform.h"
#include "stale_references.h"
#include "storage_manager.h"

namespace {

using device::Device;

constexpr char kRegistryText[] =
    "REGEDIT4\n\n"
    "[HKEY_LOCAL_MACHINE\\System\\StorageManager\\Profiles\\MMC]\n"
    "\"Folder\"=\"Storage Card\"\n";

std::vector<res::ResourceEntry> ProgramResources() {
  std::ifstream in(RESOURCE_FILE, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
  return res::ReadResFile(bytes, RESOURCE_FILE);
}

// A console whose call records are kept in `calls`, its boxes answered by `answers`.
device::Console Recording(std::ostream& out, device::AnswerSource& answers,
                          std::vector<device::CallRecord>& calls) {
  device::Console console{out, &answers, 80};
  console.calls = [&calls](const device::CallRecord& call) { calls.push_back(call); };
  return console;
}

// The device answered as cesim answers it: by --answer, or by `input` typed on a terminal.
struct TestDevice {
  explicit TestDevice(device::DeviceSettings settings = {}, std::string input = "",
                      bool terminal = false, std::string_view registryText = kRegistryText,
                      cesim::Answer answer = cesim::Answer::FromKeyboard)
      : in(std::move(input)),
        answers(answer, {in, prompts, terminal}),
        device(
            device::Registry::Parse(std::span(reinterpret_cast<const uint8_t*>(registryText.data()),
                                              registryText.size()),
                                    "test.reg"),
            ProgramResources(), std::move(settings), Recording(out, answers, calls)) {}

  HKEY Open(const char16_t* path) {
    HKEY key = 0;
    EXPECT_EQ(device.RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, 0, &key), ERROR_SUCCESS)
        << out.str();
    return key;
  }

  std::ostringstream out, prompts;
  std::istringstream in;
  cesim::Answers answers;
  std::vector<device::CallRecord> calls;
  Device device;
};

constexpr const char16_t* kMmc = u"\\System\\StorageManager\\Profiles\\MMC";
constexpr LONG kFileNotFound = 2, kInvalidHandle = 6, kInvalidParameter = 87;

TEST(DeviceRegistry, OpensExistingKeysWhateverTheOptionsAndAccess) {
  const struct {
    const char16_t* path;
    DWORD options;
    REGSAM access;
    LONG expected;
  } cases[] = {
      {kMmc, 0, 0, ERROR_SUCCESS},
      {u"System\\StorageManager\\Profiles\\MMC", 0, 0, ERROR_SUCCESS},
      {u"\\SYSTEM\\storagemanager\\PROFILES\\mmc", 0, 0, ERROR_SUCCESS},
      {u"\\System\\StorageManager", 0, 0, ERROR_SUCCESS},  // implied by its subkey
      {u"\\\\System\\StorageManager\\Profiles\\MMC", 0, 0, kFileNotFound},
      {u"\\System\\StorageManager\\Profiles\\PCMCIA", 0, 0, kFileNotFound},
      {kMmc, 1, 0, ERROR_SUCCESS},        // not checked, as the platform's drivers rely on
      {kMmc, 0, 0xF003F, ERROR_SUCCESS},  // KEY_ALL_ACCESS
      {nullptr, 0, 0, ERROR_SUCCESS},     // a new handle to the root
      {u"", 0x20019, 0, ERROR_SUCCESS},
  };
  for (const auto& test : cases) {
    TestDevice device;
    HKEY key = 0xCCCCCCCC;
    EXPECT_EQ(
        device.device.RegOpenKeyExW(HKEY_LOCAL_MACHINE, test.path, test.options, test.access, &key),
        test.expected);
    if (test.expected != ERROR_SUCCESS) {
      EXPECT_EQ(key, 0xCCCCCCCCu);
    }
  }
  TestDevice device;
  EXPECT_EQ(device.device.RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMmc, 0, 0, nullptr),
            kInvalidParameter);
  EXPECT_EQ(device.device.RegOpenKeyExW(0x1234, kMmc, 0, 0, nullptr), kInvalidHandle);
}

// NULL or empty opens the same key again under a handle of its own, which writes to that key and
// is closed by itself.
TEST(DeviceRegistry, OpensTheSameKeyAgainForAnEmptySubKeyAndRecordsWhatItWasGiven) {
  TestDevice device;
  const HKEY mmc = device.Open(kMmc);
  HKEY again = 0, root = 0;
  ASSERT_EQ(device.device.RegOpenKeyExW(mmc, u"", 3, 0xF003F, &again), ERROR_SUCCESS);
  namespace as = device::as;
  const device::CallRecord opened{
      "RegOpenKeyExW",
      {as::Handle(0x2001), as::Text(u""), as::Number(3), as::Handle(0xF003F), as::Pointer(&again)},
      as::Constant(0, "ERROR_SUCCESS"),
      {{"key", as::Handle(0x2002)}}};
  EXPECT_EQ(device.calls.back(), opened);
  ASSERT_EQ(device.device.RegOpenKeyExW(HKEY_LOCAL_MACHINE, nullptr, 0, 0, &root), ERROR_SUCCESS);
  EXPECT_EQ(device.calls.back().arguments[1], as::Null());
  EXPECT_NE(again, mmc);
  EXPECT_NE(root, again);
  const BYTE data[] = {'y', 0};
  EXPECT_EQ(device.device.RegSetValueExW(again, u"Folder", 0, REG_SZ, data, 2), ERROR_SUCCESS);
  EXPECT_EQ(device.device.RegCloseKey(again), ERROR_SUCCESS);
  EXPECT_EQ(device.device.RegSetValueExW(mmc, u"Other", 0, REG_SZ, data, 2), ERROR_SUCCESS);
  EXPECT_EQ(device.device.registry()
                .FindValue(u"HKEY_LOCAL_MACHINE\\System\\StorageManager\\Profiles\\MMC", u"Folder")
                ->data,
            std::vector<uint8_t>(data, data + 2));
}

// The predefined roots are open keys: values can be written to them, and closing one succeeds and
// leaves it open.
TEST(DeviceRegistry, TakesThePredefinedRootsAsOpenKeys) {
  TestDevice device;
  const BYTE data[] = {1, 0, 0, 0};
  EXPECT_EQ(
      device.device.RegSetValueExW(HKEY_LOCAL_MACHINE, u"Flag", 0, device::kRegDword, data, 4),
      ERROR_SUCCESS);
  EXPECT_EQ(device.device.RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(
      device.device.RegSetValueExW(HKEY_LOCAL_MACHINE, u"Flag", 0, device::kRegDword, data, 4),
      ERROR_SUCCESS);
  const device::RegValue* stored =
      device.device.registry().FindValue(u"HKEY_LOCAL_MACHINE", u"Flag");
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->type, device::kRegDword);
  EXPECT_EQ(device.device.RegCloseKey(0x80000004), kInvalidHandle);  // not a root
}

TEST(DeviceRegistry, RefusesHandlesNeverOpenedOrAlreadyClosed) {
  TestDevice device;
  const BYTE data[] = {'x', 0};
  EXPECT_EQ(device.device.RegSetValueExW(0x1234, u"Folder", 0, REG_SZ, data, 2), kInvalidHandle);
  HKEY key = device.Open(kMmc);
  EXPECT_EQ(device.device.RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(device.device.RegSetValueExW(key, u"Folder", 0, REG_SZ, data, 2), kInvalidHandle);
  EXPECT_EQ(device.device.RegCloseKey(key), kInvalidHandle);
  EXPECT_EQ(device.device.registry()
                .FindValue(u"HKEY_LOCAL_MACHINE\\System\\StorageManager\\Profiles\\MMC", u"folder")
                ->data.size(),
            26u);
}

// The data as the call's record shows it, turned back into bytes.
std::vector<uint8_t> BytesOf(const device::Value& data) {
  std::u16string units;
  switch (data.kind) {
    case device::Value::Kind::Null:  // an empty vector's data() is NULL
      return {};
    case device::Value::Kind::Bytes:
      return data.bytes;
    case device::Value::Kind::Text:
      units = device::FromUtf8(data.text) + u'\0';
      break;
    case device::Value::Kind::Strings:
      for (const std::string& text : data.strings) units += device::FromUtf8(text) + u'\0';
      units += u'\0';
      break;
    default:
      ADD_FAILURE() << "value data of kind " << static_cast<int>(data.kind);
  }
  std::vector<uint8_t> bytes;
  for (char16_t unit : units) bytes.insert(bytes.end(), {uint8_t(unit), uint8_t(unit >> 8)});
  return bytes;
}

// Stored as given, and recorded so that the record gives back the same bytes, whatever they are.
TEST(DeviceRegistry, StoresAndRecordsExactlyTheBytesAndSizeItIsGiven) {
  const struct {
    DWORD type;
    std::vector<uint8_t> payload;
  } cases[] = {
      {REG_SZ, {'S', 0, 'p', 0, 0, 0}},
      {REG_SZ, {'S', 0, 'p'}},
      {REG_SZ, {}},
      {REG_SZ, {0xFF, 0xFE, 0, 0, 0, 0, 0, 0, 0}},
      {REG_SZ, {'a', 0, 0x00, 0xD8, 0, 0}},  // a lone surrogate
      {REG_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0}},
      {REG_SZ, {'\\', 0, 'x', 0, 0x0A, 0, 0, 0}},
      {device::kRegExpandSz, {'%', 0, 0xE4, 0, 0, 0}},
      {device::kRegMultiSz, {'a', 0, 0, 0, 0, 0}},
      {device::kRegMultiSz, {'a', 0, 0, 0, 0, 0, 'b', 0, 0, 0, 0, 0}},
      {device::kRegMultiSz, {0, 0}},
      {device::kRegMultiSz, {'a', 0, 0, 0}},  // the list's terminator is missing
      {device::kRegMultiSz, {'a', 0, 'b', 0}},
      {device::kRegMultiSz, {0x00, 0xDC, 0, 0, 0, 0}},
      {device::kRegDword, {1, 2, 3, 4}},
      {device::kRegBinary, {0x01, 0x2C, 0x00, 0xFF}},
      {device::kRegQword, {}},
  };
  for (const auto& test : cases) {
    TestDevice device;
    HKEY key = device.Open(kMmc);
    ASSERT_EQ(device.device.RegSetValueExW(key, u"FOLDER", 0, test.type, test.payload.data(),
                                           static_cast<DWORD>(test.payload.size())),
              ERROR_SUCCESS);
    const device::RegValue* stored = device.device.registry().FindValue(
        u"HKEY_LOCAL_MACHINE\\System\\StorageManager\\Profiles\\MMC", u"Folder");
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->data, test.payload);
    EXPECT_EQ(stored->type, test.type);
    const device::Value& recorded = device.calls.back().arguments.at(4);
    EXPECT_EQ(BytesOf(recorded), test.payload) << test.type;
    if (recorded.kind == device::Value::Kind::Bytes) {
      EXPECT_EQ(recorded.number, test.type);
    }
  }
}

TEST(DeviceRegistry, RefusedWritesAndFaultsChangeNothing) {
  device::DeviceSettings settings;
  settings.failingWrites = {u"HKEY_LOCAL_MACHINE\\System\\StorageManager\\Profiles\\mmc"};
  TestDevice device(settings);
  HKEY key = device.Open(kMmc);
  const BYTE data[] = {'x', 0, 0, 0};
  EXPECT_EQ(device.device.RegSetValueExW(key, u"Folder", 0, REG_SZ, data, 4), 5);
  EXPECT_EQ(device.device.RegSetValueExW(key, u"Folder", 1, REG_SZ, data, 4), kInvalidParameter);
  EXPECT_EQ(device.device.RegSetValueExW(key, u"Folder", 0, REG_SZ, nullptr, 4), kInvalidParameter);
  EXPECT_EQ(device.device.registry()
                .FindValue(u"HKEY_LOCAL_MACHINE\\System\\StorageManager\\Profiles\\MMC", u"Folder")
                ->data.size(),
            26u);
}

TEST(DeviceRomInfo, FillsTheBlockOnlyForTheWellFormedQuery) {
  const struct {
    const char* why;
    DWORD code;
    uint32_t word;
    DWORD inSize, outSize;
    bool silent;
    BOOL expected;
  } cases[] = {
      {"the query", IOCTL_ROM_INFO, 15, 4, 160, false, TRUE},
      {"a larger output buffer", IOCTL_ROM_INFO, 15, 4, 200, false, TRUE},
      {"a silent ROM", IOCTL_ROM_INFO, 15, 4, 160, true, FALSE},
      {"another request word", IOCTL_ROM_INFO, 14, 4, 160, false, FALSE},
      {"a short input", IOCTL_ROM_INFO, 15, 2, 160, false, FALSE},
      {"a short output", IOCTL_ROM_INFO, 15, 4, 159, false, FALSE},
      {"an unknown control code", 0x01010100, 15, 4, 160, false, FALSE},
  };
  for (const auto& test : cases) {
    device::DeviceSettings settings;
    settings.romSilent = test.silent;
    TestDevice device(settings);
    uint32_t word = test.word;
    std::vector<uint8_t> out(200, 0xCC);
    DWORD returned = 0xCCCCCCCC;
    EXPECT_EQ(device.device.KernelIoControl(test.code, &word, test.inSize, out.data(), test.outSize,
                                            &returned),
              test.expected)
        << test.why;
    if (test.expected) {
      EXPECT_EQ(device::RomLanguage(device::RomBlock{}), u"");
      device::RomBlock block;
      std::copy_n(out.begin(), block.size(), block.begin());
      EXPECT_EQ(device::RomLanguage(block), u"DEUTSCH") << test.why;
      EXPECT_EQ(returned, 160u);
      EXPECT_EQ(out[160], 0xCC) << test.why;
    } else {
      EXPECT_EQ(out, std::vector<uint8_t>(200, 0xCC)) << test.why;
      EXPECT_EQ(returned, 0xCCCCCCCCu) << test.why;
    }
  }
}

TEST(DeviceStrings, CopiesAtMostCapacityLessOneAndTerminatesEvenWhenNotFound) {
  const struct {
    HINSTANCE instance;
    int capacity;
    bool stringsMissing;
    int expected;
  } cases[] = {
      {device::kProcessHandle, 260, false, 125},
      {device::kCurrentProcess, 260, false, 125},
      {device::kProcessHandle, 10, false, 9},
      {device::kProcessHandle, 1, false, 0},
      {0x00010000, 260, false, 0},
      {device::kProcessHandle, 260, true, 0},
  };
  for (const auto& test : cases) {
    device::DeviceSettings settings;
    settings.stringsMissing = test.stringsMissing;
    TestDevice device(settings);
    std::u16string buffer(300, u'\xCCCC');
    EXPECT_EQ(device.device.LoadStringW(test.instance, 5020, buffer.data(), test.capacity),
              test.expected);
    EXPECT_EQ(buffer[test.expected], 0);  // found or not, the terminator is written
    EXPECT_EQ(buffer[test.expected + 1], u'\xCCCC');
  }
}

TEST(DeviceStrings, WritesNothingWithoutRoomAndGivesTheStringsAddressForANullBuffer) {
  for (int capacity : {0, -1, -100}) {
    TestDevice device;
    std::u16string buffer(4, u'\xCCCC');
    EXPECT_EQ(device.device.LoadStringW(device::kProcessHandle, 5020, buffer.data(), capacity), 0);
    EXPECT_EQ(buffer, std::u16string(4, u'\xCCCC')) << capacity;
  }
  const std::vector<res::ResourceEntry> resources = ProgramResources();
  const std::optional<res::StringLocation> located = res::LocateString(resources, 5020);
  ASSERT_TRUE(located);
  // The device says where the string is in its resources; the caller knows where they lie.
  const device::ResourceAddress addressOf = [&](size_t entry, size_t offset) {
    return std::optional<uint32_t>(0x10000 + 0x100 * static_cast<uint32_t>(entry) +
                                   static_cast<uint32_t>(offset));
  };
  TestDevice device;
  const uint32_t expected = 0x10000 +
                            0x100 * static_cast<uint32_t>(located->block - resources.data()) +
                            static_cast<uint32_t>(located->offset);
  for (int capacity : {0, 260, -5}) {  // the capacity does not matter
    EXPECT_EQ(static_cast<uint32_t>(device.device.LoadStringInto(device::kProcessHandle, 5020,
                                                                 nullptr, capacity, addressOf)),
              expected);
  }
  EXPECT_EQ(device.device.LoadStringInto(device::kProcessHandle, 1, nullptr, 0, addressOf),
            0);  // not found
  TestDevice native;
  EXPECT_EQ(native.device.LoadStringW(device::kProcessHandle, 5020, nullptr, 0), 0);
}

// A buffer that faults part way: the platform gives 0 for a fault while copying, but the count
// once it has copied and only the terminator faults.
TEST(DeviceStrings, AFaultWhileCopyingGivesZero) {
  const struct {
    size_t faultAt;
    int expected;
  } cases[] = {{0, 0}, {5, 0}, {9, 9}};
  for (const auto& test : cases) {
    TestDevice device;
    std::u16string written;
    const device::UnitStore store = [&](size_t index, char16_t unit) {
      if (index == test.faultAt) return false;
      written.resize(std::max(written.size(), index + 1));
      written[index] = unit;
      return true;
    };
    EXPECT_EQ(device.device.LoadStringInto(device::kProcessHandle, 5020, &store, 10), test.expected)
        << test.faultAt;
    EXPECT_EQ(written.size(), test.faultAt) << test.faultAt;
  }
}

TEST(DeviceMessageBox, AnswersFromSettingsOrKeyboard) {
  const struct {
    const char* why;
    cesim::Answer answer;
    bool terminal;
    std::string typed;
    UINT style;
    int expected;
  } cases[] = {
      {"yes", cesim::Answer::Yes, false, "", MB_YESNO, IDYES},
      {"no", cesim::Answer::No, false, "", MB_YESNO, IDNO},
      {"box fails", cesim::Answer::FailToShow, false, "", MB_YESNO, 0},
      {"no terminal, no answer", cesim::Answer::FromKeyboard, false, "", MB_YESNO, 0},
      {"typed nein after junk", cesim::Answer::FromKeyboard, true, "x\nnein\n", MB_YESNO, IDNO},
      {"typed ja", cesim::Answer::FromKeyboard, true, "J\n", MB_YESNO, IDYES},
      {"typed yes with blanks around it", cesim::Answer::FromKeyboard, true, " \tYes \n", MB_YESNO,
       IDYES},
      {"typed n after an answer of two words", cesim::Answer::FromKeyboard, true, "ja nein\nn\n",
       MB_YESNO, IDNO},
      {"OK box without terminal", cesim::Answer::No, false, "", MB_OK, IDOK},
      {"OK box on a terminal", cesim::Answer::FromKeyboard, true, "\n", MB_OK, IDOK},
      {"OK box on a terminal with an answer given", cesim::Answer::No, true, "", MB_OK, IDOK},
      {"Yes/No/Cancel answered by --answer", cesim::Answer::Yes, false, "", MB_YESNOCANCEL, IDYES},
      {"OK/Cancel is not answered by --answer", cesim::Answer::No, true, "o\n", MB_OKCANCEL, 0},
      {"OK/Cancel without a terminal", cesim::Answer::FromKeyboard, false, "", MB_OKCANCEL, 0},
      {"a box that cannot be shown", cesim::Answer::FailToShow, true, "", MB_RETRYCANCEL, 0},
      {"typed abbrechen", cesim::Answer::FromKeyboard, true, "ABBRECHEN\n", MB_OKCANCEL, IDCANCEL},
      {"typed the keys of abort, retry, ignore", cesim::Answer::FromKeyboard, true, "x\nw\n",
       MB_ABORTRETRYIGNORE, IDRETRY},
      {"typed ignore in English", cesim::Answer::FromKeyboard, true, "ignore\n",
       MB_ABORTRETRYIGNORE, IDIGNORE},
      {"typed cancel at Yes/No/Cancel", cesim::Answer::FromKeyboard, true, "a\n", MB_YESNOCANCEL,
       IDCANCEL},
      {"typed retry", cesim::Answer::FromKeyboard, true, " W \n", MB_RETRYCANCEL, IDRETRY},
      {"a group the device has no buttons for", cesim::Answer::Yes, false, "", 0x6, 0},
      {"Yes/No with a question mark", cesim::Answer::Yes, false, "", 0x24, IDYES},
      {"Yes/No, second button default, system modal", cesim::Answer::No, false, "", 0x1104, IDNO},
      {"OK with a stop sign", cesim::Answer::No, false, "", 0x10, IDOK},
      {"an unknown group with an icon", cesim::Answer::Yes, false, "", 0x2F, 0},
  };
  const std::map<int, std::string> labels = {{IDOK, "OK"},
                                             {IDCANCEL, "Abbrechen"},
                                             {IDABORT, "Abbrechen"},
                                             {IDRETRY, "Wiederholen"},
                                             {IDIGNORE, "Ignorieren"},
                                             {IDYES, "Ja"},
                                             {IDNO, "Nein"}};
  for (const auto& test : cases) {
    TestDevice device({}, test.typed, test.terminal, kRegistryText, test.answer);
    EXPECT_EQ(device.device.MessageBoxW(0, u"Frage?", u"  ", test.style), test.expected)
        << test.why;
    // The record of the run says what became of the box: its answer, or that it was not shown.
    const std::string record = device.out.str();
    const bool hasButtons = (test.style & 0xF) <= MB_RETRYCANCEL;
    if (!hasButtons) {
      EXPECT_EQ(record, "") << test.why;
    } else if (test.expected == 0) {
      EXPECT_TRUE(record.starts_with("(the question box could not be shown")) << test.why << record;
      EXPECT_EQ(record.find("┌"), std::string::npos) << test.why << record;
    } else if ((test.style & 0xF) == MB_OK) {
      EXPECT_NE(record.find("[ OK ]"), std::string::npos) << test.why << record;
      EXPECT_TRUE(record.ends_with("┘\n")) << test.why << record;
    } else {
      EXPECT_TRUE(record.ends_with("┘\nanswered: " + labels.at(test.expected) + "\n"))
          << test.why << record;
    }
  }
}

// The icon is shown as a mark in front of the text, and named in the trace with the other flags;
// with no caption the box says "Error".
TEST(DeviceMessageBox, ShowsTheIconAndTheDefaultCaption) {
  const struct {
    UINT style;
    const char16_t* caption;
    const char* shown;
    const char* traced;
  } cases[] = {
      {MB_YESNO | 0x20, u"  ", "│ (?) Frage?", "MB_YESNO | MB_ICONQUESTION"},
      {MB_OK | 0x30, u"  ", "│ (!) Frage?", "MB_OK | MB_ICONEXCLAMATION"},
      {MB_OK | 0x40 | 0x200, u"  ", "│ (i) Frage?", "MB_OK | MB_ICONASTERISK | MB_DEFBUTTON3"},
      {MB_OK | 0x10 | 0x1000, nullptr, "┌[Error]", "MB_OK | MB_ICONHAND | 0x00001000"},
      {MB_OK, nullptr, "│ Frage?", "MB_OK"},
  };
  for (const auto& test : cases) {
    device::DeviceSettings settings;
    TestDevice device(settings, "", false, kRegistryText, cesim::Answer::Yes);
    device.device.MessageBoxW(0, u"Frage?", test.caption, test.style);
    EXPECT_NE(device.out.str().find(test.shown), std::string::npos) << device.out.str();
    EXPECT_EQ(device.calls.back().arguments[3].text, test.traced);
  }
}

TEST(DeviceMessageBox, EndOfKeyboardInputEndsTheRunInsteadOfAnswering) {
  const struct {
    UINT style;
    const char* typed;
  } cases[] = {{MB_YESNO, ""}, {MB_YESNO, "vielleicht\n"}, {MB_OK, ""}};
  for (const auto& test : cases) {
    TestDevice device({}, test.typed, true);
    EXPECT_THROW(device.device.MessageBoxW(0, u"Frage?", u"  ", test.style), device::InputEnded)
        << test.style << " after '" << test.typed << "'";
  }
}

TEST(DeviceMessageBox, PromptNamesTheKeysAndTheAnswerIsRecorded) {
  std::ostringstream out, prompts;
  std::istringstream in("x\n nein\n");
  cesim::Answers answers(cesim::Answer::FromKeyboard, {in, prompts, true});
  Device device(device::Registry(), ProgramResources(), {}, device::Console{out, &answers, 80});
  EXPECT_EQ(device.MessageBoxW(0, u"Frage?", u"  ", MB_YESNO), IDNO);
  EXPECT_EQ(prompts.str(),
            "Ja (j) / Nein (n)? Please type j for Ja or n for Nein, then Enter.\n"
            "Ja (j) / Nein (n)? ");
  EXPECT_TRUE(out.str().ends_with("┘\nanswered: Nein\n")) << out.str();
}

TEST(DeviceMessageBox, KeyboardAnswersAcceptedInEveryLanguage) {
  const struct {
    const char* language;
    UINT group;
    const char* typed;
    std::optional<int> chosen;
  } cases[] = {
      {"DEUTSCH", MB_YESNO, "j", IDYES},
      {"DEUTSCH", MB_YESNO, "JA", IDYES},
      {"DEUTSCH", MB_YESNO, " y ", IDYES},
      {"DEUTSCH", MB_YESNO, "Yes", IDYES},
      {"DEUTSCH", MB_YESNO, "n", IDNO},
      {"DEUTSCH", MB_YESNO, "NEIN", IDNO},
      {"DEUTSCH", MB_YESNO, "\tno\r", IDNO},
      {"DEUTSCH", MB_YESNO, "", std::nullopt},
      {"DEUTSCH", MB_YESNO, "jn", std::nullopt},
      {"DEUTSCH", MB_YESNO, "ja!", std::nullopt},
      {"DEUTSCH", MB_YESNO, "\xFF", std::nullopt},
      {"DEUTSCH", MB_YESNO, "a", std::nullopt},
      {"DEUTSCH", MB_YESNOCANCEL, "a", IDCANCEL},
      {"DEUTSCH", MB_YESNOCANCEL, "Cancel", IDCANCEL},
      {"DEUTSCH", MB_OKCANCEL, "o", IDOK},
      {"DEUTSCH", MB_ABORTRETRYIGNORE, "abbrechen", IDABORT},
      {"DEUTSCH", MB_ABORTRETRYIGNORE, "i", IDIGNORE},
      {"DEUTSCH", MB_ABORTRETRYIGNORE, "retry", IDRETRY},
      {"FRANCAIS", MB_YESNO, "o", IDYES},
      {"FRANCAIS", MB_YESNO, "Oui", IDYES},
      {"FRANCAIS", MB_YESNO, "non", IDNO},
      {"FRANCAIS", MB_RETRYCANCEL, "r", IDRETRY},
      {"FRANCAIS", MB_RETRYCANCEL, "réessayer", IDRETRY},
      {"ITALIANO", MB_YESNO, "s", IDYES},
      {"ITALIANO", MB_YESNO, "SÌ", IDYES},
      // Interrompi and Ignora share their first letter: it answers neither.
      {"ITALIANO", MB_ABORTRETRYIGNORE, "i", std::nullopt},
      {"ITALIANO", MB_ABORTRETRYIGNORE, "ignora", IDIGNORE},
      {"ITALIANO", MB_ABORTRETRYIGNORE, "r", IDRETRY},
      {"PORTUGUES", MB_YESNO, "não", IDNO},
      {"ENGLISH", MB_YESNO, "y", IDYES},
      {"ENGLISH", MB_YESNO, "o", std::nullopt},
      {"ENGLISH", MB_OKCANCEL, "c", IDCANCEL},
  };
  for (const auto& test : cases) {
    const auto labels = device::LabelsForLanguage(device::FromUtf8(test.language));
    const auto keys = device::KeysFor(device::ButtonsFor(test.group, labels));
    EXPECT_EQ(device::ReadAnswer(test.typed, keys), test.chosen)
        << test.language << " " << test.group << " " << test.typed;
  }
}

// The prompt names each button's key, or the button alone where its letter would be ambiguous.
TEST(DeviceMessageBox, PromptsNameTheKeysOfEveryButtonGroup) {
  const struct {
    const char* language;
    UINT group;
    const char* prompt;
    const char* hint;
  } cases[] = {
      {"DEUTSCH", MB_OKCANCEL, "OK (o) / Abbrechen (a)? ",
       "Please type o for OK or a for Abbrechen, then Enter.\n"},
      {"DEUTSCH", MB_ABORTRETRYIGNORE, "Abbrechen (a) / Wiederholen (w) / Ignorieren (i)? ",
       "Please type a for Abbrechen, w for Wiederholen or i for Ignorieren, then Enter.\n"},
      {"DEUTSCH", MB_YESNOCANCEL, "Ja (j) / Nein (n) / Abbrechen (a)? ",
       "Please type j for Ja, n for Nein or a for Abbrechen, then Enter.\n"},
      {"ITALIANO", MB_ABORTRETRYIGNORE, "Interrompi / Riprova (r) / Ignora? ",
       "Please type Interrompi, r for Riprova or Ignora, then Enter.\n"},
  };
  for (const auto& test : cases) {
    const auto labels = device::LabelsForLanguage(device::FromUtf8(test.language));
    const auto keys = device::KeysFor(device::ButtonsFor(test.group, labels));
    EXPECT_EQ(keys.prompt, test.prompt);
    EXPECT_EQ(keys.hint, test.hint);
  }
}

// A program that opens a key, asks for a reset and then writes: the write must never happen.
int ResetThenWrite(HINSTANCE, HINSTANCE, LPWSTR, int) {
  HKEY key = 0;
  RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMmc, 0, 0, &key);
  KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr);
  const BYTE data[] = {'x', 0};
  RegSetValueExW(key, u"Folder", 0, REG_SZ, data, sizeof data);
  RegCloseKey(key);
  return 3;
}

TEST(DeviceSoftReset, EndsTheRunAtOnceOrReturnsFalse) {
  for (auto behaviour : {device::ResetBehaviour::TakesEffect, device::ResetBehaviour::Returns}) {
    device::DeviceSettings settings;
    settings.reset = behaviour;
    TestDevice device(settings);
    device::RunResult result = device.device.Run(&ResetThenWrite);
    bool immediate = behaviour == device::ResetBehaviour::TakesEffect;
    EXPECT_TRUE(result.resetRequested);
    EXPECT_EQ(result.resetTookEffect, immediate);
    EXPECT_EQ(result.exitStatus, immediate ? 0 : 3);
    EXPECT_EQ(result.keysLeftOpen, immediate ? 1u : 0u);
    EXPECT_EQ(result.changes.size(), immediate ? 0u : 1u);
  }
}

TEST(MessageBoxDrawing, EveryLineFitsTheWidthAndTheCaptionShowsAsGiven) {
  const std::string text =
      "Sie müssen einen Soft-Reset des Geräts ausführen, damit die Änderungen wirksam werden. "
      "Ein_sehr_langes_Wort_das_nicht_in_eine_Zeile_passt_und_umbrochen_werden_muss";
  for (size_t width : {24u, 40u, 80u, 200u}) {
    std::string box = device::DrawMessageBox("  ", text, {"Ja", "Nein"}, width);
    EXPECT_EQ(box.rfind("┌[  ]─", 0), 0u) << box;
    std::istringstream lines(box);
    for (std::string line; std::getline(lines, line);) {
      size_t columns = 0;
      for (unsigned char byte : line) columns += (byte & 0xC0) != 0x80;
      EXPECT_LE(columns, width) << line;
    }
    EXPECT_NE(box.find("[ Ja ]   [ Nein ]"), std::string::npos);
  }
}

// What the storage manager mounts a card as, for values the update never writes: raw bytes over
// the buffer's old contents, no terminator added, an empty string kept, other types skipped.
TEST(StorageManagerFolder, ReadsFolderAsTheStorageManagerDoes) {
  using Bytes = std::vector<uint8_t>;
  auto text = [](std::u16string_view units, bool terminated) {
    Bytes bytes;
    for (char16_t unit : units) {
      bytes.push_back(static_cast<uint8_t>(unit));
      bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    if (terminated) bytes.insert(bytes.end(), {0, 0});
    return bytes;
  };
  struct Value {
    uint32_t type;
    Bytes data;
  };
  const struct {
    const char* why;
    std::optional<Value> own, shared;
    bool profileKey = true;
    std::u16string expected;
  } cases[] = {
      {"none", {}, {}, true, u"Mounted Volume"},
      {"terminated",
       Value{device::kRegSz, text(u"Speicherkarte", true)},
       {},
       true,
       u"Speicherkarte"},
      {"not terminated",
       Value{device::kRegSz, text(u"Speicherkarte", false)},
       {},
       true,
       u"Speicherkartee"},
      {"empty string", Value{device::kRegSz, text(u"", true)}, {}, true, u""},
      {"no bytes at all", Value{device::kRegSz, {}}, {}, true, u"Mounted Volume"},
      {"odd byte count", Value{device::kRegSz, {'A', 0, 'B'}}, {}, true, u"ABunted Volume"},
      {"another type", Value{device::kRegExpandSz, text(u"X", true)}, {}, true, u"Mounted Volume"},
      {"too long",
       Value{device::kRegSz, text(std::u16string(32, u'x'), true)},
       {},
       true,
       u"Mounted Volume"},
      {"32 units, no room for a terminator",
       Value{device::kRegSz, text(std::u16string(32, u'x'), false)},
       {},
       true,
       std::u16string(32, u'x')},
      {"shared value after a failed own one", Value{device::kRegBinary, text(u"X", true)},
       Value{device::kRegSz, text(u"Foo", false)}, true, u"Foonted Volume"},
      {"shared value, no profile key",
       {},
       Value{device::kRegSz, text(u"Foo", false)},
       false,
       u"Foonted Volume"},
      // A failed read clears the first unit, so an empty shared value then leaves nothing.
      {"no bytes shared after a failed own value", Value{device::kRegBinary, {}},
       Value{device::kRegSz, {}}, true, u""},
      {"no bytes shared, no profile key", {}, Value{device::kRegSz, {}}, false, u"Mounted Volume"},
  };
  for (const auto& test : cases) {
    device::Registry registry;
    const std::u16string profile = device::ProfileKeyPath(u"MMC");
    registry.SetValue(device::kProfilesKey, u"Other", device::kRegDword, {0, 0, 0, 0});
    if (test.profileKey) registry.SetValue(profile, u"Name", device::kRegSz, text(u"MMC", true));
    if (test.own) registry.SetValue(profile, u"Folder", test.own->type, test.own->data);
    if (test.shared) {
      registry.SetValue(device::kProfilesKey, u"Folder", test.shared->type, test.shared->data);
    }
    EXPECT_EQ(device::MountFolder(registry, u"MMC"), test.expected) << test.why;
    // The same registry once a run has written both values (into keys that exist, as a program
    // does): undoing its changes gives the folder back.
    registry.StartRecordingChanges();
    if (test.profileKey) {
      registry.SetValue(profile, u"Folder", device::kRegSz, text(u"Speicherkarte", true));
    }
    registry.SetValue(device::kProfilesKey, u"FOLDER", device::kRegSz, text(u"Neu", true));
    EXPECT_EQ(device::MountFolder(registry, u"MMC", registry.RecordedChanges()), test.expected)
        << test.why << ", undone";
  }
}

// Values left naming the card's old folder: each row is a value of an installed program, and
// whether it names a path in "Storage Card" once the card mounts as another folder.
TEST(StaleReferences, FindsPathsInTheReplacedFolderOnlyAsAWholeRootComponent) {
  using namespace std::string_literals;
  auto units = [](std::u16string_view text) {
    std::vector<uint8_t> bytes;
    for (char16_t unit : text) bytes.insert(bytes.end(), {uint8_t(unit), uint8_t(unit >> 8)});
    return bytes;
  };
  const struct {
    const char16_t* key;
    uint32_t type;
    std::u16string data;  // as stored: a list's strings end with a zero unit each
    std::vector<std::u16string> stale;
  } cases[] = {
      {u"HKEY_LOCAL_MACHINE\\init",
       device::kRegSz,
       u"\\Storage Card\\Navigation\\app.exe\0"s,
       {u"\\Storage Card\\Navigation\\app.exe"}},
      {u"HKEY_CLASSES_ROOT\\gpxfile\\Shell\\Open\\Command",
       device::kRegSz,
       u"\"\\STORAGE CARD\\navi.exe\" %1",
       {u"\"\\STORAGE CARD\\navi.exe\" %1"}},
      {u"HKEY_LOCAL_MACHINE\\Software\\Shortcut",
       device::kRegExpandSz,
       u"\\storage card",
       {u"\\storage card"}},
      {u"HKEY_LOCAL_MACHINE\\Software\\Run",
       device::kRegSz,
       u"cmd.exe /c \\Storage Card\\x.bat;\\Windows",
       {u"cmd.exe /c \\Storage Card\\x.bat;\\Windows"}},
      {u"HKEY_LOCAL_MACHINE\\Software\\List",
       device::kRegSz,
       u"\\Windows;\\Storage Card",
       {u"\\Windows;\\Storage Card"}},
      {u"HKEY_LOCAL_MACHINE\\Loader",
       device::kRegMultiSz,
       u"\\Windows\0\\Storage Card\\Lib\0\\Storage Cards\0\0"s,
       {u"\\Storage Card\\Lib"}},
      {u"HKEY_LOCAL_MACHINE\\Software\\A", device::kRegSz, u"\\Storage Cards\\x", {}},
      {u"HKEY_LOCAL_MACHINE\\Software\\B", device::kRegSz, u"\\Windows\\Storage Card\\x", {}},
      {u"HKEY_LOCAL_MACHINE\\Software\\C", device::kRegSz, u"\\Storage Card Backup\\x", {}},
      {u"HKEY_LOCAL_MACHINE\\Software\\D", device::kRegSz, u"Storage Card\\x", {}},
      {u"HKEY_LOCAL_MACHINE\\Software\\E", device::kRegSz, u"\\Storage Car", {}},
      {u"HKEY_LOCAL_MACHINE\\Software\\F", device::kRegBinary, u"\\Storage Card\\x", {}},
      {u"HKEY_LOCAL_MACHINE\\Software\\G", device::kRegSz, u"\\Speicherkarte\\x", {}},
      // The profiles themselves name the folder; they are what the update changes.
      {u"HKEY_LOCAL_MACHINE\\System\\StorageManager\\Profiles\\Other",
       device::kRegSz,
       u"\\Storage Card",
       {}},
      {u"HKEY_LOCAL_MACHINE\\System\\StorageManager\\ProfilesX",
       device::kRegSz,
       u"\\Storage Card",
       {u"\\Storage Card"}},
  };
  device::Registry registry;
  const std::u16string mmc = device::ProfileKeyPath(u"MMC");
  registry.SetValue(mmc, u"Folder", device::kRegSz, units(u"Storage Card\0"s));
  std::vector<device::StaleReference> expected;
  for (const auto& test : cases) {
    registry.SetValue(test.key, u"Value", test.type, units(test.data));
    for (const std::u16string& text : test.stale) expected.push_back({test.key, u"Value", text});
  }
  EXPECT_TRUE(device::StaleReferencesAfter(registry, {}).empty()) << "no folder was replaced";
  registry.StartRecordingChanges();
  registry.SetValue(mmc, u"Folder", device::kRegSz, units(u"Speicherkarte\0"s));
  const std::vector<device::StaleReference> found =
      device::StaleReferencesAfter(registry, registry.RecordedChanges());
  EXPECT_EQ(found, expected);
  for (size_t i = 0; i < std::min(found.size(), expected.size()); ++i) {
    EXPECT_EQ(device::ToUtf8(found[i].text), device::ToUtf8(expected[i].text));
  }
}

// A registry with a key implied by its subkey (Software), an empty key (Empty), and values of
// several types, the default value among them.
constexpr char kEnumerationText[] =
    "REGEDIT4\n\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Vendor]\n"
    "\"Name\"=\"abc\"\n"
    "@=dword:00000007\n"
    "\"Blob\"=hex:01,02,03\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Empty]\n"
    "[HKEY_LOCAL_MACHINE\\Ident]\n"
    "\"Name\"=\"Device 7\"\n";

constexpr LONG kMoreData = 234, kNoMoreItems = 259;

// Names are counted in units with room for the terminator on the way in and without it on the way
// back; a name that does not fit is not written at all.
TEST(DeviceRegistryEnumeration, EnumeratesSubkeysInOrderAndRefusesWhatDoesNotFit) {
  const struct {
    const char16_t* key;
    DWORD index, units;
    LONG expected;
    const char16_t* name;  // written, or null: the buffer is left as it was
  } cases[] = {
      {u"\\Software", 0, 32, ERROR_SUCCESS, u"Vendor"},
      {u"\\Software", 1, 32, ERROR_SUCCESS, u"Empty"},
      {u"\\Software", 2, 32, kNoMoreItems, nullptr},
      {u"\\Software", 0, 7, ERROR_SUCCESS, u"Vendor"},  // exactly the name and its terminator
      {u"\\Software", 0, 6, kMoreData, nullptr},
      {u"\\Software", 0, 0, kMoreData, nullptr},
      {u"", 0, 32, ERROR_SUCCESS, u"Software"},  // a key only its subkeys imply
      {u"", 1, 32, ERROR_SUCCESS, u"Ident"},
      {u"\\Software\\Empty", 0, 32, kNoMoreItems, nullptr},
  };
  for (const auto& test : cases) {
    TestDevice device({}, "", false, kEnumerationText);
    const HKEY key = device.Open(test.key);
    char16_t name[32];
    std::fill(std::begin(name), std::end(name), u'\xCCCC');
    DWORD units = test.units;
    EXPECT_EQ(device.device.RegEnumKeyExW(key, test.index, name, &units, nullptr, nullptr, nullptr,
                                          nullptr),
              test.expected)
        << device::ToUtf8(test.key) << " " << test.index << " " << test.units;
    if (test.name) {
      EXPECT_EQ(std::u16string(name), test.name);
      EXPECT_EQ(units, std::u16string_view(test.name).size());
    } else {
      EXPECT_EQ(name[0], u'\xCCCC');
      EXPECT_EQ(units, test.units);
    }
  }
}

// A data buffer too small gets ERROR_MORE_DATA and the size it needs; a NULL one just the size;
// the name and type come with both.
TEST(DeviceRegistryEnumeration, GivesValuesWithTheirSizesAndRefusesBuffersTooSmall) {
  const struct {
    DWORD index, nameUnits;
    bool data;
    DWORD size;
    LONG expected;
    const char16_t* name;
    DWORD type, sizeAfter;
    std::vector<uint8_t> bytes;  // written
  } cases[] = {
      {0, 32, true, 16, ERROR_SUCCESS, u"Name", REG_SZ, 8, {'a', 0, 'b', 0, 'c', 0, 0, 0}},
      {0, 32, true, 8, ERROR_SUCCESS, u"Name", REG_SZ, 8, {'a', 0, 'b', 0, 'c', 0, 0, 0}},
      {0, 32, true, 7, kMoreData, u"Name", REG_SZ, 8, {}},
      {0, 32, false, 0, ERROR_SUCCESS, u"Name", REG_SZ, 8, {}},
      {1, 32, true, 16, ERROR_SUCCESS, u"", REG_DWORD, 4, {7, 0, 0, 0}},  // the default value
      {1, 1, true, 16, ERROR_SUCCESS, u"", REG_DWORD, 4, {7, 0, 0, 0}},
      {2, 32, true, 3, ERROR_SUCCESS, u"Blob", REG_BINARY, 3, {1, 2, 3}},
      {2, 4, true, 16, kMoreData, nullptr, 0xCCCCCCCC, 16, {}},  // the name does not fit
      {3, 32, true, 16, kNoMoreItems, nullptr, 0xCCCCCCCC, 16, {}},
  };
  for (const auto& test : cases) {
    TestDevice device({}, "", false, kEnumerationText);
    const HKEY key = device.Open(u"\\Software\\Vendor");
    char16_t name[32];
    std::fill(std::begin(name), std::end(name), u'\xCCCC');
    std::vector<uint8_t> data(16, 0xCC);
    DWORD units = test.nameUnits, type = 0xCCCCCCCC, size = test.size;
    EXPECT_EQ(device.device.RegEnumValueW(key, test.index, name, &units, nullptr, &type,
                                          test.data ? data.data() : nullptr, &size),
              test.expected)
        << test.index << " " << test.nameUnits << " " << test.size;
    EXPECT_EQ(type, test.type);
    EXPECT_EQ(size, test.sizeAfter);
    if (test.name) {
      EXPECT_EQ(std::u16string(name), test.name);
    }
    std::vector<uint8_t> expected = test.bytes;
    expected.resize(16, 0xCC);
    EXPECT_EQ(data, expected) << test.index << " " << test.size;
  }
}

TEST(DeviceRegistryEnumeration, QueriesOneValueAndAKeysCounts) {
  const struct {
    const char16_t* name;
    bool data;
    DWORD size;
    LONG expected;
    DWORD sizeAfter;
  } cases[] = {
      {u"NAME", true, 8, ERROR_SUCCESS, 8},  // names compare ignoring case
      {u"Name", true, 2, kMoreData, 8},        {u"Name", false, 0, ERROR_SUCCESS, 8},
      {nullptr, true, 4, ERROR_SUCCESS, 4},  // the default value
      {u"Missing", true, 8, kFileNotFound, 8},
  };
  for (const auto& test : cases) {
    TestDevice device({}, "", false, kEnumerationText);
    const HKEY key = device.Open(u"\\Software\\Vendor");
    std::vector<uint8_t> data(16, 0xCC);
    DWORD size = test.size, type = 0;
    EXPECT_EQ(device.device.RegQueryValueExW(key, test.name, nullptr, &type,
                                             test.data ? data.data() : nullptr, &size),
              test.expected);
    EXPECT_EQ(size, test.sizeAfter);
  }
  TestDevice device({}, "", false, kEnumerationText);
  DWORD subkeys = 0, longestSubkey = 0, values = 0, longestName = 0, largestData = 0;
  EXPECT_EQ(device.device.RegQueryInfoKeyW(device.Open(u"\\Software"), nullptr, nullptr, nullptr,
                                           &subkeys, &longestSubkey, nullptr, &values, &longestName,
                                           &largestData, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(std::vector<DWORD>({subkeys, longestSubkey, values, longestName, largestData}),
            std::vector<DWORD>({2, 6, 0, 0, 0}));
  EXPECT_EQ(device.device.RegQueryInfoKeyW(device.Open(u"\\Software\\Vendor"), nullptr, nullptr,
                                           nullptr, &subkeys, &longestSubkey, nullptr, &values,
                                           &longestName, &largestData, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(std::vector<DWORD>({subkeys, longestSubkey, values, longestName, largestData}),
            std::vector<DWORD>({0, 0, 3, 4, 8}));
}

// Arguments the routines refuse before they look at the key's contents, and the enumeration a run
// makes fail for one key.
TEST(DeviceRegistryEnumeration, RefusesBadArgumentsAndFailsTheKeyMadeToFail) {
  device::DeviceSettings settings;
  settings.failingEnumerations = {u"HKEY_LOCAL_MACHINE\\Software"};
  TestDevice device(settings, "", false, kEnumerationText);
  const HKEY software = device.Open(u"\\Software"), vendor = device.Open(u"\\Software\\Vendor");
  char16_t name[32];
  BYTE data[8];
  DWORD units = 32, size = 8, reserved = 0;
  const struct {
    const char* what;
    std::function<LONG()> call;
    LONG expected;
  } cases[] = {
      {"a key never opened",
       [&] {
         return device.device.RegEnumKeyExW(0x1234, 0, name, &units, nullptr, nullptr, nullptr,
                                            nullptr);
       },
       kInvalidHandle},
      {"no name buffer",
       [&] {
         return device.device.RegEnumKeyExW(vendor, 0, nullptr, &units, nullptr, nullptr, nullptr,
                                            nullptr);
       },
       kInvalidParameter},
      {"no count",
       [&] {
         return device.device.RegEnumValueW(vendor, 0, name, nullptr, nullptr, nullptr, data,
                                            &size);
       },
       kInvalidParameter},
      {"a reserved pointer",
       [&] {
         return device.device.RegEnumValueW(vendor, 0, name, &units, &reserved, nullptr, data,
                                            &size);
       },
       kInvalidParameter},
      {"data without a size",
       [&] {
         return device.device.RegQueryValueExW(vendor, u"Name", nullptr, nullptr, data, nullptr);
       },
       kInvalidParameter},
      {"a class buffer without a count",
       [&] {
         return device.device.RegEnumKeyExW(vendor, 0, name, &units, nullptr, name, nullptr,
                                            nullptr);
       },
       kInvalidParameter},
      {"the failing key's subkeys",
       [&] {
         return device.device.RegEnumKeyExW(software, 0, name, &units, nullptr, nullptr, nullptr,
                                            nullptr);
       },
       device::kErrorRegistryIoFailed},
      {"the failing key's counts",
       [&] {
         return device.device.RegQueryInfoKeyW(software, nullptr, nullptr, nullptr, &units, nullptr,
                                               nullptr, nullptr, nullptr, nullptr, nullptr,
                                               nullptr);
       },
       device::kErrorRegistryIoFailed},
      {"its subkey's values",
       [&] {
         return device.device.RegEnumValueW(vendor, 0, name, &units, nullptr, nullptr, data, &size);
       },
       ERROR_SUCCESS},
  };
  for (const auto& test : cases) EXPECT_EQ(test.call(), test.expected) << test.what;
}

// The program's path: on the card when there is one, else in \Windows; cut to size - 1 units and
// always terminated.
TEST(DeviceModuleFileName, CopiesAtMostSizeLessOneUnitsAndTerminates) {
  const struct {
    HMODULE module;
    DWORD size;
    DWORD expected;
    const char16_t* path;
    LONG error;  // left for GetLastError
  } cases[] = {
      {0, 64, 29, u"\\Windows\\CardFolderUpdate.exe", 0},
      {device::kProcessHandle, 64, 29, u"\\Windows\\CardFolderUpdate.exe", 0},
      {0, 30, 29, u"\\Windows\\CardFolderUpdate.exe", 0},
      {0, 29, 28, u"\\Windows\\CardFolderUpdate.ex", 0},
      {0, 1, 0, u"", 0},
      {0, 0, 0, nullptr, kInvalidParameter},
      {0x1234, 64, 0, nullptr, kInvalidParameter},
  };
  for (const auto& test : cases) {
    TestDevice device;
    char16_t path[64];
    std::fill(std::begin(path), std::end(path), u'\xCCCC');
    EXPECT_EQ(device.device.GetModuleFileNameW(test.module, path, test.size), test.expected);
    if (test.path) {
      EXPECT_EQ(std::u16string(path), test.path);
    }
    if (!test.path) {
      EXPECT_EQ(path[0], u'\xCCCC');
    }
    EXPECT_EQ(device.device.GetLastError(), static_cast<DWORD>(test.error));
  }
}

// A card in a folder of its own, removed with everything in it at the end.
struct CardFolder {
  CardFolder() {
    char name[] = "/tmp/cesim-card-XXXXXX";
    path = ::mkdtemp(name);
  }
  ~CardFolder() { std::filesystem::remove_all(path); }
  std::string Read(const std::string& file) const {
    std::ifstream in(path / file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path))
      names.push_back(entry.path().lexically_relative(path).string());
    std::ranges::sort(names);
    return names;
  }
  std::filesystem::path path;
};

device::DeviceSettings WithCard(const CardFolder& folder, bool full = false,
                                bool readOnly = false) {
  device::DeviceSettings settings;
  settings.card = device::CardSettings{folder.path, u"MMC", full, readOnly};
  return settings;
}

constexpr LONG kPathNotFound = 3, kAccessDenied = 5, kSharingViolation = 32, kFileExists = 80,
               kDiskFull = 112, kInvalidName = 123, kDirNotEmpty = 145, kAlreadyExists = 183;

// One device, one card, one step after another: each routine's answer and the error it leaves,
// then what the card's folder holds.
TEST(DeviceFiles, EachRoutineAnswersAsTheCardsFileSystemDoes) {
  CardFolder card;
  std::filesystem::create_directory(card.path / "outside-target");
  const std::filesystem::path outside = card.path / "outside-target";
  std::filesystem::create_directory_symlink(outside, card.path / "link");
  ASSERT_EQ(::mkfifo((card.path / "fifo").c_str(), 0600), 0);
  TestDevice device(WithCard(card));
  Device& d = device.device;
  HANDLE file = 0, reader = 0;
  DWORD written = 0;
  const BYTE bytes[] = {'a', 'b', 'c'};
  const auto create = [&](const char16_t* path, DWORD access, DWORD share, DWORD disposition,
                          DWORD attributes, HANDLE& handle) {
    handle = d.CreateFileW(path, access, share, nullptr, disposition, attributes, 0);
    return handle != INVALID_HANDLE_VALUE;
  };
  const struct {
    const char* what;
    std::function<bool()> call;
    bool expected;
    LONG error;  // what GetLastError gives after it; 0 where nothing is left
  } steps[] = {
      {"a folder", [&] { return d.CreateDirectoryW(u"\\Storage Card\\survey", nullptr); }, true, 0},
      {"the folder again, in another case",
       [&] { return d.CreateDirectoryW(u"\\storage card\\SURVEY", nullptr); }, false,
       kAlreadyExists},
      {"the card's own folder", [&] { return d.CreateDirectoryW(u"\\Storage Card", nullptr); },
       false, kAlreadyExists},
      {"a folder in a missing one",
       [&] { return d.CreateDirectoryW(u"\\Storage Card\\none\\x", nullptr); }, false,
       kPathNotFound},
      {"a new file",
       [&] {
         return create(u"\\Storage Card\\survey\\a.bin", GENERIC_WRITE, 0, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, file);
       },
       true, kPathNotFound},
      {"a name that exists",
       [&] {
         return create(u"\\Storage Card\\Survey\\A.BIN", GENERIC_WRITE, 0, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, reader);
       },
       false, kFileExists},
      {"a file open for writing, shared with nobody",
       [&] {
         return create(u"\\Storage Card\\survey\\a.bin", GENERIC_READ, FILE_SHARE_READ,
                       OPEN_EXISTING, 0, reader);
       },
       false, kSharingViolation},
      {"access beyond read and write",
       [&] { return create(u"\\Storage Card\\b", 0x10000000, 0, CREATE_NEW, 0, reader); }, false,
       kInvalidParameter},
      {"sharing beyond read and write",
       [&] { return create(u"\\Storage Card\\b", GENERIC_WRITE, 4, CREATE_NEW, 0, reader); }, false,
       kInvalidParameter},
      {"an unknown disposition",
       [&] { return create(u"\\Storage Card\\b", GENERIC_WRITE, 0, 6, 0, reader); }, false,
       kInvalidParameter},
      {"an attribute that cannot be set",
       [&] { return create(u"\\Storage Card\\b", GENERIC_WRITE, 0, CREATE_NEW, 0x10, reader); },
       false, kInvalidParameter},
      {"truncating without write access",
       [&] { return create(u"\\Storage Card\\b", GENERIC_READ, 0, TRUNCATE_EXISTING, 0, reader); },
       false, kAccessDenied},
      {"opening what is not there",
       [&] { return create(u"\\Storage Card\\b", GENERIC_READ, 0, OPEN_EXISTING, 0, reader); },
       false, kFileNotFound},
      {"a name with ..",
       [&] { return create(u"\\Storage Card\\..\\b", GENERIC_WRITE, 0, CREATE_NEW, 0, reader); },
       false, kInvalidName},
      {"a name FAT cannot hold",
       [&] { return create(u"\\Storage Card\\a?b", GENERIC_WRITE, 0, CREATE_NEW, 0, reader); },
       false, kInvalidName},
      {"through a link out of the card",
       [&] { return create(u"\\Storage Card\\link\\b", GENERIC_WRITE, 0, CREATE_NEW, 0, reader); },
       false, kAccessDenied},
      {"over a FIFO",
       [&] { return create(u"\\Storage Card\\fifo", GENERIC_WRITE, 0, CREATE_ALWAYS, 0, reader); },
       false, kAccessDenied},
      {"writing", [&] { return d.WriteFile(file, bytes, 3, &written, nullptr) && written == 3; },
       true, kAccessDenied},
      {"writing with no count", [&] { return d.WriteFile(file, bytes, 3, nullptr, nullptr); },
       false, kInvalidParameter},
      {"writing to a handle never opened",
       [&] { return d.WriteFile(0x1234, bytes, 3, &written, nullptr); }, false, kInvalidHandle},
      {"deleting an open file", [&] { return d.DeleteFileW(u"\\Storage Card\\survey\\a.bin"); },
       false, kSharingViolation},
      {"closing", [&] { return d.CloseHandle(file); }, true, kSharingViolation},
      {"closing again", [&] { return d.CloseHandle(file); }, false, kInvalidHandle},
      {"opening it again for reading",
       [&] {
         return create(u"\\Storage Card\\survey\\a.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_ALWAYS,
                       0, reader);
       },
       true, kAlreadyExists},
      {"writing through a handle for reading",
       [&] { return d.WriteFile(reader, bytes, 3, &written, nullptr); }, false, kAccessDenied},
      {"closing that", [&] { return d.CloseHandle(reader); }, true, kAccessDenied},
      {"removing a folder that holds a file",
       [&] { return d.RemoveDirectoryW(u"\\Storage Card\\survey"); }, false, kDirNotEmpty},
      {"deleting a folder", [&] { return d.DeleteFileW(u"\\Storage Card\\survey"); }, false,
       kAccessDenied},
      {"moving onto a name that exists",
       [&] { return d.MoveFileW(u"\\Storage Card\\survey\\a.bin", u"\\Storage Card\\survey"); },
       false, kAlreadyExists},
      {"moving off the card",
       [&] { return d.MoveFileW(u"\\Storage Card\\survey", u"\\Windows\\survey"); }, false,
       device::kErrorNotSameDevice},
      {"moving a folder",
       [&] { return d.MoveFileW(u"\\Storage Card\\survey", u"\\Storage Card\\done"); }, true,
       device::kErrorNotSameDevice},
      {"deleting what is gone", [&] { return d.DeleteFileW(u"\\Storage Card\\survey\\a.bin"); },
       false, kPathNotFound},
  };
  for (const auto& step : steps) {
    EXPECT_EQ(step.call(), step.expected) << step.what;
    EXPECT_EQ(d.GetLastError(), static_cast<DWORD>(step.error)) << step.what;
  }
  EXPECT_EQ(card.Read("done/a.bin"), "abc");
  EXPECT_EQ(card.Entries(),
            (std::vector<std::string>{"done", "done/a.bin", "fifo", "link", "outside-target"}));
  EXPECT_TRUE(std::filesystem::is_fifo(card.path / "fifo"));
}

// The card's volume on its own, below the file system's checks: a path through a link that leads
// out of the card's folder is refused at every step, and nothing outside changes.
TEST(DeviceFiles, TheCardsVolumeNeverFollowsALinkOutOfItsFolder) {
  CardFolder card, outside;
  std::filesystem::create_directory_symlink(outside.path, card.path / "link");
  std::ofstream(outside.path / "kept") << "kept";
  const std::unique_ptr<device::Volume> volume = device::MakeHostFolderVolume(card.path);
  const device::VolumePath kept = {u"link", u"kept"}, made = {u"link", u"made"};
  std::vector<uint8_t> bytes;
  const uint8_t data[] = {'x'};
  const struct {
    const char* what;
    LONG status;
  } cases[] = {
      {"a write", volume->Write(made, data)},
      {"a write over a file", volume->Write(kept, data)},
      {"a folder", volume->MakeFolder(made)},
      {"a read", volume->Read(kept, 100, bytes)},
      {"a deletion", volume->RemoveFile(kept)},
      {"a move out", volume->Rename(kept, {u"moved"})},
      {"a move in", volume->Rename({u"link"}, made)},
  };
  for (const auto& test : cases) EXPECT_NE(test.status, ERROR_SUCCESS) << test.what;
  EXPECT_EQ(outside.Entries(), std::vector<std::string>{"kept"});
  EXPECT_EQ(outside.Read("kept"), "kept");
  EXPECT_TRUE(bytes.empty());
}

// Full, the card takes what fits and then ERROR_DISK_FULL; read-only, it refuses every change.
TEST(DeviceFiles, AFullCardTakesWhatFitsAndAReadOnlyOneNothing) {
  CardFolder full;
  TestDevice device(WithCard(full, true));
  const HANDLE file = device.device.CreateFileW(u"\\Storage Card\\big", GENERIC_WRITE, 0, nullptr,
                                                CREATE_NEW, 0, 0);
  std::vector<BYTE> bytes(device::kFullCardFreeBytes + 10, 'x');
  DWORD written = 1;
  EXPECT_FALSE(device.device.WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()),
                                       &written, nullptr));
  EXPECT_EQ(written, device::kFullCardFreeBytes);
  EXPECT_EQ(device.device.GetLastError(), static_cast<DWORD>(kDiskFull));
  EXPECT_FALSE(device.device.WriteFile(file, bytes.data(), 1, &written, nullptr));
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(device.device.CloseHandle(file));
  EXPECT_EQ(full.Read("big").size(), device::kFullCardFreeBytes);

  CardFolder locked;
  std::ofstream(locked.path / "old") << "old";
  TestDevice readOnly(WithCard(locked, false, true));
  Device& d = readOnly.device;
  const struct {
    const char* what;
    std::function<bool()> call;
    bool expected;
  } cases[] = {
      {"a folder", [&] { return d.CreateDirectoryW(u"\\Storage Card\\x", nullptr); }, false},
      {"a file",
       [&] {
         return d.CreateFileW(u"\\Storage Card\\x", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, 0) !=
                INVALID_HANDLE_VALUE;
       },
       false},
      {"writing to a file that is there",
       [&] {
         return d.CreateFileW(u"\\Storage Card\\old", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                              0) != INVALID_HANDLE_VALUE;
       },
       false},
      {"a move", [&] { return d.MoveFileW(u"\\Storage Card\\old", u"\\Storage Card\\new"); },
       false},
      {"a deletion", [&] { return d.DeleteFileW(u"\\Storage Card\\old"); }, false},
      {"reading",
       [&] {
         const HANDLE h =
             d.CreateFileW(u"\\Storage Card\\old", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, 0);
         return h != INVALID_HANDLE_VALUE && d.CloseHandle(h);
       },
       true},
  };
  for (const auto& test : cases) {
    EXPECT_EQ(test.call(), test.expected) << test.what;
    if (!test.expected) {
      EXPECT_EQ(d.GetLastError(), static_cast<DWORD>(kAccessDenied)) << test.what;
    }
  }
  EXPECT_EQ(locked.Entries(), std::vector<std::string>{"old"});
  EXPECT_EQ(locked.Read("old"), "old");
}

// Without a card the program runs from \Windows, and what it writes stays in memory; the run
// lists what was written, where it ended.
TEST(DeviceFiles, WithoutACardFilesStayInTheObjectStoreAndTheRunListsThem) {
  TestDevice device;
  const device::RunResult result = device.device.Run([&](HINSTANCE, HINSTANCE, LPWSTR, int) {
    Device& d = device.device;
    d.CreateDirectoryW(u"\\Windows\\survey", nullptr);
    const HANDLE kept =
        d.CreateFileW(u"\\Windows\\survey\\kept", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, 0);
    const HANDLE gone =
        d.CreateFileW(u"\\Windows\\gone", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, 0);
    DWORD written = 0;
    d.WriteFile(kept, "12345", 5, &written, nullptr);
    d.CloseHandle(kept);
    d.CloseHandle(gone);
    d.DeleteFileW(u"\\Windows\\gone");
    d.CreateFileW(u"\\Temp\\open", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, 0);
    d.MoveFileW(u"\\Windows\\survey", u"\\My Documents\\survey");
    return 0;  // `open` is left open: the end of the process closes it
  });
  EXPECT_EQ(result.filesLeftOpen, 1u);
  EXPECT_EQ(result.filesWritten,
            (std::vector<device::WrittenFile>{{u"\\My Documents\\survey\\kept", 5, false},
                                              {u"\\Temp\\open", 0, false}}));
}

}  // namespace
