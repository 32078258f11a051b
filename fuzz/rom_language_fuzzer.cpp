// The ROM language check over any ROM information block. Input: the 160-byte block, optionally
// followed by 4 bytes (little-endian) that LoadStringW returns as its count; other sizes are
// skipped. The check must accept exactly the blocks whose language name is "DEUTSCH" followed by
// a zero unit, and must keep the reset question terminated inside its buffer whatever count the
// string loader reports.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "update.h"

namespace {

constexpr std::u16string_view kPromptText = u"Neu starten?";

int32_t loadStringCount = 0;  // what the next LoadStringW returns

bool ReferenceAccepts(const uint8_t* block) {
  constexpr std::u16string_view kGerman{u"DEUTSCH\0", 8};
  for (size_t i = 0; i < kGerman.size(); ++i) {
    const uint8_t* unit = block + ROM_LANGUAGE_OFFSET + 2 * i;
    if ((unit[0] | unit[1] << 8) != kGerman[i]) return false;
  }
  return true;
}

// Where the check must have put the terminator for a given loader count.
size_t ExpectedEnd(int32_t count) {
  if (count < 0 || count > RESET_PROMPT_CAPACITY - 1) return RESET_PROMPT_CAPACITY - 1;
  return static_cast<size_t>(count);
}

bool PromptIsEmpty() {
  for (WCHAR unit : ResetPromptText) {
    if (unit != 0) return false;
  }
  return true;
}

}  // namespace

// The platform calls the check makes; the module handle the program was started with.
HINSTANCE ProgramInstance = 0x1000;

extern "C" int WINAPI LoadStringW(HINSTANCE, UINT, LPWSTR buffer, int capacity) {
  const size_t copied = std::min(kPromptText.size(), static_cast<size_t>(capacity) - 1);
  std::memcpy(buffer, kPromptText.data(), copied * sizeof(WCHAR));
  buffer[copied] = 0;
  return loadStringCount;
}

extern "C" BOOL WINAPI KernelIoControl(DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD) {
  return FALSE;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size != ROM_INFO_BLOCK_SIZE && size != ROM_INFO_BLOCK_SIZE + 4) return -1;
  loadStringCount = static_cast<int32_t>(kPromptText.size());
  if (size > ROM_INFO_BLOCK_SIZE) {
    std::memcpy(&loadStringCount, data + ROM_INFO_BLOCK_SIZE, sizeof loadStringCount);
  }
  std::memcpy(RomInfoBlock, data, ROM_INFO_BLOCK_SIZE);
  std::memset(ResetPromptText, 0xA5, sizeof ResetPromptText);  // a previous call's leftovers

  const bool accepted = CheckRomLanguage();
  if (accepted != ReferenceAccepts(data)) __builtin_trap();
  if (!accepted && !PromptIsEmpty()) __builtin_trap();
  if (accepted && ResetPromptText[ExpectedEnd(loadStringCount)] != 0) __builtin_trap();
  if (std::memcmp(RomInfoBlock, data, ROM_INFO_BLOCK_SIZE) != 0) __builtin_trap();
  return 0;
}
