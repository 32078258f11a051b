// Bounded text in fixed buffers, decimal numbers without division (the core library has no
// division helper), and the record of the step that failed.
#include "survey.h"

const char* SurveyFailedRoutine;
WCHAR SurveyFailedSubject[SURVEY_PATH_UNITS];
DWORD SurveyFailedError;

// Powers of ten from the largest a DWORD holds: each digit is counted by subtraction.
static const DWORD PowersOfTen[10] = {1000000000u, 100000000u, 10000000u, 1000000u, 100000u,
                                      10000u,      1000u,      100u,      10u,      1u};

unsigned SurveyLength(const WCHAR* text) {
  unsigned length = 0;
  while (text[length] != 0) ++length;
  return length;
}

/*
 * Append: up to `count` units of `text`, bytes when `ascii`, stopping at a terminator.
 */
static void Append(WCHAR* buffer, unsigned capacity, const void* text, unsigned count, bool ascii) {
  unsigned length = SurveyLength(buffer);
  for (unsigned i = 0; i < count && length < capacity - 1; ++i) {
    unsigned unit = ascii ? ((const unsigned char*)text)[i] : ((const WCHAR*)text)[i];
    if (unit == 0) break;
    buffer[length++] = (WCHAR)unit;
  }
  buffer[length] = 0;
}

void SurveyAppendUnits(WCHAR* buffer, unsigned capacity, const WCHAR* units, unsigned count) {
  Append(buffer, capacity, units, count, false);
}

void SurveyAppend(WCHAR* buffer, unsigned capacity, const WCHAR* text) {
  Append(buffer, capacity, text, capacity, false);
}

void SurveyAppendAscii(WCHAR* buffer, unsigned capacity, const char* text) {
  Append(buffer, capacity, text, capacity, true);
}

void SurveyDecimal(DWORD number, WCHAR* digits) {
  unsigned length = 0;
  for (unsigned power = 0; power < 10; ++power) {
    unsigned digit = 0;
    while (number >= PowersOfTen[power]) {
      number -= PowersOfTen[power];
      ++digit;
    }
    if (digit != 0 || length != 0 || power == 9) digits[length++] = (WCHAR)(u'0' + digit);
  }
  digits[length] = 0;
}

bool SurveyFail(const char* routine, const WCHAR* subject, DWORD error) {
  if (SurveyFailedRoutine == 0) {
    SurveyFailedRoutine = routine;
    SurveyFailedSubject[0] = 0;
    SurveyAppend(SurveyFailedSubject, SURVEY_PATH_UNITS, subject);
    SurveyFailedError = error;
  }
  return false;
}
