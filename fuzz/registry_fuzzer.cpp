// The registry file reader and editor over any bytes: a file it cannot read is refused with
// RegFileError; whatever it accepts is written back byte for byte; with one value set, the file
// written differs from the one read only on that value's lines (or only by added lines for a
// value that is new), and reads back to the registry the model holds.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <tuple>

#include "registry.h"

namespace {

std::vector<std::string_view> Lines(const std::vector<uint8_t>& bytes) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::vector<std::string_view> lines;
  for (size_t start = 0; start <= text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// Lines of `before` that `after` does not keep: [first, last], 1-based; first > last when none.
std::pair<size_t, size_t> ChangedLines(const std::vector<uint8_t>& before,
                                       const std::vector<uint8_t>& after) {
  const auto old = Lines(before), now = Lines(after);
  size_t prefix = 0, suffix = 0;
  while (prefix < old.size() && prefix < now.size() && old[prefix] == now[prefix]) ++prefix;
  while (suffix < old.size() - prefix && suffix < now.size() - prefix &&
         old[old.size() - 1 - suffix] == now[now.size() - 1 - suffix]) {
    ++suffix;
  }
  return {prefix + 1, old.size() - suffix};
}

bool IsAscii(const std::vector<uint8_t>& bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t byte) { return byte < 0x80; });
}

// What the value is set to, picked by one byte of the input.
void SetOneValue(device::Registry& registry, const device::RegKey& key, const std::u16string& name,
                 uint8_t choice) {
  static const std::vector<std::pair<uint32_t, std::vector<uint8_t>>> kValues = {
      {device::kRegSz, {'f', 0, '"', 0, '\\', 0, 0, 0}},
      {device::kRegDword, {0x2A, 0, 0, 0}},
      {device::kRegDword, {1, 2, 3, 4, 5}},
      {device::kRegBinary, std::vector<uint8_t>(60, 0xAB)},
      {device::kRegMultiSz, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}},
      {device::kRegExpandSz, {}},
  };
  const auto& [type, data] = kValues[choice % kValues.size()];
  registry.SetValue(key.path, name, type, data);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  device::Registry registry;
  try {
    registry = device::Registry::Parse({data, size}, "fuzz.reg");
  } catch (const device::RegFileError&) {
    return 0;
  }
  const std::vector<uint8_t> read(data, data + size);
  if (registry.Serialize() != read) __builtin_trap();
  const std::vector<device::RegKey> keys = registry.Keys();
  if (keys.empty() || size == 0) return 0;

  // One value, or a new one, in a key the input picks.
  const device::RegKey& key = keys[data[0] % keys.size()];
  const bool adding = key.values.empty() || data[size - 1] % 4 == 0;
  const std::u16string name =
      adding ? u"fuzz added" : key.values[data[size - 1] % key.values.size()].name;
  const auto lines = registry.LinesInFile(key.path, name);
  SetOneValue(registry, key, name, data[size / 2]);
  const std::vector<uint8_t> written = registry.Serialize();
  const device::Registry reread = device::Registry::Parse(written, "written.reg");
  // A REGEDIT4 file is read as UTF-8 when it is, else as Windows-1252, and an edit can move it
  // across: an ANSI file left without any byte that is not UTF-8 reads back as UTF-8 (its
  // characters may then read differently), and a UTF-8 file left plain ASCII reads back as
  // Windows-1252 (the same characters).
  device::RegFileFormat expected = registry.Format();
  if (expected.encoding == device::RegFileEncoding::kWindows1252 &&
      reread.Format().encoding == device::RegFileEncoding::kUtf8) {
    return 0;
  }
  if (expected.encoding == device::RegFileEncoding::kUtf8 &&
      expected.header == device::RegFileHeader::kRegedit4 && IsAscii(written)) {
    expected.encoding = device::RegFileEncoding::kWindows1252;
  }
  if (reread.Keys() != registry.Keys()) __builtin_trap();
  if (!(reread.Format() == expected)) __builtin_trap();

  // UTF-16 text is compared by its own line ends only where it is UTF-8 or single-byte.
  if (registry.Format().encoding == device::RegFileEncoding::kUtf16LeBom) return 0;
  auto [first, last] = ChangedLines(read, written);
  // Lines added after a last line without a line end first end that line.
  if (adding && first <= last && read.back() != '\n') {
    std::vector<uint8_t> ended = read;
    for (char c : std::string_view(registry.Format().crlf ? "\r\n" : "\n")) ended.push_back(c);
    std::tie(first, last) = ChangedLines(ended, written);
  }
  if (first > last) return 0;
  if (adding && !lines) __builtin_trap();  // lines were lost where only some were added
  if (lines && (first < lines->first || last > lines->second)) __builtin_trap();
  return 0;
}
