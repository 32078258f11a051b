// The simulated device's platform calls, called directly: what each accepts, refuses and writes.
#include "device.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform.h"

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

struct TestDevice {
  explicit TestDevice(device::DeviceSettings settings = {}, std::string input = "",
                      bool terminal = false)
      : in(std::move(input)),
        device(device::Registry::Parse(std::span(reinterpret_cast<const uint8_t*>(kRegistryText),
                                                 sizeof kRegistryText - 1),
                                       "test.reg"),
               ProgramResources(), std::move(settings), device::Console{out, in, terminal, 80}) {}

  HKEY Open(const char16_t* path) {
    HKEY key = 0;
    EXPECT_EQ(device.RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, 0, &key), ERROR_SUCCESS)
        << out.str();
    return key;
  }

  std::ostringstream out;
  std::istringstream in;
  Device device;
};

constexpr const char16_t* kMmc = u"\\System\\StorageManager\\Profiles\\MMC";
constexpr LONG kFileNotFound = 2, kInvalidHandle = 6, kInvalidParameter = 87;

TEST(DeviceRegistry, OpensExistingKeysOnlyWithZeroOptionsAndAccess) {
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
      {kMmc, 1, 0, kInvalidParameter},
      {kMmc, 0, 0xF003F, kInvalidParameter},
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

TEST(DeviceRegistry, StoresExactlyTheBytesAndSizeItIsGiven) {
  const std::vector<std::vector<uint8_t>> payloads = {
      {'S', 0, 'p', 0, 0, 0}, {'S', 0, 'p'}, {}, {0xFF, 0xFE, 0, 0, 0, 0, 0, 0, 0}};
  for (const auto& payload : payloads) {
    TestDevice device;
    HKEY key = device.Open(kMmc);
    ASSERT_EQ(device.device.RegSetValueExW(key, u"FOLDER", 0, REG_SZ, payload.data(),
                                           static_cast<DWORD>(payload.size())),
              ERROR_SUCCESS);
    const device::RegValue* stored = device.device.registry().FindValue(
        u"HKEY_LOCAL_MACHINE\\System\\StorageManager\\Profiles\\MMC", u"Folder");
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->data, payload);
    EXPECT_EQ(stored->type, REG_SZ);
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

TEST(DeviceStrings, CopiesAtMostCapacityLessOneAndTerminates) {
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
    bool loaded = test.expected > 0 || test.capacity == 1;
    if (loaded) {
      EXPECT_EQ(buffer[test.expected], 0);
      EXPECT_EQ(buffer[test.expected + 1], u'\xCCCC');
    }
  }
}

TEST(DeviceMessageBox, AnswersFromSettingsOrKeyboard) {
  const struct {
    const char* why;
    device::Answer answer;
    bool terminal;
    std::string typed;
    UINT style;
    int expected;
  } cases[] = {
      {"yes", device::Answer::Yes, false, "", MB_YESNO, IDYES},
      {"no", device::Answer::No, false, "", MB_YESNO, IDNO},
      {"box fails", device::Answer::FailToShow, false, "", MB_YESNO, 0},
      {"no terminal, no answer", device::Answer::FromKeyboard, false, "", MB_YESNO, 0},
      {"typed nein after junk", device::Answer::FromKeyboard, true, "x\nnein\n", MB_YESNO, IDNO},
      {"typed ja", device::Answer::FromKeyboard, true, "J\n", MB_YESNO, IDYES},
      {"typed yes with blanks around it", device::Answer::FromKeyboard, true, " \tYes \n", MB_YESNO,
       IDYES},
      {"typed n after an answer of two words", device::Answer::FromKeyboard, true, "ja nein\nn\n",
       MB_YESNO, IDNO},
      {"OK box without terminal", device::Answer::No, false, "", MB_OK, IDOK},
      {"OK box on a terminal", device::Answer::FromKeyboard, true, "\n", MB_OK, IDOK},
      {"OK box on a terminal with an answer given", device::Answer::No, true, "", MB_OK, IDOK},
      {"a style the device does not show", device::Answer::Yes, false, "", 0x3, 0},
  };
  for (const auto& test : cases) {
    device::DeviceSettings settings;
    settings.answer = test.answer;
    TestDevice device(settings, test.typed, test.terminal);
    EXPECT_EQ(device.device.MessageBoxW(0, u"Frage?", u"  ", test.style), test.expected)
        << test.why;
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
  Device device(device::Registry(), ProgramResources(), {},
                device::Console{out, in, true, 80, &prompts});
  EXPECT_EQ(device.MessageBoxW(0, u"Frage?", u"  ", MB_YESNO), IDNO);
  EXPECT_EQ(prompts.str(),
            "Ja (j) / Nein (n)? Please type j for Ja or n for Nein, then Enter.\n"
            "Ja (j) / Nein (n)? ");
  EXPECT_TRUE(out.str().ends_with("┘\nanswered: Nein\n")) << out.str();
}

TEST(DeviceMessageBox, KeyboardAnswersAcceptedInEveryLanguage) {
  const struct {
    const char* language;
    const char* typed;
    std::optional<bool> yes;
  } cases[] = {
      {"DEUTSCH", "j", true},
      {"DEUTSCH", "JA", true},
      {"DEUTSCH", " y ", true},
      {"DEUTSCH", "Yes", true},
      {"DEUTSCH", "n", false},
      {"DEUTSCH", "NEIN", false},
      {"DEUTSCH", "\tno\r", false},
      {"DEUTSCH", "", std::nullopt},
      {"DEUTSCH", "jn", std::nullopt},
      {"DEUTSCH", "ja!", std::nullopt},
      {"DEUTSCH", "\xFF", std::nullopt},
      {"FRANCAIS", "o", true},
      {"FRANCAIS", "Oui", true},
      {"FRANCAIS", "non", false},
      {"ITALIANO", "s", true},
      {"ITALIANO", "SÌ", true},
      {"PORTUGUES", "não", false},
      {"ENGLISH", "y", true},
      {"ENGLISH", "o", std::nullopt},
  };
  for (const auto& test : cases) {
    const auto keys = device::KeysFor(device::LabelsForLanguage(device::FromUtf8(test.language)));
    EXPECT_EQ(device::ReadYesNo(test.typed, keys), test.yes) << test.language << " " << test.typed;
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

}  // namespace
