// The registry as a regedit file: every key of HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER, empty ones
// too, each with every value in the notation that reads back to exactly its type and bytes. What
// the survey's buffers or the file's notation cannot hold is named in a comment line where it
// stands, never cut short. Keys are only opened, enumerated and closed.
#include "survey.h"

#define SURVEY_ROOT_COUNT 2
#define SURVEY_HEX_BYTES_PER_LINE 24  // bytes of a hex list before it continues on the next line

static const char* const RootNames[SURVEY_ROOT_COUNT] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER"};
static const HKEY Roots[SURVEY_ROOT_COUNT] = {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER};
static const char HexDigits[] = "0123456789abcdef";
static const char LineEnd[] = "\r\n";
static const char SkippedValue[] = "; skipped: value ";
static const char SkippedSubkey[] = "; skipped: subkey ";
static const char TooLarge[] = ": too large to read";
static const char NotWritable[] = ": name not writable here";
static const char TooDeep[] = ": too deep to read";

// The keys open from the root down, the next subkey to enumerate in each, and where each one's
// name ends in KeyPath.
static HKEY Keys[SURVEY_MAX_DEPTH + 1];
static DWORD NextSubkey[SURVEY_MAX_DEPTH + 1];
static unsigned PathLength[SURVEY_MAX_DEPTH + 1];
static WCHAR KeyPath[SURVEY_KEY_PATH_UNITS];
static WCHAR Name[SURVEY_NAME_UNITS];
static WCHAR Data[SURVEY_MAX_VALUE_BYTES / sizeof(WCHAR)];  // a value's bytes, read as units too

static void PutHex(DWORD value, unsigned digits) {
  while (digits-- > 0) SurveyPut((WCHAR)HexDigits[(value >> (4 * digits)) & 15]);
}

/*
 * PlainText: whether the units can stand on one line between quotes (or, for a key's name, between
 * brackets: not `forbidden`) and read back as they are: no NUL, no line break, no surrogate
 * without its partner.
 */
static bool PlainText(const WCHAR* units, unsigned count, WCHAR forbidden) {
  for (unsigned i = 0; i < count; ++i) {
    unsigned unit = units[i];
    unsigned kind = unit & 0xFC00;  // 0xD800 a high surrogate, 0xDC00 a low one
    if (unit == 0 || unit == u'\r' || unit == u'\n' || unit == forbidden || kind == 0xDC00) {
      return false;
    }
    if (kind == 0xD800) {
      if (i + 1 == count || (units[i + 1] & 0xFC00) != 0xDC00) return false;
      ++i;
    }
  }
  return true;
}

/*
 * PutQuoted: the units between quotes, with '\' and '"' escaped.
 */
static void PutQuoted(const WCHAR* units, unsigned count) {
  SurveyPut(u'"');
  for (unsigned i = 0; i < count; ++i) {
    if (units[i] == u'\\' || units[i] == u'"') SurveyPut(u'\\');
    SurveyPut(units[i]);
  }
  SurveyPut(u'"');
}

/*
 * Skipped: the comment line for item `index` of the current key that is not recorded.
 */
static void Skipped(const char* item, DWORD index, const char* reason) {
  WCHAR digits[12];
  SurveyDecimal(index, digits);
  SurveyPutText(item, true);
  SurveyPutText(digits, false);
  SurveyPutText(reason, true);
  SurveyPutText(LineEnd, true);
}

/*
 * PutData: the value's data in the notation that reads back to exactly this type and these bytes:
 * a quoted string for a REG_SZ that is one terminated line of text, dword: for a 4-byte REG_DWORD,
 * hex: for REG_BINARY and hex(type): for everything else, continued over lines.
 */
static void PutData(DWORD type, DWORD size) {
  unsigned units = size / sizeof(WCHAR);
  if (type == REG_SZ && (size & 1) == 0 && units > 0 && Data[units - 1] == 0 &&
      PlainText(Data, units - 1, 0)) {
    PutQuoted(Data, units - 1);
    return;
  }
  if (type == REG_DWORD && size == 4) {
    SurveyPutText("dword:", true);
    PutHex(Data[0] | ((DWORD)Data[1] << 16), 8);
    return;
  }
  if (type == REG_BINARY) {
    SurveyPutText("hex:", true);
  } else {
    SurveyPutText("hex(", true);
    unsigned digits = 1;
    while (digits < 8 && (type >> (4 * digits)) != 0) ++digits;
    PutHex(type, digits);
    SurveyPutText("):", true);
  }
  const BYTE* bytes = (const BYTE*)Data;
  for (DWORD i = 0, onLine = 0; i < size; ++i, ++onLine) {
    if (onLine == SURVEY_HEX_BYTES_PER_LINE) {
      SurveyPutText(",\\\r\n  ", true);
      onLine = 0;
    } else if (i != 0) {
      SurveyPut(u',');
    }
    PutHex(bytes[i], 2);
  }
}

/*
 * RegOk: true for ERROR_SUCCESS; otherwise fails the step `routine` on the current key.
 */
static bool RegOk(LONG status, const char* routine) {
  return status == ERROR_SUCCESS || SurveyFail(routine, KeyPath, (DWORD)status);
}

/*
 * PutValues: the current key's section with all its values. A value whose data is larger than the
 * first read is read again with the size the platform reports, up to SURVEY_MAX_VALUE_BYTES.
 */
static bool PutValues(HKEY key) {
  SurveyPutText("\r\n[", true);
  SurveyPutText(KeyPath, false);
  SurveyPutText("]\r\n", true);
  for (DWORD index = 0;; ++index) {
    DWORD units, type = REG_NONE, size = SURVEY_FIRST_READ_BYTES, capacity;
    LONG status;
    do {  // once more, with the size reported, while that is more than was offered
      capacity = size;
      units = SURVEY_NAME_UNITS;
      status = RegEnumValueW(key, index, Name, &units, 0, &type, (LPBYTE)Data, &size);
    } while (status == ERROR_MORE_DATA && size > capacity && size <= SURVEY_MAX_VALUE_BYTES);
    if (status == ERROR_NO_MORE_ITEMS) return SurveyFailedRoutine == 0;  // the writes too
    if (status == ERROR_MORE_DATA) {
      Skipped(SkippedValue, index, TooLarge);
      continue;
    }
    if (!RegOk(status, "RegEnumValueW")) return false;
    if (!PlainText(Name, units, 0)) {
      // Unreachable in cesim: a registry file holds no such name.
      Skipped(SkippedValue, index, NotWritable);
      continue;
    }
    if (units == 0) {
      SurveyPut(u'@');
    } else {
      PutQuoted(Name, units);
    }
    SurveyPut(u'=');
    PutData(type, size);
    SurveyPutText(LineEnd, true);
  }
}

/*
 * PutTree: the root's section and every key below it, depth first, each key's section before its
 * subkeys'. On failure the keys it opened are closed.
 */
static bool PutTree(unsigned root) {
  unsigned depth = 0;
  Keys[0] = Roots[root];
  NextSubkey[0] = 0;
  KeyPath[0] = 0;
  SurveyAppendAscii(KeyPath, SURVEY_KEY_PATH_UNITS, RootNames[root]);
  PathLength[0] = SurveyLength(KeyPath);
  bool ok = PutValues(Keys[0]);
  while (ok) {
    DWORD index = NextSubkey[depth]++;
    DWORD units = SURVEY_NAME_UNITS;
    LONG status = RegEnumKeyExW(Keys[depth], index, Name, &units, 0, 0, 0, 0);
    if (status == ERROR_NO_MORE_ITEMS) {
      if (depth == 0) return true;
      RegCloseKey(Keys[depth--]);
      KeyPath[PathLength[depth]] = 0;
      continue;
    }
    if (status == ERROR_MORE_DATA) {
      Skipped(SkippedSubkey, index, TooLarge);
      continue;
    }
    ok = RegOk(status, "RegEnumKeyExW");
    if (!ok) break;
    if (!PlainText(Name, units, u']')) {
      // Unreachable in cesim: a registry file holds no such name.
      Skipped(SkippedSubkey, index, NotWritable);
      continue;
    }
    if (depth == SURVEY_MAX_DEPTH) {
      Skipped(SkippedSubkey, index, TooDeep);
      continue;
    }
    KeyPath[PathLength[depth]] = u'\\';
    KeyPath[PathLength[depth] + 1] = 0;
    SurveyAppendUnits(KeyPath, SURVEY_KEY_PATH_UNITS, Name, units);
    ok = RegOk(RegOpenKeyExW(Keys[depth], Name, 0, 0, &Keys[depth + 1]), "RegOpenKeyExW");
    if (!ok) break;
    ++depth;
    NextSubkey[depth] = 0;
    PathLength[depth] = SurveyLength(KeyPath);
    ok = PutValues(Keys[depth]);
  }
  while (depth > 0) RegCloseKey(Keys[depth--]);
  return false;
}

/*
 * SurveyExportRegistry: the header, then both roots.
 */
bool SurveyExportRegistry() {
  SurveyPut(0xFEFF);  // the byte order mark
  SurveyPutText("Windows Registry Editor Version 5.00\r\n", true);
  for (unsigned root = 0; root < SURVEY_ROOT_COUNT; ++root) {
    if (!PutTree(root)) return false;
  }
  return SurveyFailedRoutine == 0;
}
