#include "registry.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <utility>

#include "file_io.h"
#include "reg_file_editor.h"

namespace device {
namespace {

using regfile::KeyEntry;
using regfile::kNotInFile;
using regfile::kNotSet;
using regfile::ValueEntry;

bool IsSubkeyPath(std::u16string_view candidate, std::u16string_view parent) {
  return candidate.size() > parent.size() && candidate[parent.size()] == u'\\' &&
         EqualsIgnoringCase(candidate.substr(0, parent.size()), parent);
}

std::string_view HeaderText(RegFileHeader header) {
  switch (header) {
    case RegFileHeader::kRegedit4:
      return "REGEDIT4";
    case RegFileHeader::kRegedit5:
      return "Windows Registry Editor Version 5.00";
    case RegFileHeader::kNone:
      break;
  }
  return {};
}

bool EndsWithBlankLine(std::string_view text) {
  return text.ends_with("\n\n") || text.ends_with("\n\r\n");
}

// The whitespace before the name of the key's last value in the file.
std::string_view IndentOf(std::string_view text, const KeyEntry& key) {
  for (auto value = key.values.rbegin(); value != key.values.rend(); ++value) {
    if (value->nameBegin == kNotInFile) continue;
    const size_t lineStart = text.rfind('\n', value->nameBegin);
    const size_t start = lineStart == std::string_view::npos ? 0 : lineStart + 1;
    return text.substr(start, value->nameBegin - start);
  }
  return {};
}

size_t ColumnOf(std::string_view text, size_t offset) {
  const size_t lineStart = text.rfind('\n', offset);
  return lineStart == std::string_view::npos ? offset : offset - lineStart - 1;
}

}  // namespace

namespace {

FileText DecodedOrRefused(std::vector<uint8_t> fileBytes, const std::string& fileName) {
  if (fileBytes.size() > regfile::kMaxFileSize) {
    throw RegFileError(fileName + ": larger than " + std::to_string(regfile::kMaxFileSize >> 20) +
                       " MiB");
  }
  FileText text;
  if (const auto problem = DecodeFileText(std::move(fileBytes), text)) {
    if (problem->line == 0) throw RegFileError(fileName + ": " + problem->what);
    throw RegFileError(fileName + ":" + std::to_string(problem->line) + ": " + problem->what);
  }
  return text;
}

}  // namespace

Registry Registry::FromText(FileText text, const std::string& fileName) {
  auto source = std::make_shared<const FileText>(std::move(text));
  regfile::Document document = regfile::ReadDocument(source->Utf8(), fileName);
  Registry registry(RegFileFormat{source->encoding, document.header, document.crlf});
  registry.source_ = std::move(source);
  registry.keys_ = std::move(document.keys);
  registry.index_ = std::move(document.index);
  return registry;
}

Registry Registry::Parse(std::span<const uint8_t> fileBytes, const std::string& fileName) {
  return FromText(DecodedOrRefused({fileBytes.begin(), fileBytes.end()}, fileName), fileName);
}

static_assert(fileio::kDefaultMaxFileSize <= regfile::kMaxFileSize,
              "every file fileio reads fits the text's 32-bit offsets");

Registry Registry::Load(const std::filesystem::path& file) {
  std::vector<uint8_t> bytes;
  try {
    bytes = fileio::ReadWholeFile(file, kMaxFileSize);
  } catch (const fileio::FileError& error) {
    throw ReadError(file, error);
  }
  return Load(std::move(bytes), file);
}

Registry Registry::Load(std::vector<uint8_t> fileBytes, const std::filesystem::path& file) {
  return FromText(DecodedOrRefused(std::move(fileBytes), file.string()), file.string());
}

RegFileError Registry::ReadError(const std::filesystem::path& file,
                                 const fileio::FileError& error) {
  if (error.step == fileio::FileStep::kTooLarge) {
    return RegFileError(file.string() + ": cannot read: larger than " +
                        std::to_string(kMaxFileSize >> 20) +
                        " MiB, the most a registry file holds");
  }
  return RegFileError(file.string() + ": cannot read: " + error.code.message());
}

std::string_view Registry::PathOf(const KeyEntry& key) const {
  if (!key.inFile) return addedPaths_[key.pathBegin];
  return Source().substr(key.pathBegin, key.pathLength);
}

RegValue Registry::ValueOf(const ValueEntry& entry) const {
  if (entry.set != kNotSet) return setValues_[static_cast<size_t>(entry.set)];
  return regfile::ReadValue(Source(), entry);
}

std::optional<uint32_t> Registry::FindKeyIndex(std::u16string_view path) const {
  const uint64_t hash = FoldedHash(path);
  return index_.Find(hash, [&](uint32_t index) {
    return EqualsIgnoringCase(FromValidUtf8(PathOf(keys_[index])), path);
  });
}

std::optional<uint32_t> Registry::FindValueIndex(const KeyEntry& key,
                                                 std::u16string_view name) const {
  for (uint32_t i = 0; i < key.values.size(); ++i) {
    if (EqualsIgnoringCase(ValueOf(key.values[i]).name, name)) return i;
  }
  return std::nullopt;
}

bool Registry::KeyExists(std::u16string_view path) const {
  if (IsRootKey(path) || FindKeyIndex(path)) return true;
  return std::any_of(keys_.begin(), keys_.end(), [&](const KeyEntry& key) {
    return PathOf(key).size() > path.size() && IsSubkeyPath(FromValidUtf8(PathOf(key)), path);
  });
}

const RegValue* Registry::FindValue(std::u16string_view keyPath, std::u16string_view name) const {
  const auto keyIndex = FindKeyIndex(keyPath);
  if (!keyIndex) return nullptr;
  const auto valueIndex = FindValueIndex(keys_[*keyIndex], name);
  if (!valueIndex) return nullptr;
  const ValueEntry& entry = keys_[*keyIndex].values[*valueIndex];
  if (entry.set != kNotSet) return &setValues_[static_cast<size_t>(entry.set)];
  const auto [read, added] = readValues_.try_emplace({*keyIndex, *valueIndex});
  if (added) read->second = regfile::ReadValue(Source(), entry);
  return &read->second;
}

std::optional<std::pair<size_t, size_t>> Registry::LinesInFile(std::u16string_view keyPath,
                                                               std::u16string_view name) const {
  const auto keyIndex = FindKeyIndex(keyPath);
  if (!keyIndex) return std::nullopt;
  const auto valueIndex = FindValueIndex(keys_[*keyIndex], name);
  if (!valueIndex) return std::nullopt;
  const ValueEntry& entry = keys_[*keyIndex].values[*valueIndex];
  if (entry.nameBegin == kNotInFile) return std::nullopt;
  const std::string_view source = Source();
  const auto first = std::count(source.begin(), source.begin() + entry.nameBegin, '\n') + 1;
  const auto last =
      first + std::count(source.begin() + entry.nameBegin, source.begin() + entry.dataEnd, '\n');
  return std::pair(static_cast<size_t>(first), static_cast<size_t>(last));
}

uint32_t Registry::KeyForWriting(std::u16string_view path) {
  if (const auto index = FindKeyIndex(path)) return *index;
  std::string spelling = ToUtf8(path);
  for (const KeyEntry& key : keys_) {
    // Spelled like the subkey's section, so the file reads consistently.
    const std::u16string keyPath = FromValidUtf8(PathOf(key));
    if (IsSubkeyPath(keyPath, path)) {
      spelling = ToUtf8(std::u16string_view(keyPath).substr(0, path.size()));
      break;
    }
  }
  const auto index = static_cast<uint32_t>(keys_.size());
  KeyEntry key;
  key.inFile = false;
  key.pathBegin = static_cast<uint32_t>(addedPaths_.size());
  addedPaths_.push_back(std::move(spelling));
  keys_.push_back(std::move(key));
  index_.Add(FoldedHash(path), index);
  return index;
}

bool Registry::SetValue(std::u16string_view keyPath, std::u16string_view name, uint32_t type,
                        std::vector<uint8_t> data) {
  if (const auto problem = regfile::KeyPathProblem(keyPath)) throw std::invalid_argument(*problem);
  if (const auto problem = regfile::ValueNameProblem(name)) throw std::invalid_argument(*problem);
  const uint32_t keyIndex = KeyForWriting(keyPath);
  KeyEntry& key = keys_[keyIndex];
  const auto valueIndex = FindValueIndex(key, name);
  if (!valueIndex) {
    valuesBeforeRecording_.try_emplace({keyIndex, static_cast<uint32_t>(key.values.size())});
    key.values.push_back(ValueEntry{kNotInFile, 0, 0, static_cast<int32_t>(setValues_.size())});
    setValues_.push_back(RegValue{std::u16string(name), type, std::move(data)});
    return true;
  }
  ValueEntry& entry = key.values[*valueIndex];
  RegValue value = ValueOf(entry);
  if (value.type == type && value.data == data) return false;
  valuesBeforeRecording_.try_emplace({keyIndex, *valueIndex}, value);
  value.type = type;
  value.data = std::move(data);
  if (entry.nameBegin != kNotInFile) {
    // Set back to what the file holds: the file's text stays.
    const RegValue inFile = regfile::ReadValue(Source(), entry);
    if (inFile.type == value.type && inFile.data == value.data) {
      entry.set = kNotSet;
      return true;
    }
  }
  if (entry.set == kNotSet) {
    entry.set = static_cast<int32_t>(setValues_.size());
    setValues_.push_back(std::move(value));
  } else {
    setValues_[static_cast<size_t>(entry.set)] = std::move(value);
  }
  return true;
}

void Registry::StartRecordingChanges() {
  valuesBeforeRecording_.clear();
}

std::vector<ValueChange> Registry::RecordedChanges() const {
  std::vector<ValueChange> changes;
  for (const auto& [at, before] : valuesBeforeRecording_) {
    const KeyEntry& key = keys_[at.first];
    RegValue now = ValueOf(key.values[at.second]);
    if (before && before->type == now.type && before->data == now.data) continue;
    std::u16string name = before ? before->name : now.name;
    changes.push_back(
        ValueChange{FromValidUtf8(PathOf(key)), std::move(name), before, std::move(now)});
  }
  return changes;
}

std::vector<RegKey> Registry::Keys() const {
  std::vector<RegKey> keys;
  keys.reserve(keys_.size());
  for (const KeyEntry& entry : keys_) {
    RegKey& key = keys.emplace_back(RegKey{FromValidUtf8(PathOf(entry)), {}});
    for (const ValueEntry& value : entry.values) key.values.push_back(ValueOf(value));
  }
  return keys;
}

void Registry::ForEachValue(
    const std::function<void(std::u16string_view keyPath, const RegValue& value)>& visit) const {
  for (const KeyEntry& entry : keys_) {
    if (entry.values.empty()) continue;
    const std::u16string path = FromValidUtf8(PathOf(entry));
    for (const ValueEntry& value : entry.values) visit(path, ValueOf(value));
  }
}

bool Registry::operator==(const Registry& other) const {
  return format_ == other.format_ && Keys() == other.Keys();
}

std::string Registry::Text(std::string_view prefix) const {
  const std::string_view source = Source();
  const std::string_view lineEnd = format_.crlf ? "\r\n" : "\n";
  std::string text(prefix);
  if (source.empty() && format_.header != RegFileHeader::kNone) {
    text += HeaderText(format_.header);
    text += lineEnd;
    text += lineEnd;
  }
  std::vector<regfile::Splice> splices;
  for (const KeyEntry& key : keys_) {
    if (!key.inFile) continue;
    std::string addedLines;
    for (const ValueEntry& entry : key.values) {
      if (entry.set == kNotSet) continue;
      const RegValue& value = setValues_[static_cast<size_t>(entry.set)];
      if (entry.nameBegin == kNotInFile) {
        addedLines += regfile::ValueLines(value, IndentOf(source, key), lineEnd);
        continue;
      }
      const std::string_view written =
          source.substr(entry.dataBegin, entry.dataEnd - entry.dataBegin);
      splices.push_back(
          {entry.dataBegin, entry.dataEnd,
           regfile::RenderInForm(written, ColumnOf(source, entry.dataBegin), value, lineEnd)});
    }
    if (addedLines.empty()) continue;
    if (key.insertAt == source.size() && !source.ends_with('\n')) {
      addedLines.insert(0, lineEnd);
    }
    splices.push_back({key.insertAt, key.insertAt, std::move(addedLines)});
  }
  regfile::ApplySplices(source, std::move(splices), text);
  for (const KeyEntry& key : keys_) {
    if (key.inFile) continue;
    if (text.size() > prefix.size()) {
      if (!text.ends_with('\n')) text += lineEnd;
      if (!EndsWithBlankLine(text)) text += lineEnd;
    }
    text += '[';
    text += PathOf(key);
    text += ']';
    text += lineEnd;
    for (const ValueEntry& entry : key.values) {
      text += regfile::ValueLines(setValues_[static_cast<size_t>(entry.set)], "", lineEnd);
    }
  }
  return text;
}

std::optional<TextProblem> Registry::Encode(std::vector<uint8_t>& bytes) const {
  return EncodeFileText(Text(""), format_.encoding, bytes);
}

std::vector<uint8_t> Registry::Serialize() const {
  std::vector<uint8_t> bytes;
  if (const auto problem = Encode(bytes)) {
    throw RegFileError("line " + std::to_string(problem->line) + ": " + problem->what);
  }
  return bytes;
}

void Registry::Save(const std::filesystem::path& file, const fileio::OutputOptions& options) const {
  const auto replace = [&](std::span<const uint8_t> bytes) {
    if (bytes.size() > kMaxFileSize) {
      throw RegFileError(file.string() + ": cannot save: it would be " +
                         std::to_string(bytes.size()) + " bytes, more than the " +
                         std::to_string(kMaxFileSize >> 20) +
                         " MiB a registry file holds; the file is left as it was");
    }
    try {
      fileio::ReplaceFile(file, bytes, options);
    } catch (const fileio::FileError& error) {
      throw RegFileError(file.string() + ": cannot save: " + error.what(),
                         error.step == fileio::FileStep::kChanged ? error.code.message() : "");
    }
  };
  const auto refuse = [&](const TextProblem& problem) {
    return RegFileError(file.string() + ":" + std::to_string(problem.line) +
                        ": cannot save: " + problem.what + "; the file is left as it was");
  };
  if (format_.encoding == RegFileEncoding::kUtf16LeBom) {
    std::vector<uint8_t> bytes;
    if (const auto problem = Encode(bytes)) throw refuse(*problem);
    return replace(bytes);
  }
  // UTF-8 text is written as it is built, and Windows-1252 is converted where it stands: a large
  // file is held once, not twice.
  std::string text = Text(format_.encoding == RegFileEncoding::kUtf8Bom ? "\xEF\xBB\xBF" : "");
  if (format_.encoding == RegFileEncoding::kWindows1252) {
    if (const auto problem = EncodeWindows1252InPlace(text)) throw refuse(*problem);
  }
  replace({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

std::string FormatValueData(const RegValue& value) {
  return regfile::FormatData(value);
}

}  // namespace device
