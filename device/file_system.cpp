#include "file_system.h"

#include <algorithm>

#include "reg_text.h"

namespace device {
namespace {

// The folders of a Windows CE 4.20 object store's root.
constexpr std::u16string_view kRootFolders[] = {u"Windows", u"My Documents", u"Program Files",
                                                u"Temp"};

// The largest file the device reads back into a handle opened on an existing file.
constexpr size_t kMaxOpenedFileBytes = 64 * 1024 * 1024;

// Attributes a file may be created with besides FILE_ATTRIBUTE_NORMAL: read-only, hidden, system
// and archive.
constexpr DWORD kChangeableAttributes = 0x27;

bool IsSeparator(char16_t unit) {
  return unit == u'\\' || unit == u'/';
}

// A component of a path as FAT takes it: no "." or "..", none of the characters a name may not
// hold, no unpaired surrogate, at most 255 units.
LONG CheckName(std::u16string_view name) {
  if (name == u"." || name == u"..") return kErrorInvalidName;
  if (name.size() > kMaxNameUnits) return kErrorFilenameExcedRange;
  for (char16_t unit : name) {
    if (unit < 0x20 || std::u16string_view(u"<>:\"|?*").find(unit) != std::u16string_view::npos)
      return kErrorInvalidName;
  }
  return FindLoneSurrogate(name) ? kErrorInvalidName : 0;
}

bool SamePath(const VolumePath& a, const VolumePath& b) {
  return std::ranges::equal(a, b,
                            [](const auto& x, const auto& y) { return EqualsIgnoringCase(x, y); });
}

bool IsBelow(std::u16string_view path, std::u16string_view folder) {
  return path.size() > folder.size() && path[folder.size()] == u'\\' &&
         EqualsIgnoringCase(path.substr(0, folder.size()), folder);
}

}  // namespace

// A path found on its volume: the folders on the way exist and are spelled as the volume spells
// them, and so is the last component when it exists.
struct FileSystem::Located {
  size_t volume = 0;
  VolumePath path;
  EntryKind kind = EntryKind::kNone;
  std::u16string devicePath;
};

FileSystem::FileSystem(std::optional<MountedCard> card) {
  volumes_.push_back(VolumeState{MakeMemoryVolume(kRootFolders), u"", kObjectStoreFreeBytes});
  if (card) {
    volumes_.push_back(VolumeState{std::move(card->volume), std::move(card->folder),
                                   card->full ? kFullCardFreeBytes : kCardFreeBytes,
                                   card->readOnly});
  }
}

std::optional<std::u16string> FileSystem::CardFolder() const {
  if (volumes_.size() < 2) return std::nullopt;
  return volumes_[1].folder;
}

LONG FileSystem::Locate(std::u16string_view path, Located& located) {
  if (path.size() >= kMaxPathUnits) return kErrorFilenameExcedRange;
  VolumePath components;
  for (size_t start = 0; start < path.size();) {
    size_t end = start;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    if (end > start) {
      const std::u16string_view name = path.substr(start, end - start);
      if (const LONG error = CheckName(name)) return error;
      components.emplace_back(name);
    }
    start = end + 1;
  }
  located = Located{};
  if (volumes_.size() > 1 && !components.empty() &&
      EqualsIgnoringCase(components.front(), volumes_[1].folder)) {
    located.volume = 1;
    components.erase(components.begin());
    located.devicePath = u"\\" + volumes_[1].folder;
  }
  Volume& volume = *volumes_[located.volume].volume;
  for (size_t i = 0; i < components.size(); ++i) {
    std::optional<std::u16string> found = volume.Find(located.path, components[i]);
    located.path.push_back(found ? *found : components[i]);
    located.devicePath += u"\\" + located.path.back();
    if (!found) {
      located.kind = EntryKind::kNone;
      return i + 1 < components.size() ? kErrorPathNotFound : 0;
    }
    located.kind = volume.Kind(located.path);
    if (i + 1 < components.size() && located.kind != EntryKind::kFolder) {
      // A link or special file is refused, not followed; a file is no folder.
      return located.kind == EntryKind::kOther ? kErrorAccessDenied : kErrorPathNotFound;
    }
  }
  if (components.empty()) located.kind = EntryKind::kFolder;  // a volume's root
  if (located.devicePath.empty()) located.devicePath = u"\\";
  return 0;
}

bool FileSystem::IsOpen(const Volume* volume, const VolumePath& path, bool orBelow) const {
  return std::ranges::any_of(open_, [&](const auto& entry) {
    const OpenFile& file = entry.second;
    if (file.volume != volume) return false;
    if (orBelow && file.path.size() > path.size()) {
      return SamePath(VolumePath(file.path.begin(), file.path.begin() + path.size()), path);
    }
    return SamePath(file.path, path);
  });
}

LONG FileSystem::CreateDirectory(std::u16string_view path) {
  Located at;
  if (const LONG error = Locate(path, at)) return error;
  VolumeState& volume = volumes_[at.volume];
  if (volume.readOnly) return kErrorAccessDenied;
  if (at.kind != EntryKind::kNone) return kErrorAlreadyExists;
  return volume.volume->MakeFolder(at.path);
}

LONG FileSystem::RemoveDirectory(std::u16string_view path) {
  Located at;
  if (const LONG error = Locate(path, at)) return error;
  VolumePath& where = at.path;
  VolumeState& volume = volumes_[at.volume];
  if (volume.readOnly || where.empty()) return kErrorAccessDenied;
  if (at.kind == EntryKind::kNone) return kErrorFileNotFound;
  if (at.kind != EntryKind::kFolder) return kErrorAccessDenied;
  return volume.volume->RemoveFolder(where);
}

LONG FileSystem::DeleteFile(std::u16string_view path) {
  Located at;
  if (const LONG error = Locate(path, at)) return error;
  VolumeState& volume = volumes_[at.volume];
  if (volume.readOnly) return kErrorAccessDenied;
  if (at.kind == EntryKind::kNone) return kErrorFileNotFound;
  if (at.kind != EntryKind::kFile) return kErrorAccessDenied;
  if (IsOpen(volume.volume.get(), at.path, false)) return kErrorSharingViolation;
  const LONG error = volume.volume->RemoveFile(at.path);
  if (error == 0) NoteDeleted(at.devicePath);
  return error;
}

LONG FileSystem::MoveFile(std::u16string_view from, std::u16string_view to) {
  Located source, target;
  if (const LONG error = Locate(from, source)) return error;
  if (const LONG error = Locate(to, target)) return error;
  VolumeState& volume = volumes_[source.volume];
  if (volume.readOnly || volumes_[target.volume].readOnly) return kErrorAccessDenied;
  if (source.kind == EntryKind::kNone) return kErrorFileNotFound;
  if (source.kind == EntryKind::kOther || source.path.empty() || target.path.empty())
    return kErrorAccessDenied;
  if (source.volume != target.volume) return kErrorNotSameDevice;
  // Only a change of case may move an entry onto the name it already has.
  if (target.kind != EntryKind::kNone && !SamePath(source.path, target.path))
    return kErrorAlreadyExists;
  if (IsOpen(volume.volume.get(), source.path, true)) return kErrorSharingViolation;
  const LONG error = volume.volume->Rename(source.path, target.path);
  if (error == 0) NoteMoved(source.devicePath, target.devicePath);
  return error;
}

LONG FileSystem::CreateFile(std::u16string_view path, DWORD access, DWORD share, DWORD disposition,
                            DWORD flagsAndAttributes, uint32_t handle, bool& existed) {
  existed = false;
  // The checks FAT makes before it looks at the name.
  if (access & ~(kGenericRead | kGenericWrite)) return kErrorInvalidParameter;
  const DWORD attributes = flagsAndAttributes & 0xFF;
  if (attributes != kFileAttributeNormal &&
      (attributes & ~kFileAttributeNormal & ~kChangeableAttributes) != 0) {
    return kErrorInvalidParameter;
  }
  if (share & ~(kFileShareRead | kFileShareWrite)) return kErrorInvalidParameter;
  if (disposition < kCreateNew || disposition > kTruncateExisting) return kErrorInvalidParameter;
  if (disposition == kTruncateExisting && !(access & kGenericWrite)) return kErrorAccessDenied;
  Located at;
  if (const LONG error = Locate(path, at)) return error;
  VolumeState& volume = volumes_[at.volume];
  const bool creates = disposition != kOpenExisting;  // OPEN_ALWAYS may create
  if (volume.readOnly && (creates || (access & kGenericWrite))) return kErrorAccessDenied;
  if (at.kind == EntryKind::kFolder || at.kind == EntryKind::kOther) return kErrorAccessDenied;
  existed = at.kind == EntryKind::kFile;
  if (existed && disposition == kCreateNew) return kErrorFileExists;
  if (!existed && (disposition == kOpenExisting || disposition == kTruncateExisting))
    return kErrorFileNotFound;
  for (const auto& [other, file] : open_) {
    if (file.volume != volume.volume.get() || !SamePath(file.path, at.path)) continue;
    const bool conflict = ((access & kGenericRead) && !(file.share & kFileShareRead)) ||
                          ((access & kGenericWrite) && !(file.share & kFileShareWrite)) ||
                          ((file.access & kGenericRead) && !(share & kFileShareRead)) ||
                          ((file.access & kGenericWrite) && !(share & kFileShareWrite));
    if (conflict) return kErrorSharingViolation;
  }
  OpenFile file{volume.volume.get(), at.path, at.devicePath, access, share, {}, 0, false};
  const bool truncates = disposition == kCreateAlways || disposition == kTruncateExisting;
  if (!existed || truncates) {
    // The file exists, empty, from here on; its contents arrive whole when it is closed.
    if (const LONG error = volume.volume->Write(at.path, {})) return error;
    NoteWritten(file);
  } else if (access & kGenericWrite) {
    if (const LONG error = volume.volume->Read(at.path, kMaxOpenedFileBytes, file.bytes))
      return error;
  }
  open_.emplace(handle, std::move(file));
  return 0;
}

LONG FileSystem::WriteFile(uint32_t handle, const uint8_t* data, DWORD size, DWORD& written) {
  written = 0;
  auto found = open_.find(handle);
  if (found == open_.end()) return kErrorInvalidHandle;
  OpenFile& file = found->second;
  if (!(file.access & kGenericWrite)) return kErrorAccessDenied;
  if (size == 0) return 0;
  if (data == nullptr) return kErrorInvalidParameter;
  VolumeState& volume = *std::ranges::find_if(
      volumes_, [&](const VolumeState& state) { return state.volume.get() == file.volume; });
  const uint64_t end = file.position + static_cast<uint64_t>(size);
  const uint64_t growth = end > file.bytes.size() ? end - file.bytes.size() : 0;
  const uint64_t fits = growth <= volume.freeBytes ? size : size - (growth - volume.freeBytes);
  if (file.bytes.size() < file.position + fits) {
    volume.freeBytes -= file.position + fits - file.bytes.size();
    file.bytes.resize(file.position + fits);
  }
  std::copy(data, data + fits, file.bytes.begin() + static_cast<std::ptrdiff_t>(file.position));
  file.position += fits;
  file.changed = file.changed || fits > 0;
  written = static_cast<DWORD>(fits);
  return fits < size ? kErrorDiskFull : 0;
}

LONG FileSystem::CloseFile(uint32_t handle) {
  auto found = open_.find(handle);
  if (found == open_.end()) return kErrorInvalidHandle;
  const OpenFile file = std::move(found->second);
  open_.erase(found);
  if (!file.changed) return 0;
  const LONG error = file.volume->Write(file.path, file.bytes);
  if (error == 0) NoteWritten(file);
  return error;
}

size_t FileSystem::CloseAll() {
  const size_t count = open_.size();
  while (!open_.empty()) CloseFile(open_.begin()->first);
  return count;
}

void FileSystem::NoteWritten(const OpenFile& file) {
  const bool onCard = volumes_.size() > 1 && file.volume == volumes_[1].volume.get();
  auto found = std::ranges::find_if(written_, [&](const WrittenFile& written) {
    return EqualsIgnoringCase(written.path, file.devicePath);
  });
  if (found == written_.end()) {
    written_.push_back(WrittenFile{file.devicePath, file.bytes.size(), onCard});
  } else {
    found->size = file.bytes.size();
  }
}

void FileSystem::NoteMoved(std::u16string_view from, std::u16string_view to) {
  for (WrittenFile& file : written_) {
    if (EqualsIgnoringCase(file.path, from)) {
      file.path = to;
    } else if (IsBelow(file.path, from)) {
      file.path = std::u16string(to) + file.path.substr(from.size());
    }
  }
}

void FileSystem::NoteDeleted(std::u16string_view path) {
  std::erase_if(written_,
                [&](const WrittenFile& file) { return EqualsIgnoringCase(file.path, path); });
}

}  // namespace device
