#include "registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "registry_test_data.h"

namespace device {
namespace {

namespace fs = std::filesystem;

Registry ParseText(std::string_view text) {
  return Registry::Parse(Bytes(text), "state.reg");
}

std::vector<uint8_t> Encoded(std::string_view utf8, RegFileEncoding encoding) {
  if (encoding == RegFileEncoding::kUtf8) return Bytes(utf8);
  if (encoding == RegFileEncoding::kUtf8Bom) return Bytes("\xEF\xBB\xBF" + std::string(utf8));
  std::vector<uint8_t> bytes{0xFF, 0xFE};
  std::vector<uint8_t> units = Sz(FromUtf8(utf8));
  bytes.insert(bytes.end(), units.begin(), units.end() - 2);
  return bytes;
}

std::vector<uint8_t> ReadAll(const fs::path& file) {
  std::ifstream stream(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(stream), {}};
}

void WriteAll(const fs::path& file, std::string_view text) {
  std::ofstream(file, std::ios::binary) << text;
}

constexpr std::u16string_view kProfile =
    u"HKEY_LOCAL_MACHINE\\System\\StorageManager\\Profiles\\SD";

// Exactly as the writer writes it, so reading then writing gives these bytes back.
constexpr std::string_view kWriterForm =
    "[HKEY_LOCAL_MACHINE\\System\\StorageManager\\Profiles\\SD]\n"
    "\"Folder\"=\"Storage Card\"\n"
    "\"Quote\"=\"say \\\"hi\\\" to C:\\\\\"\n"
    "\"Umlaut\"=\"Gr\xC3\xBC\xC3\x9F\x65\"\n"
    "@=\"\"\n"
    "\"Index\"=dword:0000002a\n"
    "\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\n"
    "  16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27\n"
    "\"Path\"=hex(2):25,00,00,00\n"
    "\"List\"=hex(7):61,00,00,00,62,00,00,00,00,00\n"
    "\"Big\"=hex(b):01,00,00,00,00,00,00,00\n"
    "\"None\"=hex(0):\n"
    "\"Odd\"=hex(1):41,00,42\n"
    "\"Short\"=hex(4):01,02\n"
    "\n"
    "[HKEY_CURRENT_USER\\Empty\\Sub]\n"
    "\"x\"=hex(0):\n"
    "\n"
    "[HKEY_CURRENT_USER\\Empty]\n"
    "\"x\"=hex(0):\n";

Registry WriterFormRegistry(RegFileFormat format = {}) {
  Registry registry(format);
  std::vector<uint8_t> blob(40);
  for (size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<uint8_t>(i);
  registry.SetValue(kProfile, u"Folder", kRegSz, Sz(u"Storage Card"));
  registry.SetValue(kProfile, u"Quote", kRegSz, Sz(u"say \"hi\" to C:\\"));
  registry.SetValue(kProfile, u"Umlaut", kRegSz, Sz(u"Grüße"));
  registry.SetValue(kProfile, u"", kRegSz, Sz(u""));
  registry.SetValue(kProfile, u"Index", kRegDword, {0x2a, 0, 0, 0});
  registry.SetValue(kProfile, u"Blob", kRegBinary, blob);
  registry.SetValue(kProfile, u"Path", kRegExpandSz, Sz(u"%"));
  registry.SetValue(kProfile, u"List", kRegMultiSz, {0x61, 0, 0, 0, 0x62, 0, 0, 0, 0, 0});
  registry.SetValue(kProfile, u"Big", kRegQword, {1, 0, 0, 0, 0, 0, 0, 0});
  registry.SetValue(kProfile, u"None", kRegNone, {});
  registry.SetValue(kProfile, u"Odd", kRegSz, {0x41, 0, 0x42});
  registry.SetValue(kProfile, u"Short", kRegDword, {1, 2});
  registry.SetValue(u"HKEY_CURRENT_USER\\Empty\\Sub", u"x", kRegNone, {});
  registry.SetValue(u"HKEY_CURRENT_USER\\Empty", u"x", kRegNone, {});
  return registry;
}

std::vector<RegFileFormat> EveryFormat() {
  std::vector<RegFileFormat> formats;
  for (auto encoding :
       {RegFileEncoding::kUtf8, RegFileEncoding::kUtf8Bom, RegFileEncoding::kUtf16LeBom}) {
    for (auto header : {RegFileHeader::kNone, RegFileHeader::kRegedit4, RegFileHeader::kRegedit5}) {
      for (bool crlf : {false, true}) formats.push_back({encoding, header, crlf});
    }
  }
  return formats;
}

TEST(RegistryTest, ParsesEveryFormOfValue) {
  struct Case {
    std::string line;
    std::u16string name;
    uint32_t type;
    std::vector<uint8_t> data;
  };
  const std::vector<Case> cases = {
      {"\"Folder\"=\"Storage Card\"", u"Folder", kRegSz, Sz(u"Storage Card")},
      {"\"E\"=\"a\\\\b\\\"c\"", u"E", kRegSz, Sz(u"a\\b\"c")},
      {"\"U\"=\"Gr\xC3\xBC\xC3\x9F\x65\"", u"U", kRegSz, Sz(u"Grüße")},
      {"\"a;b\"=\"c;d\" ; comment", u"a;b", kRegSz, Sz(u"c;d")},
      {"@=\"default\"", u"", kRegSz, Sz(u"default")},
      {"  \"D\" = dword:1  ", u"D", kRegDword, {1, 0, 0, 0}},
      {"\"D\"=DWORD:FFFFFFFF", u"D", kRegDword, {0xff, 0xff, 0xff, 0xff}},
      {"\"B\"=hex:01,2, ff", u"B", kRegBinary, {1, 2, 0xff}},
      {"\"B\"=hex:", u"B", kRegBinary, {}},
      {"\"B\"=hex:01,\\\n  02,\\\n  03", u"B", kRegBinary, {1, 2, 3}},
      {"\"B\"=hex:01, ; first\n ; between\n 02", u"B", kRegBinary, {1, 2}},
      {"\"X\"=hex(2):25,00,00,00", u"X", kRegExpandSz, {0x25, 0, 0, 0}},
      {"\"Q\"=hex(b):01,00,00,00,00,00,00,00", u"Q", kRegQword, {1, 0, 0, 0, 0, 0, 0, 0}},
      {"\"N\"=hex(0):", u"N", kRegNone, {}},
      {"\"M\"=hex(7):61,00,00,00,00,00", u"M", kRegMultiSz, {0x61, 0, 0, 0, 0, 0}},
      {"\"M\"=multi_sz:\"a\",\"b\"", u"M", kRegMultiSz, {0x61, 0, 0, 0, 0x62, 0, 0, 0, 0, 0}},
      {"\"M\"=multi_sz:\"a\",\n    \"b\"", u"M", kRegMultiSz, {0x61, 0, 0, 0, 0x62, 0, 0, 0, 0, 0}},
      {"\"M\"=multi_sz:", u"M", kRegMultiSz, {0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const Registry registry = ParseText("[HKEY_LOCAL_MACHINE\\K]\n" + c.line + "\n");
    const RegValue* value = registry.FindValue(u"HKEY_LOCAL_MACHINE\\K", c.name);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->type, c.type);
    EXPECT_EQ(value->data, c.data);
  }
}

TEST(RegistryTest, SerializeWritesTheRegeditForm) {
  const std::vector<uint8_t> written = WriterFormRegistry().Serialize();
  EXPECT_EQ(std::string(written.begin(), written.end()), kWriterForm);
}

TEST(RegistryTest, ReadsEveryEncodingAndHeaderAndWritesThemBack) {
  for (const RegFileFormat& format : EveryFormat()) {
    std::string text = std::string(kWriterForm);
    if (format.header == RegFileHeader::kRegedit4) text = "REGEDIT4\n\n" + text;
    if (format.header == RegFileHeader::kRegedit5) {
      text = "Windows Registry Editor Version 5.00\n\n" + text;
    }
    if (format.crlf) {
      for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2)) {
        text.insert(at, 1, '\r');
      }
    }
    SCOPED_TRACE(text.substr(0, 40));
    const std::vector<uint8_t> input = Encoded(text, format.encoding);
    const Registry registry = Registry::Parse(input, "state.reg");
    EXPECT_EQ(registry.Format(), format);
    EXPECT_EQ(registry.Keys(), WriterFormRegistry().Keys());
    EXPECT_EQ(registry.Serialize(), input);
  }
}

TEST(RegistryTest, EveryValueSurvivesARoundTripInEveryFormat) {
  const std::vector<std::pair<uint32_t, std::vector<uint8_t>>> awkward = {
      {kRegSz, {}},
      {kRegSz, {0x41, 0}},                       // no terminator
      {kRegSz, {0x41, 0, 0, 0, 0x42, 0, 0, 0}},  // a second string after the terminator
      {kRegSz, Sz(u"line\nbreak")},
      {kRegSz, {0x00, 0xD8, 0, 0}},  // lone surrogate
      {kRegDwordBigEndian, {0, 0, 0, 1}},
      {kRegLink, Sz(u"\\Target")},
      {0x12345678, std::vector<uint8_t>(300, 0xAB)},
  };
  for (const RegFileFormat& format : EveryFormat()) {
    Registry registry = WriterFormRegistry(format);
    const std::u16string key = u"HKEY_USERS\\Gr\u00FC\u00DFe \"quoted\" \\ \U0001F600";
    for (size_t i = 0; i < awkward.size(); ++i) {
      registry.SetValue(key, u"v\"\\" + std::u16string(i + 1, u'\u00E4'), awkward[i].first,
                        awkward[i].second);
    }
    registry.SetValue(key, std::u16string(255, u'n'), kRegDword, {1, 2, 3, 4});
    const std::vector<uint8_t> written = registry.Serialize();
    const Registry reread = Registry::Parse(written, "state.reg");
    EXPECT_EQ(reread, registry);
    EXPECT_EQ(reread.Serialize(), written);
  }
}

TEST(RegistryTest, RefusesMalformedInputNamingFileAndLine) {
  const std::string ok = "[HKEY_LOCAL_MACHINE\\K]\n\"ok\"=dword:1\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"; c\n\n\"A\"=\"b\"", "state.reg:3: value outside any [key] section"},
      {ok + "junk", "state.reg:3: unexpected text \"junk\""},
      {ok + "REGEDIT4", "state.reg:3: the header \"REGEDIT4\" belongs on the first line"},
      {ok + "[HKLM\\X]", "state.reg:3: unknown root key \"HKLM\""},
      {ok + "[HKEY_LOCAL_MACHINE\\X\\]", "state.reg:3: key path \"HKEY_LOCAL_MACHINE\\X\\\" ends"},
      {ok + "[HKEY_LOCAL_MACHINE\\\\X]",
       "state.reg:3: key path \"HKEY_LOCAL_MACHINE\\\\X\" has an"},
      {ok + "[]", "state.reg:3: empty key path"},
      {ok + "[HKEY_LOCAL_MACHINE\\X", "state.reg:3: section header has no closing ']'"},
      {ok + "[HKEY_LOCAL_MACHINE\\X] y", "state.reg:3: unexpected text \"y\" after the section"},
      {ok + "\"A\"=\"x", "state.reg:3: unterminated string"},
      {ok + "\"A\"=\"a\\nb\"", "state.reg:3: unknown escape \\n in string"},
      {ok + "\"A\"=", "state.reg:3: \"A\" has no data after '='"},
      {ok + "\"A\" \"b\"", "state.reg:3: \"A\": expected '='"},
      {ok + "\"A\"=qword:1", "state.reg:3: \"A\": unknown value type in \"qword:1\""},
      {ok + "\"A\"=dword:123456789", "state.reg:3: \"A\": dword: needs 1 to 8 hex digits"},
      {ok + "\"A\"=dword:", "state.reg:3: \"A\": dword: needs 1 to 8 hex digits"},
      {ok + "\"A\"=\"b\" c", "state.reg:3: \"A\": unexpected text \"c\" after the value"},
      {ok + "\"A\"=hex:01,zz", "state.reg:3: \"A\": bad hex byte \"zz\""},
      {ok + "\"A\"=hex:01,,02", "state.reg:3: \"A\": bad hex byte \"\""},
      {ok + "\"A\"=hex:01,\\\n  02,123",
       "state.reg:3: \"A\": bad hex byte \"123\" (continued on line 4)"},
      {ok + "\"A\"=hex:01 02", "state.reg:3: \"A\": expected ',' between list items"},
      {ok + "\"A\"=hex:01,02,\\", "state.reg:3: \"A\": the list runs past the end of file"},
      {ok + "\"A\"=hex(zz):01", "state.reg:3: \"A\": hex( needs a type"},
      {ok + "\"A\"=multi_sz:\"a\",b", "state.reg:3: expected a quoted string, found \"b\""},
      {ok + "\"OK\"=dword:2",
       "state.reg:3: \"OK\" is already set for [HKEY_LOCAL_MACHINE\\K] on line 2"},
      {ok + "\"" + std::string(256, 'n') + "\"=dword:1",
       "state.reg:3: value name is 256 characters"},
      {ok + "\"A\"=\"x\ry\"", "state.reg:3: carriage return without a line feed"},
  };
  for (const auto& [text, message] : cases) {
    SCOPED_TRACE(text);
    EXPECT_NE(ParseError(Bytes(text)).find(message), std::string::npos) << ParseError(Bytes(text));
  }
}

TEST(RegistryTest, RefusesEditsAndBuildDirectivesAsNotDeviceState) {
  const std::string ok = "[HKEY_LOCAL_MACHINE\\K]\n\"ok\"=dword:1\n";
  const std::string state = "a device registry file holds state, not ";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"\"Name\"=-", "\"Name\"=- deletes a value; " + state + "edits"},
      {"@=- ; gone", "@=- deletes a value; " + state + "edits"},
      {"[-HKEY_LOCAL_MACHINE\\K]", "[-HKEY_LOCAL_MACHINE\\K] deletes a key; " + state + "edits"},
      {"IF BSP_NOSD !", "IF makes values depend on the build; " + state + "build conditions"},
      {"ENDIF", "ENDIF makes values depend on the build; " + state + "build conditions"},
      {"#include \"extra.reg\"", "#include pulls in another file; " + state + "build input"},
  };
  for (const auto& [line, message] : cases) {
    EXPECT_EQ(ParseError(Bytes(ok + line)), "state.reg:3: " + message);
  }
}

TEST(RegistryTest, RefusesMalformedEncodings) {
  const std::vector<std::pair<std::vector<uint8_t>, std::string>> cases = {
      {Bytes("[HKEY_LOCAL_MACHINE\\K]\n\"A\"=\"\xFF\""), "state.reg:2: malformed UTF-8"},
      {Bytes("\xEF\xBB\xBF\n\n\xC0\xAF"), "state.reg:3: malformed UTF-8"},
      {Bytes("\xED\xA0\x80"), "state.reg:1: malformed UTF-8"},
      {Bytes("\xF4\x90\x80\x80"), "state.reg:1: malformed UTF-8"},
      {Bytes("\xE2\x82"), "state.reg:1: malformed UTF-8"},
      {{0xFF, 0xFE, 0x41, 0x00, 0x42}, "state.reg: UTF-16 text has an odd number of bytes"},
      {{0xFF, 0xFE, 0x0A, 0x00, 0x00, 0xD8, 0x41, 0x00}, "state.reg:2: unpaired UTF-16 surrogate"},
      {{0xFE, 0xFF, 0x00, 0x41}, "state.reg: UTF-16 big-endian text is not supported"},
      {{'[', 0, 'H', 0}, "state.reg:1: NUL character in text (UTF-16 without a byte order mark?)"},
  };
  for (const auto& [bytes, message] : cases) EXPECT_EQ(ParseError(bytes), message);
}

class RegistryFileTest : public testing::Test {
 protected:
  void SetUp() override {
    folder_ =
        fs::temp_directory_path() / ("registry_test_" + std::to_string(::getpid()) + "_" +
                                     testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override {
    fs::permissions(folder_, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(folder_);
  }
  std::vector<fs::path> FolderContents() const {
    return {fs::directory_iterator(folder_), fs::directory_iterator()};
  }

  fs::path folder_;
};

TEST_F(RegistryFileTest, LoadRefusesABadFileAndLeavesItUntouched) {
  const fs::path file = folder_ / "state.reg";
  const std::string text = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"A\"=-\r\n";
  WriteAll(file, text);
  EXPECT_THROW(Registry::Load(file), RegFileError);
  EXPECT_EQ(ReadAll(file), Bytes(text));
}

TEST_F(RegistryFileTest, LoadOfAMissingFileSaysItCannotRead) {
  const fs::path file = folder_ / "missing.reg";
  try {
    Registry::Load(file);
    FAIL() << "accepted a missing file";
  } catch (const RegFileError& error) {
    EXPECT_EQ(std::string(error.what()),
              file.string() + ": cannot read: No such file or directory");
  }
}

TEST_F(RegistryFileTest, SaveReplacesTheFileAndLeavesNoTemporary) {
  const fs::path file = folder_ / "state.reg";
  WriteAll(file, "[HKEY_LOCAL_MACHINE\\K]\n\"A\"=dword:1\n");
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  Registry registry = Registry::Load(file);
  registry.SetValue(u"HKEY_LOCAL_MACHINE\\K", u"A", kRegDword, {2, 0, 0, 0});
  registry.Save(file);
  EXPECT_EQ(ReadAll(file), Bytes("[HKEY_LOCAL_MACHINE\\K]\n\"A\"=dword:2\n"));
  EXPECT_EQ(fs::status(file).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(FolderContents(), std::vector<fs::path>{file});
}

TEST_F(RegistryFileTest, FailedSaveLeavesTheTargetAndNoTemporary) {
  const Registry registry = ParseText("[HKEY_LOCAL_MACHINE\\K]\n");
  const fs::path missing = folder_ / "missing" / "state.reg";
  EXPECT_THROW(registry.Save(missing), RegFileError);

  // The rename fails after the temporary was written: the target is a folder.
  const fs::path occupied = folder_ / "occupied.reg";
  fs::create_directory(occupied);
  WriteAll(occupied / "inside", "x");
  try {
    registry.Save(occupied);
    FAIL() << "saved over a folder";
  } catch (const RegFileError& error) {
    EXPECT_EQ(std::string(error.what()).rfind(occupied.string() + ": cannot save: ", 0), 0u);
  }
  EXPECT_EQ(FolderContents(), std::vector<fs::path>{occupied});
  EXPECT_EQ(ReadAll(occupied / "inside"), Bytes("x"));
}

TEST_F(RegistryFileTest, SaveIntoAReadOnlyFolderLeavesTheTargetUntouched) {
  const fs::path file = folder_ / "state.reg";
  WriteAll(file, "; before\n");
  fs::permissions(folder_, fs::perms::owner_read | fs::perms::owner_exec);
  if (::access(folder_.c_str(), W_OK) == 0) GTEST_SKIP() << "permissions do not bind this user";
  EXPECT_THROW(ParseText("[HKEY_LOCAL_MACHINE\\K]\n").Save(file), RegFileError);
  EXPECT_EQ(ReadAll(file), Bytes("; before\n"));
  EXPECT_EQ(FolderContents(), std::vector<fs::path>{file});
}

TEST(RegistryTest, SetValueReplacesCaseInsensitivelyInPlace) {
  Registry registry = ParseText(
      "[HKEY_LOCAL_MACHINE\\P]\n\"Folder\"=\"Old\"\n\"Next\"=dword:1\n"
      "[HKEY_LOCAL_MACHINE\\\xC3\x84rger]\n\"Gr\xC3\xB6\xC3\x9F\x65\"=dword:1\n");
  EXPECT_TRUE(registry.SetValue(u"hkey_local_machine\\p", u"FOLDER", kRegSz, Sz(u"New")));
  EXPECT_FALSE(registry.SetValue(u"HKEY_LOCAL_MACHINE\\P", u"folder", kRegSz, Sz(u"New")));
  EXPECT_TRUE(registry.SetValue(u"HKEY_LOCAL_MACHINE\\P", u"folder", kRegExpandSz, Sz(u"New")));
  const std::vector<RegValue> expected = {{u"Folder", kRegExpandSz, Sz(u"New")},
                                          {u"Next", kRegDword, {1, 0, 0, 0}}};
  EXPECT_EQ(registry.Keys()[0].values, expected);
  EXPECT_FALSE(registry.SetValue(u"HKEY_LOCAL_MACHINE\\\u00E4RGER", u"GR\u00D6\u00DFE", kRegDword,
                                 {1, 0, 0, 0}));
}

TEST(RegistryTest, SetValueGivesAnImpliedKeyASectionAtTheEnd) {
  Registry registry = ParseText("[HKEY_LOCAL_MACHINE\\Other]\n[HKEY_LOCAL_MACHINE\\A\\B]\n");
  ASSERT_TRUE(registry.KeyExists(u"HKEY_LOCAL_MACHINE\\A"));
  EXPECT_TRUE(std::ranges::none_of(registry.Keys(), [](const RegKey& key) {
    return EqualsIgnoringCase(key.path, u"HKEY_LOCAL_MACHINE\\A");
  }));
  EXPECT_TRUE(registry.SetValue(u"hkey_local_machine\\a", u"v", kRegDword, {1, 0, 0, 0}));
  EXPECT_TRUE(registry.SetValue(u"HKEY_USERS\\New", u"v", kRegNone, {}));
  std::vector<std::u16string> paths;
  for (const RegKey& key : registry.Keys()) paths.push_back(key.path);
  EXPECT_EQ(paths,
            (std::vector<std::u16string>{u"HKEY_LOCAL_MACHINE\\Other", u"HKEY_LOCAL_MACHINE\\A\\B",
                                         u"HKEY_LOCAL_MACHINE\\A", u"HKEY_USERS\\New"}));
}

TEST(RegistryTest, SetValueRefusesWhatAFileCannotHold) {
  const std::vector<std::pair<std::u16string, std::u16string>> cases = {
      {u"HKLM\\K", u"v"},
      {u"HKEY_LOCAL_MACHINE\\K\\", u"v"},
      {u"HKEY_LOCAL_MACHINE\\[K]", u"v"},
      {u"HKEY_LOCAL_MACHINE\\K", std::u16string(256, u'n')},
      {u"HKEY_LOCAL_MACHINE\\K", u"two\nlines"},
  };
  Registry registry;
  for (const auto& [path, name] : cases) {
    EXPECT_THROW(registry.SetValue(path, name, kRegDword, {}), std::invalid_argument);
  }
  EXPECT_TRUE(registry.Keys().empty());
}

TEST(RegistryTest, KeyExistsForSectionsTheirParentsAndRoots) {
  const Registry registry = ParseText(
      "[HKEY_LOCAL_MACHINE\\System\\StorageManager\\Profiles\\MMC]\n"
      "[HKEY_LOCAL_MACHINE\\\xC3\x84rger]\n");
  const std::vector<std::pair<std::u16string, bool>> cases = {
      {u"HKEY_LOCAL_MACHINE\\System\\StorageManager\\Profiles\\MMC", true},
      {u"hkey_local_machine\\SYSTEM\\storagemanager\\profiles\\mmc", true},
      {u"HKEY_LOCAL_MACHINE\\System", true},
      {u"HKEY_LOCAL_MACHINE\\\u00E4RGER", true},
      {u"HKEY_CURRENT_USER", true},
      {u"HKEY_LOCAL_MACHINE\\Sys", false},
      {u"HKEY_LOCAL_MACHINE\\System\\", false},
      {u"HKEY_LOCAL_MACHINE\\System\\StorageManager\\Profiles\\MMC\\Sub", false},
  };
  for (const auto& [path, exists] : cases) {
    EXPECT_EQ(registry.KeyExists(path), exists) << ToUtf8(path);
  }
}

// Every value added, changed or removed between two registries, found through what a registry
// shows of itself: keys in the order of `before`, then keys only in `after`; within a key, values
// in the order of `before`, then values only in `after`. Paths and names compare as the device's
// do.
std::vector<ValueChange> Diff(const Registry& before, const Registry& after) {
  const std::vector<RegKey> oldKeys = before.Keys(), newKeys = after.Keys();
  const auto find = [](auto& items, std::u16string_view name, auto field) {
    return std::ranges::find_if(items,
                                [&](auto& item) { return EqualsIgnoringCase(item.*field, name); });
  };
  std::vector<ValueChange> changes;
  for (const RegKey& oldKey : oldKeys) {
    const auto newKey = find(newKeys, oldKey.path, &RegKey::path);
    std::vector<RegValue> unmatched =
        newKey != newKeys.end() ? newKey->values : std::vector<RegValue>{};
    for (const RegValue& old : oldKey.values) {
      const auto now = find(unmatched, old.name, &RegValue::name);
      if (now == unmatched.end()) {
        changes.push_back({oldKey.path, old.name, old, std::nullopt});
        continue;
      }
      if (now->type != old.type || now->data != old.data) {
        changes.push_back({oldKey.path, old.name, old, *now});
      }
      unmatched.erase(now);
    }
    for (const RegValue& added : unmatched) {
      changes.push_back({oldKey.path, added.name, std::nullopt, added});
    }
  }
  for (const RegKey& newKey : newKeys) {
    if (find(oldKeys, newKey.path, &RegKey::path) != oldKeys.end()) continue;
    for (const RegValue& added : newKey.values) {
      changes.push_back({newKey.path, added.name, std::nullopt, added});
    }
  }
  return changes;
}

TEST(RegistryTest, DiffReportsEveryValueOldToNew) {
  const Registry before = ParseText(
      "[HKEY_LOCAL_MACHINE\\P]\n\"Folder\"=\"Storage Card\"\n\"Gone\"=dword:1\n\"Same\"=hex:\n");
  const Registry after = ParseText(
      "[hkey_local_machine\\p]\n\"same\"=hex:\n\"folder\"=\"Speicherkarte\"\n\"Added\"=dword:2\n"
      "[HKEY_LOCAL_MACHINE\\New]\n\"N\"=hex:01\n");
  const auto format = [](const std::optional<RegValue>& value) {
    return value ? FormatValueData(*value) : "-";
  };
  std::vector<std::string> changes;
  for (const ValueChange& change : Diff(before, after)) {
    changes.push_back(ToUtf8(change.keyPath + u" " + change.name) + " " + format(change.before) +
                      " " + format(change.after));
  }
  EXPECT_EQ(changes, (std::vector<std::string>{
                         "HKEY_LOCAL_MACHINE\\P Folder \"Storage Card\" \"Speicherkarte\"",
                         "HKEY_LOCAL_MACHINE\\P Gone dword:00000001 -",
                         "HKEY_LOCAL_MACHINE\\P Added - dword:00000002",
                         "HKEY_LOCAL_MACHINE\\New N - hex:01",
                     }));
  EXPECT_TRUE(Diff(after, after).empty());
}

// What a run changed is recorded as it sets values; it must be what comparing with a copy taken
// before finds, in the same order.
TEST(RegistryTest, RecordedChangesAreWhatDiffFindsAgainstACopy) {
  struct Set {
    const char16_t* key;
    const char16_t* name;
    uint32_t type;
    std::vector<uint8_t> data;
  };
  const std::u16string p = u"HKEY_LOCAL_MACHINE\\P", q = u"HKEY_LOCAL_MACHINE\\Q\\Sub";
  const std::vector<uint8_t> card = Sz(u"Storage Card"), other = Sz(u"Speicherkarte");
  const struct {
    const char* what;
    std::vector<Set> sets;
  } cases[] = {
      {"nothing", {}},
      {"set to what it holds", {{p.c_str(), u"Folder", kRegSz, card}}},
      {"changed", {{p.c_str(), u"folder", kRegSz, other}}},
      {"changed, then set back",
       {{p.c_str(), u"Folder", kRegSz, other}, {p.c_str(), u"Folder", kRegSz, card}}},
      {"changed twice",
       {{p.c_str(), u"Folder", kRegSz, other}, {p.c_str(), u"Folder", kRegDword, {1, 0, 0, 0}}}},
      {"in reverse file order, with an added value between",
       {{q.c_str(), u"N", kRegBinary, {1}},
        {p.c_str(), u"Added", kRegSz, card},
        {p.c_str(), u"Folder", kRegSz, other}}},
      {"a new key, an implied one, then an existing key",
       {{u"HKEY_LOCAL_MACHINE\\New", u"A", kRegSz, card},
        {u"HKEY_LOCAL_MACHINE\\Q", u"B", kRegSz, card},
        {p.c_str(), u"Same", kRegBinary, {}},
        {p.c_str(), u"Same", kRegBinary, {2}}}},
      {"added, then changed", {{p.c_str(), u"X", kRegSz, card}, {p.c_str(), u"X", kRegSz, other}}},
  };
  for (const auto& test : cases) {
    Registry registry = ParseText(
        "[HKEY_LOCAL_MACHINE\\P]\n\"Folder\"=\"Storage Card\"\n\"Same\"=hex:\n"
        "[HKEY_LOCAL_MACHINE\\Q\\Sub]\n\"N\"=hex:00\n");
    registry.SetValue(p, u"Early", kRegSz, Sz(u"set before the recording"));
    registry.StartRecordingChanges();
    const Registry before = registry;
    for (const Set& set : test.sets) registry.SetValue(set.key, set.name, set.type, set.data);
    EXPECT_EQ(registry.RecordedChanges(), Diff(before, registry)) << test.what;
  }
}

TEST(RegistryTest, FormatValueDataStaysOnOneLine) {
  std::string longList = "hex:ee";
  for (int i = 1; i < 100; ++i) longList += ",ee";
  const std::vector<std::pair<RegValue, std::string>> cases = {
      {{u"", kRegSz, Sz(u"Storage Card")}, "\"Storage Card\""},
      {{u"", kRegSz, {0x41, 0}}, "hex(1):41,00"},
      {{u"", kRegDword, {1, 0, 0, 0}}, "dword:00000001"},
      {{u"", kRegBinary, {1, 2}}, "hex:01,02"},
      {{u"", 0x12345678, {}}, "hex(12345678):"},
      {{u"", kRegBinary, std::vector<uint8_t>(100, 0xEE)}, longList},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(FormatValueData(value), text);
}

TEST(RegistryTest, Utf8HelpersRefuseMalformedInputAndReplaceLoneSurrogates) {
  EXPECT_EQ(FromUtf8("Gr\xC3\xBC\xC3\x9F\x65 \xF0\x9F\x98\x80"), u"Grüße \U0001F600");
  EXPECT_EQ(ToUtf8(u"Grüße \U0001F600"), "Gr\xC3\xBC\xC3\x9F\x65 \xF0\x9F\x98\x80");
  EXPECT_EQ(ToUtf8(std::u16string{u'a', 0xD800, u'b', 0xDC00}),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
  for (std::string_view bad : {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80"}) {
    EXPECT_THROW(FromUtf8(bad), std::invalid_argument);
  }
}

}  // namespace
}  // namespace device
