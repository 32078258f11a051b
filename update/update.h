// The card-folder update: its three operations and the static data they share.
#pragma once

#include "platform.h"

#define ROM_INFO_BLOCK_SIZE 160      // bytes the ROM information query fills
#define ROM_LANGUAGE_OFFSET 128      // byte where the ROM's language name starts
#define RESET_PROMPT_CAPACITY 260    // units of the reset question buffer, terminator included
#define RESET_PROMPT_STRING_ID 5020  // the German reset question in the string table

extern HINSTANCE ProgramInstance;                     // module handle the program was started with
extern BYTE RomInfoBlock[ROM_INFO_BLOCK_SIZE];        // ROM information, as the device reported it
extern WCHAR ResetPromptText[RESET_PROMPT_CAPACITY];  // reset question, loaded on a German ROM
extern const WCHAR ErrorCaption[];                    // caption of every error message

void QueryRomInfo();
bool CheckRomLanguage();
void ApplyCardFolderName();

extern "C" int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR commandLine,
                              int showState);
