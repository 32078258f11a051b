// Start of the survey: query the ROM, write the survey folder, then one OK box in the ROM's
// language naming the folder or the step that failed.
#include "survey.h"

// The string table holds each language's three texts, all in one block (the device's string
// loader takes a block's first language entry whatever its language): 0 English, 1 German, 2
// French, 3 Italian, 4 Portuguese; the heading of success and of failure, "Error". The caption
// is the program's name.
#define SURVEY_STRING_ID(language, text) (96 + 3 * (language) + (text))
#define SURVEY_TEXT_WRITTEN 0
#define SURVEY_TEXT_FAILED 1
#define SURVEY_TEXT_ERROR 2
#define SURVEY_LANGUAGE_COUNT 5
#define SURVEY_TEXT_UNITS 128  // one loaded text, terminator included

BYTE SurveyRomBlock[SURVEY_ROM_BLOCK_BYTES] __attribute__((aligned(4)));

static HINSTANCE SurveyInstance;
static DWORD RomInfoRequest = 15;  // the request word the update's ROM query is sent with
static WCHAR Loaded[SURVEY_TEXT_UNITS];
static WCHAR Message[SURVEY_MESSAGE_UNITS];
// The ROM language names of the table's languages after English, in its order. Each is shorter
// than the block's field, its terminator inside it (the array's width holds the compiler to that).
static const char RomLanguages[SURVEY_LANGUAGE_COUNT - 1][SURVEY_ROM_LANGUAGE_UNITS] = {
    "DEUTSCH",
    "FRANCAIS",
    "ITALIANO",
    "PORTUGUES",
};
/*
 * SurveyQueryRom: the ROM information block, by the query the update makes. A query that fails
 * fails the survey: a block it did not fill would describe another device.
 */
bool SurveyQueryRom() {
  if (!KernelIoControl(IOCTL_ROM_INFO, &RomInfoRequest, sizeof RomInfoRequest, SurveyRomBlock,
                       sizeof SurveyRomBlock, 0)) {
    return SurveyFail("KernelIoControl", u"", GetLastError());
  }
  return true;
}

/*
 * RomLanguageIs: whether the block's language name, read as little-endian units, is `name`
 * exactly, terminated. Every name ends inside the field, so the comparison does too: at the
 * name's terminator at the latest.
 */
static bool RomLanguageIs(const char* name) {
  const BYTE* field = SurveyRomBlock + SURVEY_ROM_LANGUAGE_OFFSET;
  for (unsigned i = 0;; ++i) {
    unsigned unit = field[2 * i] | (field[2 * i + 1] << 8);
    if (unit != (unsigned char)name[i]) return false;
    if (unit == 0) return true;
  }
}

/*
 * MessageLanguage: the table's language for the ROM's; English for any other, and for a ROM
 * that was not read (the block is zero).
 */
static unsigned MessageLanguage() {
  for (unsigned i = 0; i < SURVEY_LANGUAGE_COUNT - 1; ++i) {
    if (RomLanguageIs(RomLanguages[i])) return i + 1;
  }
  return 0;
}

/*
 * LoadText: text `text` of `language` into `buffer` (SURVEY_TEXT_UNITS), always terminated; empty
 * when the loader finds none.
 */
static void LoadText(unsigned language, unsigned text, WCHAR* buffer) {
  int count =
      LoadStringW(SurveyInstance, SURVEY_STRING_ID(language, text), buffer, SURVEY_TEXT_UNITS);
  unsigned end = (unsigned)count;
  if (end > SURVEY_TEXT_UNITS - 1) end = SURVEY_TEXT_UNITS - 1;
  buffer[end] = 0;
}

/*
 * ComposeMessage: the folder written, or the failed routine, its subject and the error code.
 * A text too long for the box is cut.
 */
static void ComposeMessage(unsigned language) {
  WCHAR digits[12];
  bool failed = SurveyFailedRoutine != 0;
  SurveyDecimal(SurveyFailedError, digits);
  LoadText(language, failed ? SURVEY_TEXT_FAILED : SURVEY_TEXT_WRITTEN, Message);
  SurveyAppendAscii(Message, SURVEY_MESSAGE_UNITS, "\n");
  if (!failed) {
    SurveyAppend(Message, SURVEY_MESSAGE_UNITS, SurveyFolder);
    return;
  }
  SurveyAppendAscii(Message, SURVEY_MESSAGE_UNITS, SurveyFailedRoutine);
  SurveyAppendAscii(Message, SURVEY_MESSAGE_UNITS, " ");
  SurveyAppend(Message, SURVEY_MESSAGE_UNITS, SurveyFailedSubject);
  SurveyAppendAscii(Message, SURVEY_MESSAGE_UNITS, "\n");
  LoadText(language, SURVEY_TEXT_ERROR, Loaded);
  SurveyAppend(Message, SURVEY_MESSAGE_UNITS, Loaded);
  SurveyAppendAscii(Message, SURVEY_MESSAGE_UNITS, " ");
  SurveyAppend(Message, SURVEY_MESSAGE_UNITS, digits);
}

/*
 * SurveyWinMain: the program's entry; only the instance handle is used. Returns 0 on every path.
 */
extern "C" int WINAPI SurveyWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
  SurveyInstance = instance;
  SurveyFailedRoutine = 0;
  if (!(SurveyQueryRom() && SurveyCreateFolder() && SurveyWriteFiles())) SurveyRemovePartial();
  unsigned language = MessageLanguage();
  ComposeMessage(language);
  MessageBoxW(0, Message, u"DeviceSurvey", MB_OK);
  return 0;
}
