// Start of the update: judge the ROM, then change the card folders or refuse the device.
#include "update.h"

HINSTANCE ProgramInstance;  // set once at start, read when the reset question is loaded

static const WCHAR RefusalText[] =
    u"This update is intended only for Tovan Quillet r820/860 German language ROM";
const WCHAR ErrorCaption[] = u"Error";  // caption of the refusal and of the write failure

/*
 * WinMain: the program's entry. Only the instance handle is used; the previous instance, the
 * command line and the show state are ignored. Returns 0 on every path.
 */
extern "C" int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
  ProgramInstance = instance;
  QueryRomInfo();
  if (CheckRomLanguage()) {
    ApplyCardFolderName();
  } else {
    MessageBoxW(0, RefusalText, ErrorCaption, MB_OK);
  }
  return 0;
}
