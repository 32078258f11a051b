// The survey's folder and files: the folder the program runs from, the device's name, a folder
// no earlier survey has, the two files (the registry under a temporary name, renamed once it is
// whole, so that a folder holding registry.reg is complete even after a power loss), and the
// removal of what a failed run wrote. Paths are composed whole in buffers with room for the
// longest (SURVEY_PATH_UNITS); the platform refuses one too long for it with its own error.
#include "survey.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "units are written as they lie in memory: UTF-16LE");

#define SURVEY_FILE_COUNT 3  // the ROM block, the registry while it is written, the registry

WCHAR SurveyFolder[SURVEY_PATH_UNITS];

static const char* const FileNames[SURVEY_FILE_COUNT] = {"\\rom.bin", "\\registry.tmp",
                                                         "\\registry.reg"};

static WCHAR SurveysFolder[SURVEY_PATH_UNITS];  // "<program's folder>\survey"
static WCHAR FilePath[SURVEY_PATH_UNITS];
static WCHAR TargetPath[SURVEY_PATH_UNITS];
static WCHAR DeviceName[SURVEY_DEVICE_NAME_UNITS + 1];
static WCHAR Suffix[12];                    // "-2" ... "-99", or empty
static WCHAR NameValue[SURVEY_NAME_UNITS];  // Ident\Name as read
// The folders this run made, for the removal after a failure; both clear at the end of a run.
static bool MadeSurveysFolder, MadeFolder;

static HANDLE OutputFile;
static WCHAR Output[SURVEY_OUTPUT_UNITS];
static unsigned OutputUsed;

/*
 * Succeeded: `ok`, or the step `routine` on `subject` fails with the platform's last error.
 */
__attribute__((noinline)) static bool Succeeded(BOOL ok, const char* routine,
                                                const WCHAR* subject) {
  return ok || SurveyFail(routine, subject, GetLastError());
}

/*
 * Compose: `path` = `folder` `name`.
 */
static const WCHAR* Compose(WCHAR* path, const WCHAR* folder, const char* name) {
  path[0] = 0;
  SurveyAppend(path, SURVEY_PATH_UNITS, folder);
  SurveyAppendAscii(path, SURVEY_PATH_UNITS, name);
  return path;
}

/*
 * ProgramFolder: SurveysFolder = the folder of the running program, then "\survey". The path is
 * read up to its terminator, inside the buffer whatever count the platform gives; a path without
 * a '\' (or none) is taken as in the root.
 */
static void ProgramFolder() {
  GetModuleFileNameW(0, FilePath, MAX_PATH);
  unsigned end = 0;
  for (unsigned i = 0; i < MAX_PATH && FilePath[i] != 0; ++i) {
    if (FilePath[i] == u'\\') end = i;
  }
  SurveysFolder[0] = 0;
  SurveyAppendUnits(SurveysFolder, SURVEY_PATH_UNITS, FilePath, end);
  SurveyAppendAscii(SurveysFolder, SURVEY_PATH_UNITS, "\\survey");
}

static bool IsNameUnit(unsigned unit) {
  return (unit >= u'a' && unit <= u'z') || (unit >= u'A' && unit <= u'Z') ||
         (unit >= u'0' && unit <= u'9') || unit == u'-' || unit == u'_' || unit == u'.';
}

/*
 * ReadDeviceName: DeviceName = HKLM\Ident "Name" with every character but ASCII letters, digits,
 * '-', '_' and '.' left out, at most SURVEY_DEVICE_NAME_UNITS of them, without trailing dots (so
 * that it is never "." or ".."); "device" when that leaves nothing or the name cannot be read as
 * a string of at most 255 characters.
 */
static void ReadDeviceName() {
  unsigned length = 0;
  HKEY ident;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Ident", 0, 0, &ident) == ERROR_SUCCESS) {
    DWORD type = REG_NONE;
    DWORD size = sizeof NameValue;
    if (RegQueryValueExW(ident, u"Name", 0, &type, (LPBYTE)NameValue, &size) == ERROR_SUCCESS &&
        type == REG_SZ) {
      for (unsigned i = 0; i < size / sizeof(WCHAR) && NameValue[i] != 0; ++i) {
        if (IsNameUnit(NameValue[i]) && length < SURVEY_DEVICE_NAME_UNITS) {
          DeviceName[length++] = NameValue[i];
        }
      }
    }
    RegCloseKey(ident);
  }
  while (length > 0 && DeviceName[length - 1] == u'.') --length;
  DeviceName[length] = 0;
  if (length == 0) SurveyAppendAscii(DeviceName, SURVEY_DEVICE_NAME_UNITS + 1, "device");
}

/*
 * MakeFolder: CreateDirectoryW(path): 1 when it made the folder, 0 when the name exists, -1 after
 * failing the step.
 */
static int MakeFolder(const WCHAR* path) {
  if (CreateDirectoryW(path, 0)) return 1;
  DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS) return 0;
  SurveyFail("CreateDirectoryW", path, error);
  return -1;
}

/*
 * SurveyCreateFolder: makes <program's folder>\survey unless it exists, then the first of
 * survey\<name>, survey\<name>-2, ... survey\<name>-99 that does not exist yet.
 */
bool SurveyCreateFolder() {
  ProgramFolder();
  int made = MakeFolder(SurveysFolder);
  if (made < 0) return false;
  MadeSurveysFolder = made > 0;
  ReadDeviceName();
  Suffix[0] = 0;
  for (unsigned number = 2;; ++number) {
    Compose(SurveyFolder, SurveysFolder, "\\");
    SurveyAppend(SurveyFolder, SURVEY_PATH_UNITS, DeviceName);
    SurveyAppend(SurveyFolder, SURVEY_PATH_UNITS, Suffix);
    made = MakeFolder(SurveyFolder);
    if (made != 0) {
      MadeFolder = made > 0;
      return MadeFolder;
    }
    if (number > SURVEY_MAX_SUFFIX) break;
    Suffix[0] = u'-';
    SurveyDecimal(number, Suffix + 1);
  }
  return SurveyFail("CreateDirectoryW", SurveyFolder, ERROR_ALREADY_EXISTS);
}

static bool CreateOutputFile(const WCHAR* path) {
  OutputUsed = 0;
  OutputFile = CreateFileW(path, GENERIC_WRITE, 0, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, 0);
  return Succeeded(OutputFile != INVALID_HANDLE_VALUE, "CreateFileW", path);
}

/*
 * WriteBytes: one WriteFile; a write that reports success but writes less fails too.
 */
static bool WriteBytes(const void* bytes, DWORD count) {
  if (SurveyFailedRoutine != 0) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(OutputFile, bytes, count, &written, 0);
  return Succeeded(ok && written == count, "WriteFile", FilePath);
}

static void Flush() {
  if (OutputUsed != 0) WriteBytes(Output, OutputUsed * sizeof(WCHAR));
  OutputUsed = 0;
}

void SurveyPut(WCHAR unit) {
  if (OutputUsed == SURVEY_OUTPUT_UNITS) Flush();
  Output[OutputUsed++] = unit;
}

void SurveyPutText(const void* text, bool ascii) {
  for (unsigned i = 0;; ++i) {
    unsigned unit = ascii ? ((const unsigned char*)text)[i] : ((const WCHAR*)text)[i];
    if (unit == 0) return;
    SurveyPut((WCHAR)unit);
  }
}

static bool CloseOutputFile() {
  Flush();
  return Succeeded(CloseHandle(OutputFile), "CloseHandle", FilePath) && SurveyFailedRoutine == 0;
}

/*
 * SurveyWriteFiles: rom.bin, then the registry as registry.tmp, renamed registry.reg once it is
 * whole. Each file is closed whether or not its writing succeeded.
 */
bool SurveyWriteFiles() {
  for (unsigned file = 0; file < 2; ++file) {
    if (!CreateOutputFile(Compose(FilePath, SurveyFolder, FileNames[file]))) return false;
    if (file == 0) {
      WriteBytes(SurveyRomBlock, sizeof SurveyRomBlock);
    } else {
      SurveyExportRegistry();
    }
    if (!CloseOutputFile()) return false;  // also when the writing failed
  }
  if (!Succeeded(MoveFileW(FilePath, Compose(TargetPath, SurveyFolder, FileNames[2])), "MoveFileW",
                 TargetPath)) {
    return false;
  }
  MadeSurveysFolder = MadeFolder = false;  // nothing is left to remove
  return true;
}

/*
 * SurveyRemovePartial: when this run made the survey's folder, deletes every file it may have
 * written there (a name it did not write is simply not found) and removes the folder; then the
 * survey folder if this run made it. What cannot be removed stays; the message names the step
 * that failed first.
 */
void SurveyRemovePartial() {
  if (MadeFolder) {
    for (unsigned file = 0; file < SURVEY_FILE_COUNT; ++file) {
      DeleteFileW(Compose(FilePath, SurveyFolder, FileNames[file]));
    }
    RemoveDirectoryW(SurveyFolder);
  }
  if (MadeSurveysFolder) RemoveDirectoryW(SurveysFolder);
  MadeSurveysFolder = MadeFolder = false;
}
