// The device registry: keys with typed values, kept between runs in a .reg text file (regedit
// form, also read in the Platform Builder form). The file's text is kept as read; saving writes
// it back with only the values that were set rewritten, each in the form it had.
#pragma once

#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "file_io.h"
#include "reg_file_reader.h"
#include "reg_text.h"
#include "reg_value.h"

namespace device {

struct ValueChange {
  std::u16string keyPath;
  std::u16string name;
  std::optional<RegValue> before, after;  // no before: added; no after: removed

  bool operator==(const ValueChange&) const = default;
};

// How a registry file is written: the form it was read in.
struct RegFileFormat {
  RegFileEncoding encoding = RegFileEncoding::kUtf8;
  RegFileHeader header = RegFileHeader::kNone;
  bool crlf = false;

  bool operator==(const RegFileFormat&) const = default;
};

class Registry {
 public:
  Registry() = default;  // empty, written as UTF-8 without header, LF line ends
  explicit Registry(RegFileFormat format) : format_(format) {}

  // Throws RegFileError naming the file and line of the first problem.
  static Registry Parse(std::span<const uint8_t> fileBytes, const std::string& fileName);
  // Reads then parses; an unreadable file is refused as "file: cannot read: <reason>" (see
  // ReadError).
  static Registry Load(const std::filesystem::path& file);
  // Parses the bytes of `file`, read by the caller (for one, under a lock: fileio::LockedFile).
  static Registry Load(std::vector<uint8_t> fileBytes, const std::filesystem::path& file);
  // The refusal of a registry file that could not be read; past kMaxFileSize it names the limit.
  static RegFileError ReadError(const std::filesystem::path& file, const fileio::FileError& error);

  // The whole file as read, with the values set since rewritten where they stand, new values at
  // the end of their key's section and new keys at the end; in the encoding and line ends it was
  // read with. Throws RegFileError "line N: ..." for a character a Windows-1252 file cannot hold.
  std::vector<uint8_t> Serialize() const;
  // Atomic: writes a temporary file in the same folder, syncs it, then renames it over the target
  // (fileio::OutputFile, with `options`). A file that would be larger than kMaxFileSize, so that
  // it could not be read back, is not written. On failure the target is untouched, no temporary
  // is left and RegFileError is thrown.
  void Save(const std::filesystem::path& file, const fileio::OutputOptions& options = {}) const;

  // The largest registry file read or saved.
  static constexpr size_t kMaxFileSize = fileio::kDefaultMaxFileSize;

  // True for an explicit section, a key implied by a subkey's section, and the four roots.
  bool KeyExists(std::u16string_view path) const;
  // Null when there is no such value. The value stays valid until it is set again.
  const RegValue* FindValue(std::u16string_view keyPath, std::u16string_view name) const;

  // The first and last line (from 1) the value is written on in the file as read; nothing for a
  // value that is not in the file.
  std::optional<std::pair<size_t, size_t>> LinesInFile(std::u16string_view keyPath,
                                                       std::u16string_view name) const;

  // Stores exactly these bytes under this type, replacing a value of the same name (the stored
  // name keeps its first spelling) or adding it at the end of its key. A key without a section
  // gets one at the end, spelled like its first subkey's section if it has one. Returns true when
  // the stored value differs from before. Throws std::invalid_argument for a path or name a file
  // cannot hold.
  bool SetValue(std::u16string_view keyPath, std::u16string_view name, uint32_t type,
                std::vector<uint8_t> data);

  // Starts a record of what SetValue changes from here on, forgetting the one before.
  void StartRecordingChanges();
  // Every value added or changed since StartRecordingChanges (or since the registry was read):
  // keys in file order, then keys added; within a key, values in file order, then values added.
  // A value set back to what it was is not listed.
  // Costs a copy of each value set, not of the registry.
  std::vector<ValueChange> RecordedChanges() const;

  // Every key with its values, in the order of the file, then the keys added.
  std::vector<RegKey> Keys() const;
  // Every value in the order of Keys(), read one at a time, so that looking through a large
  // registry does not copy it whole. The path and the value are valid during the call only.
  void ForEachValue(
      const std::function<void(std::u16string_view keyPath, const RegValue& value)>& visit) const;
  const RegFileFormat& Format() const { return format_; }

  // The same keys and values in the same order, and the same format.
  bool operator==(const Registry& other) const;

 private:
  static Registry FromText(FileText text, const std::string& fileName);
  std::string_view Source() const { return source_ ? source_->Utf8() : ""; }
  std::string_view PathOf(const regfile::KeyEntry& key) const;
  std::optional<uint32_t> FindKeyIndex(std::u16string_view path) const;
  std::optional<uint32_t> FindValueIndex(const regfile::KeyEntry& key,
                                         std::u16string_view name) const;
  RegValue ValueOf(const regfile::ValueEntry& entry) const;
  uint32_t KeyForWriting(std::u16string_view path);
  std::string Text(std::string_view prefix) const;
  std::optional<TextProblem> Encode(std::vector<uint8_t>& bytes) const;

  std::shared_ptr<const FileText> source_;  // the file's text as read
  RegFileFormat format_;
  std::vector<regfile::KeyEntry> keys_;
  regfile::KeyIndex index_;
  std::vector<std::string> addedPaths_;  // UTF-8 paths of keys that are not in the file
  std::deque<RegValue> setValues_;       // values as set; a deque keeps them in place
  mutable std::map<std::pair<uint32_t, uint32_t>, RegValue> readValues_;  // read from the text
  // What each value set since StartRecordingChanges held before, by key and value index; nothing
  // for a value that was added. Indices only grow, so their order is the keys' and values'.
  std::map<std::pair<uint32_t, uint32_t>, std::optional<RegValue>> valuesBeforeRecording_;
};

// The right-hand side of a value line in the regedit form, in UTF-8 and on one line:
// "\"Storage Card\"", "dword:00000001", "hex:01,02", "hex(7):61,00,00,00,00,00".
std::string FormatValueData(const RegValue& value);

}  // namespace device
