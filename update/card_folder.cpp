// The storage-card folder setting: "Folder" = "Speicherkarte" in each card profile, then the
// offer of a soft reset.
#include "update.h"

#define CARD_PROFILE_COUNT 3

static const WCHAR* const CardProfileKeys[CARD_PROFILE_COUNT] = {
    u"\\System\\StorageManager\\Profiles\\MMC",
    u"\\System\\StorageManager\\Profiles\\PCMCIA",
    u"\\System\\StorageManager\\Profiles\\SDMemory",
};
static const WCHAR FolderValueName[] = u"Folder";
static const WCHAR CardFolderName[] = u"Speicherkarte";  // 14 units with its terminator
static const WCHAR ErrorText[] = u"ERROR";
static const WCHAR ResetCaption[] = u"  ";  // two spaces: the question box has no title

/*
 * OpenCardProfiles: opens every profile key. A key that does not open gets handle 0.
 */
static void OpenCardProfiles(HKEY keys[CARD_PROFILE_COUNT]) {
  for (unsigned i = 0; i < CARD_PROFILE_COUNT; ++i) {
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, CardProfileKeys[i], 0, 0, &keys[i]) != ERROR_SUCCESS) {
      keys[i] = 0;
    }
  }
}

/*
 * WriteCardFolders: writes the folder name to the profiles in order, stopping at the first one
 * without a key or whose write fails. Returns true when all three were written.
 */
static bool WriteCardFolders(const HKEY keys[CARD_PROFILE_COUNT]) {
  for (unsigned i = 0; i < CARD_PROFILE_COUNT; ++i) {
    if (keys[i] == 0) return false;
    if (RegSetValueExW(keys[i], FolderValueName, 0, REG_SZ, (const BYTE*)CardFolderName,
                       sizeof CardFolderName) != ERROR_SUCCESS) {
      return false;
    }
  }
  return true;
}

/*
 * CloseCardProfiles: closes the keys that were opened, in profile order.
 */
static void CloseCardProfiles(const HKEY keys[CARD_PROFILE_COUNT]) {
  for (unsigned i = 0; i < CARD_PROFILE_COUNT; ++i) {
    if (keys[i] != 0) RegCloseKey(keys[i]);
  }
}

/*
 * ApplyCardFolderName: sets the German folder name, then asks whether to soft reset now and
 * requests the reset on any answer but No. On a failed write shows "ERROR" and offers no reset.
 * Assumes ResetPromptText holds the question.
 */
void ApplyCardFolderName() {
  HKEY keys[CARD_PROFILE_COUNT];
  OpenCardProfiles(keys);
  if (WriteCardFolders(keys)) {
    if (MessageBoxW(0, ResetPromptText, ResetCaption, MB_YESNO) != IDNO) {
      KernelIoControl(IOCTL_HAL_REBOOT, 0, 0, 0, 0, 0);
    }
  } else {
    MessageBoxW(0, ErrorText, ErrorCaption, MB_OK);
  }
  CloseCardProfiles(keys);
}
