// Registry files edited in place: after values are set, the file differs from the one read
// exactly on those values' lines, in every encoding, header and line end.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "registry.h"
#include "registry_test_data.h"

namespace device {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> MultiSz(std::initializer_list<std::u16string_view> texts) {
  std::vector<uint8_t> bytes;
  for (std::u16string_view text : texts) {
    const std::vector<uint8_t> one = Sz(text);
    bytes.insert(bytes.end(), one.begin(), one.end());
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

std::string Text(const std::vector<uint8_t>& bytes) {
  return {bytes.begin(), bytes.end()};
}

std::string Replaced(std::string text, std::string_view from, std::string_view to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// A board's registry file as people keep them: comments everywhere, blank-line runs, indented
// values, dword: without leading zeros, multi_sz:, continued hex lists in both styles.
constexpr std::string_view kBoardFile =
    "; Storage profiles of the board.\n"
    ";\n"
    "; Each card type mounts under its own folder.\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\System\\StorageManager\\Profiles\\MMC]\n"
    "    \"Name\"=\"MMC Card\"              ; shown in the control panel\n"
    "    \"Folder\"=\"Storage Card\"        ; the mount folder\n"
    "    \"AutoMount\"=dword:1\n"
    "    \"Index\" = DWORD:0000002A\n"
    "    \"IClass\"=multi_sz:\"{A4E7EDDA-E575-4252-9D6B-4195D48BB865}\", \"second\"\n"
    "\n"
    "\n"
    "; two blank lines above\n"
    "[HKEY_LOCAL_MACHINE\\System\\StorageManager\\Profiles\\PCMCIA]\n"
    "\t\"Folder\"=\"Storage Card\"\n"
    "\t\"Ansi\"=hex(1):41,00,00,00\n"
    "\t\"\"=\"default text\"\n"
    "\t\"Blob\"=hex:01,02,03,04,05,06,07,08,09,0A,0B,0C,0D,0E,0F,10,11,12,13,14,15,\\\n"
    "\t       18,19,1A   ; continued\n"
    "\t\"Odd\"=hex(4):01,02,03,04,05\n"
    "\t\"PB\"=hex:01,02,\n"
    "\t     03,04\n"
    "\t\"Tail\"=hex:01 \\\n"
    "\n"
    "; trailing comment\n";

constexpr std::u16string_view kMmc = u"HKEY_LOCAL_MACHINE\\System\\StorageManager\\Profiles\\MMC";
constexpr std::u16string_view kPcmcia =
    u"HKEY_LOCAL_MACHINE\\System\\StorageManager\\Profiles\\PCMCIA";

struct Set {
  std::u16string_view key, name;
  uint32_t type;
  std::vector<uint8_t> data;
};

struct EditCase {
  const char* what;
  std::vector<Set> sets;
  std::string_view from, to;  // the file's text changes from this to that, nothing else
};

std::vector<uint8_t> ManyBytes(size_t count) {
  std::vector<uint8_t> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(0xA0 + i);
  return bytes;
}

const std::vector<EditCase>& EditCases() {
  static const std::vector<EditCase> cases = {
      {"nothing set", {}, "", ""},
      {"quoted text with a comment after it",
       {{kMmc, u"Folder", kRegSz, Sz(u"Speicherkarte")}},
       "\"Folder\"=\"Storage Card\"        ;",
       "\"Folder\"=\"Speicherkarte\"        ;"},
      {"dword: without leading zeros",
       {{kMmc, u"AutoMount", kRegDword, {0x2B, 1, 0, 0}}},
       "\"AutoMount\"=dword:1\n",
       "\"AutoMount\"=dword:12b\n"},
      {"DWORD: in upper case with spaces around '='",
       {{kMmc, u"index", kRegDword, {0x1B, 0, 0, 0}}},
       "\"Index\" = DWORD:0000002A",
       "\"Index\" = DWORD:0000001B"},
      {"multi_sz: with its separator",
       {{kMmc, u"IClass", kRegMultiSz, MultiSz({u"x", u"y \"q\"", u""})}},
       "multi_sz:\"{A4E7EDDA-E575-4252-9D6B-4195D48BB865}\", \"second\"",
       "multi_sz:\"x\", \"y \\\"q\\\"\", \"\""},
      {"a REG_MULTI_SZ without its final extra NUL has no multi_sz: form",
       {{kMmc, u"IClass", kRegMultiSz, {'x', 0, 0, 0}}},
       "multi_sz:\"{A4E7EDDA-E575-4252-9D6B-4195D48BB865}\", \"second\"",
       "hex(7):78,00,00,00"},
      {"hex(1): stays hex",
       {{kPcmcia, u"Ansi", kRegSz, Sz(u"B")}},
       "\"Ansi\"=hex(1):41,00,00,00",
       "\"Ansi\"=hex(1):42,00,00,00"},
      {"the default value spelled \"\"",
       {{kPcmcia, u"", kRegSz, Sz(u"new")}},
       "\"\"=\"default text\"",
       "\"\"=\"new\""},
      {"a continued list that becomes short keeps its digits' case and its comment",
       {{kPcmcia, u"Blob", kRegBinary, {0xAA, 0xBB, 0xCC}}},
       "hex:01,02,03,04,05,06,07,08,09,0A,0B,0C,0D,0E,0F,10,11,12,13,14,15,\\\n\t       18,19,1A",
       "hex:AA,BB,CC"},
      {"a continued list stays wrapped with its indent",
       {{kPcmcia, u"Blob", kRegBinary, ManyBytes(30)}},
       "hex:01,02,03,04,05,06,07,08,09,0A,0B,0C,0D,0E,0F,10,11,12,13,14,15,\\\n\t       18,19,1A",
       "hex:A0,A1,A2,A3,A4,A5,A6,A7,A8,A9,AA,AB,AC,AD,AE,AF,B0,B1,B2,B3,B4,B5,\\\n"
       "\t       B6,B7,B8,B9,BA,BB,BC,BD"},
      {"a Platform Builder list continued after ','",
       {{kPcmcia, u"PB", kRegBinary, ManyBytes(30)}},
       "hex:01,02,\n\t     03,04",
       "hex:a0,a1,a2,a3,a4,a5,a6,a7,a8,a9,aa,ab,ac,ad,ae,af,b0,b1,b2,b3,b4,b5,\n"
       "\t     b6,b7,b8,b9,ba,bb,bc,bd"},
      {"a list ended by a continuation that nothing continues",
       {{kPcmcia, u"Tail", kRegBinary, {0xEE}}},
       "\"Tail\"=hex:01 \\\n",
       "\"Tail\"=hex:ee\n"},
      {"a REG_DWORD of five bytes keeps all five",
       {{kPcmcia, u"Odd", kRegDword, {1, 2, 3, 4, 6}}},
       "\"Odd\"=hex(4):01,02,03,04,05",
       "\"Odd\"=hex(4):01,02,03,04,06"},
      {"a REG_DWORD of five bytes set where dword: was",
       {{kMmc, u"AutoMount", kRegDword, {1, 2, 3, 4, 5}}},
       "\"AutoMount\"=dword:1\n",
       "\"AutoMount\"=hex(4):01,02,03,04,05\n"},
      {"a new type takes the regedit form and keeps the comment",
       {{kMmc, u"Name", kRegDword, {1, 0, 0, 0}}},
       "\"Name\"=\"MMC Card\"              ;",
       "\"Name\"=dword:00000001              ;"},
      {"the name keeps its spelling",
       {{kPcmcia, u"FOLDER", kRegSz, Sz(u"X")}},
       "\t\"Folder\"=\"Storage Card\"\n",
       "\t\"Folder\"=\"X\"\n"},
      {"three values, one line each",
       {{kMmc, u"Folder", kRegSz, Sz(u"A")},
        {kPcmcia, u"Folder", kRegSz, Sz(u"B")},
        {kMmc, u"Folder", kRegSz, Sz(u"C")}},
       "",
       ""},
      {"a new value at the end of its key, indented like its neighbours",
       {{kMmc, u"New", kRegDword, {1, 0, 0, 0}}},
       "\"second\"\n",
       "\"second\"\n    \"New\"=dword:00000001\n"},
      {"a new key at the end of the file",
       {{u"HKEY_LOCAL_MACHINE\\New", u"v", kRegSz, Sz(u"w")}},
       "; trailing comment\n",
       "; trailing comment\n\n[HKEY_LOCAL_MACHINE\\New]\n\"v\"=\"w\"\n"},
      {"set back to what the file holds",
       {{kMmc, u"AutoMount", kRegDword, {2, 0, 0, 0}},
        {kMmc, u"AutoMount", kRegDword, {1, 0, 0, 0}},
        {kPcmcia, u"PB", kRegBinary, {5}},
        {kPcmcia, u"PB", kRegBinary, {1, 2, 3, 4}}},
       "",
       ""},
  };
  return cases;
}

struct Form {
  RegFileEncoding encoding;
  const char* header;  // the lines before the file's own, or ""
  bool crlf;
};

std::vector<Form> EveryForm() {
  std::vector<Form> forms;
  for (auto encoding :
       {RegFileEncoding::kUtf8, RegFileEncoding::kUtf8Bom, RegFileEncoding::kUtf16LeBom}) {
    for (const char* header : {"", "REGEDIT4\n\n", "Windows Registry Editor Version 5.00\n\n"}) {
      for (bool crlf : {false, true}) forms.push_back({encoding, header, crlf});
    }
  }
  return forms;
}

std::vector<uint8_t> InForm(std::string text, const Form& form) {
  text = form.header + text;
  if (form.crlf) {
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2)) {
      text.insert(at, 1, '\r');
    }
  }
  if (form.encoding == RegFileEncoding::kUtf8) return Bytes(text);
  if (form.encoding == RegFileEncoding::kUtf8Bom) return Bytes("\xEF\xBB\xBF" + text);
  std::vector<uint8_t> bytes{0xFF, 0xFE};
  const std::vector<uint8_t> units = Sz(FromUtf8(text));
  bytes.insert(bytes.end(), units.begin(), units.end() - 2);
  return bytes;
}

TEST(RegFileEditTest, SettingValuesChangesOnlyTheirLinesInEveryForm) {
  for (const EditCase& c : EditCases()) {
    std::string expected = std::string(kBoardFile);
    if (!c.from.empty()) expected = Replaced(expected, c.from, c.to);
    if (std::string_view(c.what) == "three values, one line each") {
      expected =
          Replaced(expected, "\"Folder\"=\"Storage Card\"        ;", "\"Folder\"=\"C\"        ;");
      expected = Replaced(expected, "\t\"Folder\"=\"Storage Card\"", "\t\"Folder\"=\"B\"");
    }
    for (const Form& form : EveryForm()) {
      SCOPED_TRACE(std::string(c.what) + ", header " + form.header + ", encoding " +
                   std::to_string(static_cast<int>(form.encoding)) + (form.crlf ? ", CRLF" : ""));
      Registry registry = Registry::Parse(InForm(std::string(kBoardFile), form), "board.reg");
      const Registry before = registry;
      for (const Set& set : c.sets) registry.SetValue(set.key, set.name, set.type, set.data);
      const std::vector<uint8_t> written = registry.Serialize();
      EXPECT_EQ(Text(written), Text(InForm(expected, form)));
      // Read back, the file holds what the registry holds.
      const Registry reread = Registry::Parse(written, "board.reg");
      EXPECT_EQ(reread.Keys(), registry.Keys());
      EXPECT_EQ(reread.Format(), before.Format());
    }
  }
}

TEST(RegFileEditTest, LinesInFileSpanAValueWithItsContinuedLines) {
  const Registry registry = Registry::Parse(Bytes(kBoardFile), "board.reg");
  const std::vector<std::tuple<std::u16string_view, std::u16string_view, size_t, size_t>> cases = {
      {kMmc, u"Name", 6, 6},      {kMmc, u"iclass", 10, 10}, {kPcmcia, u"", 17, 17},
      {kPcmcia, u"Blob", 18, 19}, {kPcmcia, u"PB", 21, 22},  {kPcmcia, u"Tail", 23, 23},
  };
  for (const auto& [key, name, first, last] : cases) {
    EXPECT_EQ(registry.LinesInFile(key, name), std::pair(first, last)) << ToUtf8(name);
  }
  EXPECT_FALSE(registry.LinesInFile(kMmc, u"Missing"));
  Registry added = registry;
  added.SetValue(kMmc, u"New", kRegDword, {1, 0, 0, 0});
  EXPECT_FALSE(added.LinesInFile(kMmc, u"New"));
}

TEST(RegFileEditTest, AFileWithoutItsLastLineEndGetsOneBeforeWhatIsAdded) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"[HKEY_LOCAL_MACHINE\\K]\n\"a\"=dword:1",
       "[HKEY_LOCAL_MACHINE\\K]\n\"a\"=dword:1\n\"b\"=dword:00000002\n"},
      {"[HKEY_LOCAL_MACHINE\\K]", "[HKEY_LOCAL_MACHINE\\K]\n\"b\"=dword:00000002\n"},
      {"[HKEY_LOCAL_MACHINE\\K]\r\n\"a\"=dword:1",
       "[HKEY_LOCAL_MACHINE\\K]\r\n\"a\"=dword:1\r\n\"b\"=dword:00000002\r\n"},
      {"", "[HKEY_LOCAL_MACHINE\\K]\n\"b\"=dword:00000002\n"},
      {"; only a comment", "; only a comment\n\n[HKEY_LOCAL_MACHINE\\K]\n\"b\"=dword:00000002\n"},
  };
  for (const auto& [input, output] : cases) {
    Registry registry = Registry::Parse(Bytes(input), "k.reg");
    registry.SetValue(u"HKEY_LOCAL_MACHINE\\K", u"b", kRegDword, {2, 0, 0, 0});
    EXPECT_EQ(registry.Serialize(), Bytes(output)) << input;
  }
}

// Key and value names compare as the device compares them: ASCII and Latin-1 letters fold, and
// nothing else does, not even the neighbours of the letters.
TEST(RegFileEditTest, NamesFoldTheCaseOfAsciiAndLatin1LettersOnly) {
  const std::vector<std::tuple<std::u16string, std::u16string, bool>> cases = {
      {u"A", u"a", true},
      {u"Z", u"z", true},
      {u"@", u"`", false},
      {u"[", u"{", false},
      {u"\u00C0", u"\u00E0", true},   // À à
      {u"\u00DE", u"\u00FE", true},   // Þ þ
      {u"\u00D7", u"\u00F7", false},  // × ÷
      {u"\u00DF", u"\u00FF", false},  // ß ÿ
      {u"\u00BF", u"\u00DF", false},  // ¿ ß
      {u"\u00FF", u"\u0178", false},  // ÿ Ÿ
      {u"\u00DF", u"SS", false},
  };
  for (const auto& [stored, asked, equal] : cases) {
    SCOPED_TRACE(ToUtf8(stored) + " / " + ToUtf8(asked));
    const std::string file =
        "[HKEY_LOCAL_MACHINE\\K" + ToUtf8(stored) + "]\n\"v" + ToUtf8(stored) + "\"=dword:1\n";
    Registry registry = Registry::Parse(Bytes(file), "k.reg");
    const std::u16string key = u"HKEY_LOCAL_MACHINE\\K" + asked;
    EXPECT_EQ(registry.KeyExists(key), equal);
    EXPECT_EQ(registry.FindValue(u"HKEY_LOCAL_MACHINE\\K" + stored, u"v" + asked) != nullptr,
              equal);
    // The same two names in one key are one value set twice, or two values.
    const std::string twice = file + "\"v" + ToUtf8(asked) + "\"=dword:2\n";
    EXPECT_EQ(ParseError(Bytes(twice)) != "(accepted)", equal);
    // Setting through the other spelling replaces the value, or adds one.
    registry.SetValue(key, u"v" + asked, kRegDword, {3, 0, 0, 0});
    EXPECT_EQ(registry.Keys().size(), equal ? 1u : 2u);
  }
}

TEST(RegFileEditTest, AValueSetTwiceIsRefusedNamingBothLines) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"[HKEY_LOCAL_MACHINE\\K]\n\"A\"=dword:1\n\"a\"=dword:2\n",
       "k.reg:3: \"a\" is already set for [HKEY_LOCAL_MACHINE\\K] on line 2; regedit would keep "
       "the later one, but which one the device holds is not clear: remove one"},
      {"[HKEY_LOCAL_MACHINE\\K]\n@=\"x\"\n[HKEY_LOCAL_MACHINE\\Other]\n[hkey_local_machine\\k]\n"
       "\"\"=\"y\"\n",
       "k.reg:5: @ is already set for [HKEY_LOCAL_MACHINE\\K] on line 2; regedit would keep the "
       "later one, but which one the device holds is not clear: remove one"},
  };
  for (const auto& [file, message] : cases) EXPECT_EQ(ParseError(Bytes(file), "k.reg"), message);
}

class Windows1252Test : public testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("reg_file_edit_test_" + std::to_string(::getpid()));
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  fs::path folder_;
};

// An ANSI REGEDIT4 file: "Grüße €" and an unassigned byte, then another value.
constexpr std::string_view kAnsiFile =
    "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\K\xC4]\r\n\"Name\"=\"Gr\xFC\xDF"
    "e \x80\x81\"\r\n"
    "\"Other\"=\"x\"\r\n";

TEST_F(Windows1252Test, ReadsAndWritesAnAnsiRegedit4File) {
  Registry registry = Registry::Parse(Bytes(kAnsiFile), "ansi.reg");
  EXPECT_EQ(registry.Format().encoding, RegFileEncoding::kWindows1252);
  const RegValue* name = registry.FindValue(u"HKEY_LOCAL_MACHINE\\K\u00E4", u"name");
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(name->data, Sz(u"Gr\u00FC\u00DFe \u20AC\u0081"));
  EXPECT_EQ(registry.Serialize(), Bytes(kAnsiFile));
  registry.SetValue(u"HKEY_LOCAL_MACHINE\\K\u00C4", u"Other", kRegSz, Sz(u"\u00C4\u0153\u2122"));
  EXPECT_EQ(registry.Serialize(), Bytes(Replaced(std::string(kAnsiFile), "\"Other\"=\"x\"",
                                                 "\"Other\"=\"\xC4\x9C\x99\"")));
}

// Every byte from 0x7F to 0xA0, the whole of the table Windows-1252 differs from Latin-1 in and
// its two neighbours, reads as Windows reads it and is written back as the same byte, both as it
// was read and when the run sets it (in reverse order, so that no byte stays by chance).
TEST_F(Windows1252Test, TheTableReadsAndWritesBackAtItsEdges) {
  const std::u16string expected =
      u"\u007F\u20AC\u0081\u201A\u0192\u201E\u2026\u2020\u2021\u02C6\u2030\u0160\u2039\u0152"
      u"\u008D\u017D\u008F\u0090\u2018\u2019\u201C\u201D\u2022\u2013\u2014\u02DC\u2122\u0161"
      u"\u203A\u0153\u009D\u017E\u0178\u00A0";
  std::string bytes, reversed;
  for (int byte = 0x7F; byte <= 0xA0; ++byte) bytes += static_cast<char>(byte);
  reversed.assign(bytes.rbegin(), bytes.rend());
  const std::string file = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"V\"=\"" + bytes + "\"\r\n";
  Registry registry = Registry::Parse(Bytes(file), "ansi.reg");
  ASSERT_EQ(registry.Format().encoding, RegFileEncoding::kWindows1252);
  const RegValue* value = registry.FindValue(u"HKEY_LOCAL_MACHINE\\K", u"V");
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(value->data, Sz(expected));
  EXPECT_EQ(registry.Serialize(), Bytes(file));
  registry.SetValue(u"HKEY_LOCAL_MACHINE\\K", u"V", kRegSz,
                    Sz(std::u16string(expected.rbegin(), expected.rend())));
  EXPECT_EQ(registry.Serialize(), Bytes(Replaced(file, bytes, reversed)));
}

// A REGEDIT4 file in plain ASCII is as much ANSI as UTF-8: what is set into it is written as
// regedit reads it. One with UTF-8 text in it stays UTF-8.
TEST_F(Windows1252Test, APlainAsciiRegedit4FileIsWrittenAsAnsi) {
  const struct {
    std::string file;
    RegFileEncoding encoding;
    std::string written;
  } cases[] = {
      {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n\"Other\"=\"x\"\n", RegFileEncoding::kWindows1252,
       "\"Other\"=\"\xC4\""},
      {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K\xC3\xA4]\n\"Other\"=\"x\"\n", RegFileEncoding::kUtf8,
       "\"Other\"=\"\xC3\x84\""},
      {"[HKEY_LOCAL_MACHINE\\K]\n\"Other\"=\"x\"\n", RegFileEncoding::kUtf8,
       "\"Other\"=\"\xC3\x84\""},
  };
  for (const auto& test : cases) {
    Registry registry = Registry::Parse(Bytes(test.file), "ascii.reg");
    EXPECT_EQ(registry.Format().encoding, test.encoding) << test.file;
    EXPECT_EQ(registry.Serialize(), Bytes(test.file)) << test.file;
    const std::u16string key = registry.Keys().front().path;
    registry.SetValue(key, u"Other", kRegSz, Sz(u"\u00C4"));
    EXPECT_EQ(registry.Serialize(), Bytes(Replaced(test.file, "\"Other\"=\"x\"", test.written)))
        << test.file;
  }
}

// Save converts in place what Serialize converts into a copy: the file holds the same bytes, in
// every encoding, whether the text set is shorter or longer than what it replaces.
TEST_F(Windows1252Test, SaveWritesWhatSerializeGives) {
  const std::string utf8File = "[HKEY_LOCAL_MACHINE\\K\xC3\xA4]\n\"Other\"=\"x\"\n";
  std::string utf16File = "\xFF\xFE";
  for (char c : std::string_view("Windows Registry Editor Version 5.00\r\n\r\n"
                                 "[HKEY_LOCAL_MACHINE\\K]\r\n\"Other\"=\"x\"\r\n")) {
    utf16File += {c, '\0'};
  }
  const struct {
    std::string file;
    std::u16string set;
  } cases[] = {
      {std::string(kAnsiFile), u"\u00C4\u0153\u2122\u20AC"},
      {std::string(kAnsiFile), u""},
      {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n\"Other\"=\"x\"", u"\u00FF\u0081 long"},
      {utf8File, u"\u00C4\u2122"},
      {"\xEF\xBB\xBF" + utf8File, u"\u00C4"},
      {utf16File, u"\u00C4\u2122"},
  };
  for (const auto& test : cases) {
    const fs::path file = folder_ / "saved.reg";
    std::ofstream(file, std::ios::binary) << test.file;
    Registry registry = Registry::Load(file);
    registry.SetValue(registry.Keys().front().path, u"Other", kRegSz, Sz(test.set));
    registry.Save(file);
    std::ifstream in(file, std::ios::binary);
    const std::vector<uint8_t> saved{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(saved, registry.Serialize()) << test.file;
    EXPECT_EQ(Registry::Load(file).Keys(), registry.Keys()) << test.file;
  }
}

TEST_F(Windows1252Test, ACharacterAnsiCannotHoldIsRefusedAtSaveAndTheFileStays) {
  const fs::path file = folder_ / "ansi.reg";
  std::ofstream(file, std::ios::binary) << kAnsiFile;
  Registry registry = Registry::Load(file);
  registry.SetValue(u"HKEY_LOCAL_MACHINE\\K\u00C4", u"Other", kRegSz, Sz(u"\u0141\u00F3d\u017A"));
  try {
    registry.Save(file);
    ADD_FAILURE() << "saved a character Windows-1252 has no form for";
  } catch (const RegFileError& error) {
    EXPECT_EQ(std::string(error.what()),
              file.string() +
                  ":5: cannot save: the character U+0141 has no Windows-1252 form, the encoding "
                  "of this REGEDIT4 file; the file is left as it was");
  }
  std::ifstream in(file, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), kAnsiFile);
  EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(folder_), {}), std::vector{file});
}

TEST_F(Windows1252Test, OnlyRegedit4FilesMayBeAnsi) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"[HKEY_LOCAL_MACHINE\\K]\n\"a\"=\"\xFC\"\n", "x.reg:2: malformed UTF-8"},
      {"Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=\"\xFC\"\n",
       "x.reg:4: malformed UTF-8"},
      {"\xEF\xBB\xBFREGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=\"\xFC\"\n",
       "x.reg:4: malformed UTF-8"},
      {"REGEDIT4X\n\"\xFC\"\n", "x.reg:2: malformed UTF-8"},
  };
  for (const auto& [file, message] : cases) EXPECT_EQ(ParseError(Bytes(file), "x.reg"), message);
}

}  // namespace
}  // namespace device
