// The update program on a scripted platform: what it makes of the ROM block and of the string
// loader's count, independent of the simulated device.
#include "update.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// What the scripted platform answers.
struct Script {
  std::vector<uint8_t> romBlock;  // written by the ROM query; empty: the query writes nothing
  int loadStringCount = 0;        // what LoadStringW returns
  std::vector<std::string> calls;
} script;

}  // namespace

extern "C" {
int WINAPI MessageBoxW(HWND, LPCWSTR, LPCWSTR, UINT style) {
  script.calls.push_back(style == MB_OK ? "MessageBoxW(MB_OK)" : "MessageBoxW(MB_YESNO)");
  return IDNO;
}
int WINAPI LoadStringW(HINSTANCE, UINT, LPWSTR buffer, int capacity) {
  script.calls.push_back("LoadStringW");
  for (int i = 0; i < capacity; ++i) buffer[i] = u'x';  // a loader that fills all it may
  return script.loadStringCount;
}
LONG WINAPI RegOpenKeyExW(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY result) {
  script.calls.push_back("RegOpenKeyExW");
  *result = 1;
  return ERROR_SUCCESS;
}
LONG WINAPI RegSetValueExW(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD) {
  script.calls.push_back("RegSetValueExW");
  return ERROR_SUCCESS;
}
LONG WINAPI RegCloseKey(HKEY) {
  script.calls.push_back("RegCloseKey");
  return ERROR_SUCCESS;
}
BOOL WINAPI KernelIoControl(DWORD code, LPVOID, DWORD, LPVOID out, DWORD outSize, LPDWORD) {
  script.calls.push_back(code == IOCTL_ROM_INFO ? "KernelIoControl(ROM)"
                                                : "KernelIoControl(REBOOT)");
  if (code != IOCTL_ROM_INFO || script.romBlock.empty()) return FALSE;
  std::memcpy(out, script.romBlock.data(), std::min<size_t>(outSize, script.romBlock.size()));
  return TRUE;
}
void* CeMemset(void* dest, int value, size_t count) {
  return std::memset(dest, value, count);
}
}

namespace {

std::vector<uint8_t> BlockWithUnits(std::vector<char16_t> units) {
  std::vector<uint8_t> block(ROM_INFO_BLOCK_SIZE, 0xCC);
  for (size_t i = 0; i < units.size(); ++i) {
    block[ROM_LANGUAGE_OFFSET + 2 * i] = static_cast<uint8_t>(units[i]);
    block[ROM_LANGUAGE_OFFSET + 2 * i + 1] = static_cast<uint8_t>(units[i] >> 8);
  }
  return block;
}

void StartFresh(std::vector<uint8_t> romBlock, int loadStringCount = 0) {
  std::memset(RomInfoBlock, 0, sizeof RomInfoBlock);  // as at process start
  script = Script{std::move(romBlock), loadStringCount, {}};
}

TEST(UpdateRomCheck, ComparesUnitsExactlyAndNeverPastTheBlock) {
  struct Case {
    const char* why;
    std::vector<char16_t> units;
    bool accepted;
  };
  const Case cases[] = {
      {"exact name, garbage after the terminator",
       {'D', 'E', 'U', 'T', 'S', 'C', 'H', 0, 0xCCCC},
       true},
      {"a unit differing only in its high byte", {'D', 'E', 'U', 'T', 'S', 0x143, 'H', 0}, false},
      {"16 units with no terminator", std::vector<char16_t>(16, 'D'), false},
      {"DEUTSCH then 9 more units filling the field",
       {'D', 'E', 'U', 'T', 'S', 'C', 'H', 'E', 'E', 'E', 'E', 'E', 'E', 'E', 'E', 'E'},
       false},
      {"empty name", {0}, false},
  };
  for (const Case& test : cases) {
    StartFresh(BlockWithUnits(test.units));
    QueryRomInfo();
    EXPECT_EQ(CheckRomLanguage(), test.accepted) << test.why;
  }
}

TEST(UpdateRomCheck, SilentQueryLeavesTheZeroBlockWhichIsRefused) {
  StartFresh({});
  EXPECT_EQ(WinMain(1, 0, nullptr, 5), 0);
  EXPECT_EQ(script.calls, (std::vector<std::string>{"KernelIoControl(ROM)", "MessageBoxW(MB_OK)"}));
}

TEST(UpdateResetPrompt, TerminatorStaysInsideTheBufferWhateverTheLoaderReturns) {
  const struct {
    int returned;
    size_t terminatorAt;
  } cases[] = {{0, 0}, {125, 125}, {259, 259}, {260, 259}, {100000, 259}, {-1, 259}};
  for (const auto& test : cases) {
    StartFresh(BlockWithUnits({'D', 'E', 'U', 'T', 'S', 'C', 'H', 0}), test.returned);
    QueryRomInfo();
    ASSERT_TRUE(CheckRomLanguage());
    EXPECT_EQ(ResetPromptText[test.terminatorAt], 0) << "count " << test.returned;
    if (test.terminatorAt > 0) {
      EXPECT_EQ(ResetPromptText[test.terminatorAt - 1], u'x');
    }
  }
}

TEST(UpdateResetPrompt, RefusalLeavesThePromptEmpty) {
  StartFresh(BlockWithUnits({'D', 'E', 'U', 'T', 'S', 'C', 'H', 0}), 40);
  QueryRomInfo();
  ASSERT_TRUE(CheckRomLanguage());
  StartFresh(BlockWithUnits({'E', 'N', 'G', 0}));
  QueryRomInfo();
  EXPECT_FALSE(CheckRomLanguage());
  EXPECT_EQ(std::u16string(ResetPromptText), u"");
}

}  // namespace
