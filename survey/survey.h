// The device survey: writes the handheld's ROM information block and its whole registry into a
// folder beside the program, survey\<name>\, for cesim to replay the update against. Its parts and
// the static data they share. It reads the device and writes only its own folder.
#pragma once

#include "platform.h"

#define SURVEY_ROM_BLOCK_BYTES 160        // bytes the ROM information query fills
#define SURVEY_ROM_LANGUAGE_OFFSET 128    // byte where the ROM's language name starts
#define SURVEY_ROM_LANGUAGE_UNITS 16      // units of the language name field
#define SURVEY_PATH_UNITS (2 * MAX_PATH)  // a path composed from the program's; never cut
#define SURVEY_DEVICE_NAME_UNITS 32       // characters of the device's name kept for its folder
#define SURVEY_MAX_SUFFIX 99              // "-2" to "-99" after a name whose folder exists
#define SURVEY_NAME_UNITS 256             // key and value names: the platform's 255, terminator
#define SURVEY_MAX_DEPTH 16               // nested subkeys below a root: the platform's limit
#define SURVEY_FIRST_READ_BYTES 4096      // a value is read with the platform's data limit first,
#define SURVEY_MAX_VALUE_BYTES 65536      // then re-read with the size it reports, up to this
#define SURVEY_KEY_PATH_UNITS (24 + SURVEY_MAX_DEPTH * SURVEY_NAME_UNITS)  // root, names, '\'s
#define SURVEY_OUTPUT_UNITS 2048  // units collected before one WriteFile
#define SURVEY_MESSAGE_UNITS 640  // the closing message box's text

// The step that failed: the routine, what it worked on and the platform's error code. Routine is
// null while every step has succeeded.
extern const char* SurveyFailedRoutine;
extern WCHAR SurveyFailedSubject[SURVEY_PATH_UNITS];
extern DWORD SurveyFailedError;

extern BYTE SurveyRomBlock[SURVEY_ROM_BLOCK_BYTES];  // as the device reported it
extern WCHAR SurveyFolder[SURVEY_PATH_UNITS];        // the folder written, once it exists

// Text. The program's own texts are ASCII (char), half the size in the image; what the device
// gives is UTF-16. Each append adds `text` up to its terminator, or `count` units, to the
// terminated text in `buffer` of `capacity` units, as much as fits.
void SurveyAppend(WCHAR* buffer, unsigned capacity, const WCHAR* text);
void SurveyAppendAscii(WCHAR* buffer, unsigned capacity, const char* text);
void SurveyAppendUnits(WCHAR* buffer, unsigned capacity, const WCHAR* units, unsigned count);
unsigned SurveyLength(const WCHAR* text);
// `number` in decimal into `digits` (at least 11 units), terminated.
void SurveyDecimal(DWORD number, WCHAR* digits);

// Records the failed step (the first one only) and returns false.
bool SurveyFail(const char* routine, const WCHAR* subject, DWORD error);

// The output file's text, collected and written in pieces of SURVEY_OUTPUT_UNITS.
void SurveyPut(WCHAR unit);
void SurveyPutText(const void* text, bool ascii);  // up to its terminator

// The parts, in the order the survey runs them; each returns false after SurveyFail.
bool SurveyQueryRom();
bool SurveyCreateFolder();
bool SurveyWriteFiles();
bool SurveyExportRegistry();  // into the open output file
void SurveyRemovePartial();   // after a failure: what was written, then the folders made

// The entry. It is WinMain in the device image; the build for this machine links it beside the
// update, whose entry has that name, so there it keeps this one.
extern "C" int WINAPI SurveyWinMain(HINSTANCE instance, HINSTANCE previousInstance,
                                    LPWSTR commandLine, int showState)
#if defined(__arm__)
    __asm__("WinMain")
#endif
        ;
