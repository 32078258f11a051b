// The ROM language check: only a ROM whose language name is "DEUTSCH" is accepted.
#include "update.h"

// Zero until the query fills it; word-aligned for the adaptation layer, which may write in words.
BYTE RomInfoBlock[ROM_INFO_BLOCK_SIZE] __attribute__((aligned(4)));
WCHAR ResetPromptText[RESET_PROMPT_CAPACITY];  // empty unless the ROM was accepted

#define ROM_LANGUAGE_UNITS ((ROM_INFO_BLOCK_SIZE - ROM_LANGUAGE_OFFSET) / 2)  // 16

static DWORD RomInfoRequest = 15;  // the request word the ROM information query is sent with
static const WCHAR AcceptedLanguage[] = u"DEUTSCH";

static_assert(sizeof AcceptedLanguage / sizeof AcceptedLanguage[0] <= ROM_LANGUAGE_UNITS,
              "the comparison stays inside the block");

/*
 * QueryRomInfo: asks the adaptation layer to fill RomInfoBlock. Whether it did is not examined;
 * a query that writes nothing leaves the block as it was.
 */
void QueryRomInfo() {
  KernelIoControl(IOCTL_ROM_INFO, &RomInfoRequest, sizeof RomInfoRequest, RomInfoBlock,
                  sizeof RomInfoBlock, 0);
}

/*
 * RomLanguageUnit: unit `index` of the language name, read as a little-endian 16-bit value.
 * Assumes index < ROM_LANGUAGE_UNITS.
 */
static unsigned RomLanguageUnit(unsigned index) {
  const BYTE* unit = RomInfoBlock + ROM_LANGUAGE_OFFSET + 2 * index;
  return unit[0] | (unit[1] << 8);
}

/*
 * CheckRomLanguage: true when the language name is exactly "DEUTSCH". Clears ResetPromptText on
 * every call; on a match loads the reset question into it, always terminated inside the buffer.
 */
bool CheckRomLanguage() {
  memset(ResetPromptText, 0, sizeof ResetPromptText);
  for (unsigned i = 0;; ++i) {
    unsigned expected = AcceptedLanguage[i];
    if (RomLanguageUnit(i) != expected) return false;
    if (expected == 0) break;
  }
  int count =
      LoadStringW(ProgramInstance, RESET_PROMPT_STRING_ID, ResetPromptText, RESET_PROMPT_CAPACITY);
  // A count the buffer cannot hold (above 259, or negative) ends the text at the last unit.
  unsigned end = (unsigned)count;
  if (end > RESET_PROMPT_CAPACITY - 1) end = RESET_PROMPT_CAPACITY - 1;
  ResetPromptText[end] = 0;
  return true;
}
