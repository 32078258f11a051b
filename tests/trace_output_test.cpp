// The text and JSON forms of call records: every kind of value in both, and three values whose
// data the old trace mangled, written natively and by a program on the emulated CPU.
#include "trace_output.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "cesim_runner.h"
#include "device.h"

namespace {

namespace as = device::as;
using device::CallRecord;

std::vector<uint8_t> Utf16(std::u16string_view text) {
  std::vector<uint8_t> bytes;
  for (char16_t unit : text) {
    bytes.push_back(static_cast<uint8_t>(unit));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  return bytes;
}

// One call with `value` as its only argument, rendered both ways.
TEST(TraceForms, WriteEveryKindOfValue) {
  const struct {
    device::Value value;
    const char* text;
    const char* json;
  } cases[] = {
      {as::Null(), "NULL", "null"},
      {as::Pointer(&cases), "buffer", R"("buffer")"},
      {as::BadPointer(4, "unmapped"), "bad pointer 0x00000004 (unmapped)",
       R"({"badPointer":"0x00000004","where":"unmapped"})"},
      {as::Handle(0x2001), "0x00002001", R"("0x00002001")"},
      {as::Number(-5), "-5", "-5"},
      {as::BoxStyle(0x1014), "MB_YESNO | MB_ICONHAND | 0x00001000",
       R"("MB_YESNO | MB_ICONHAND | 0x00001000")"},
      {as::RegResult(1234), "0x000004D2", R"("0x000004D2")"},  // no name: in hex
      {as::Word(15), "[15]", "[15]"},
      // Text: a backslash stays, except where it would read as an escape.
      {as::Text(u"\\System\\StorageManager"), R"("\System\StorageManager")",
       R"("\\System\\StorageManager")"},
      {as::Text(u"a\\x41"), R"("a\x5Cx41")", R"("a\\x41")"},
      {as::Text(u"ends\\"), R"("ends\x5C")", R"("ends\\")"},
      {as::Text(u"q\\\""), R"("q\x5C\"")", R"("q\\\"")"},
      {as::Text(u"\\\\x"), R"("\\x5Cx")", R"("\\\\x")"},
      {as::Text(u"tab\t\x7F"), "\"tab\\x09\x7F\"", "\"tab\\t\x7F\""},
      {as::Text(u"Geräte \xD800!"), "\"Geräte \xEF\xBF\xBD!\"", "\"Geräte \xEF\xBF\xBD!\""},
      // Value data.
      {as::ValueData(device::kRegBinary, std::vector<uint8_t>{1, 0x2C, 0, 0xFF}), "hex:01,2c,00,ff",
       R"({"hex":"012c00ff"})"},
      {as::ValueData(device::kRegDword, std::vector<uint8_t>{1, 0, 0, 0}), "dword:00000001",
       R"({"hex":"01000000"})"},
      {as::ValueData(device::kRegNone, {}), "hex(0):", R"({"hex":""})"},
      {as::ValueData(device::kRegSz, Utf16(u"ab")), "hex(1):61,00,62,00",  // unterminated
       R"({"hex":"61006200"})"},
      {as::ValueData(device::kRegExpandSz, Utf16(std::u16string(u"%a%\\\0", 5))), R"("%a%\x5C")",
       R"("%a%\\")"},
      {as::ValueData(device::kRegMultiSz, Utf16(std::u16string(u"a\"\0\0b\0\0", 7))),
       R"(multi_sz:"a\"","","b")", R"(["a\"","","b"])"},
      {as::ValueData(device::kRegMultiSz, Utf16(std::u16string(u"\0", 1))), "multi_sz:", "[]"},
  };
  for (const auto& test : cases) {
    const CallRecord call{"F", {test.value}, as::Number(0)};
    EXPECT_EQ(cesim::CallAsText(call), std::string("F(") + test.text + ") -> 0");
    EXPECT_EQ(cesim::CallAsJson(call),
              std::string(R"({"call":"F","arguments":[)") + test.json + R"(],"result":0})");
  }
}

// What follows the arrow: the result, what the call handed back, and a note.
TEST(TraceForms, WriteWhatACallGaveBack) {
  const struct {
    CallRecord call;
    const char* text;
    const char* json;
  } cases[] = {
      {{"RegCloseKey", {as::Key(0x80000002)}, as::RegResult(0)},
       "RegCloseKey(HKEY_LOCAL_MACHINE) -> ERROR_SUCCESS",
       R"({"call":"RegCloseKey","arguments":["HKEY_LOCAL_MACHINE"],"result":"ERROR_SUCCESS"})"},
      {{"R", {}, as::RegResult(0), {{"key", as::Handle(0x2002)}}},
       "R() -> ERROR_SUCCESS, key 0x00002002",
       R"({"call":"R","arguments":[],"result":"ERROR_SUCCESS","returned":{"key":"0x00002002"}})"},
      {{"L", {}, as::Number(3), {{"text", as::Text(u"Sie")}}, "a fault storing the terminator"},
       R"(L() -> 3 "Sie" (a fault storing the terminator))",
       R"({"call":"L","arguments":[],"result":3,"returned":{"text":"Sie"},)"
       R"("note":"a fault storing the terminator"})"},
      {{"M", {}, as::BoxResult(0), {}, "not shown"},
       "M() -> 0 (not shown)",
       R"({"call":"M","arguments":[],"result":0,"note":"not shown"})"},
      {{"K", {}, std::nullopt, {}, "does not return: the device resets"},
       "K() -> does not return: the device resets",
       R"({"call":"K","arguments":[],"note":"does not return: the device resets"})"},
  };
  for (const auto& test : cases) {
    EXPECT_EQ(cesim::CallAsText(test.call), test.text);
    EXPECT_EQ(cesim::CallAsJson(test.call), test.json);
  }
}

// Three values written to a profile key, each one argument in both forms, exactly what was
// passed. The same program runs natively here and on the emulated CPU (value_data.s).
struct WrittenValue {
  const char16_t* name;
  DWORD type;
  std::vector<uint8_t> data;
  const char* text;
  const char* json;
};

const WrittenValue kWrittenValues[] = {
    {u"Bytes",
     device::kRegBinary,
     {0x01, 0x2C, 0x00, 0xFF},
     "RegSetValueExW(0x00002001, \"Bytes\", 0, REG_BINARY, hex:01,2c,00,ff, 4) -> ERROR_SUCCESS",
     R"({"call":"RegSetValueExW","arguments":["0x00002001","Bytes",0,"REG_BINARY",)"
     R"({"hex":"012c00ff"},4],"result":"ERROR_SUCCESS"})"},
    {u"Path", device::kRegSz, Utf16(std::u16string(u"\\Storage Card\\x41\\\0", 19)),
     R"(RegSetValueExW(0x00002001, "Path", 0, REG_SZ, "\Storage Card\x5Cx41\x5C", 38) -> )"
     "ERROR_SUCCESS",
     R"({"call":"RegSetValueExW","arguments":["0x00002001","Path",0,"REG_SZ",)"
     R"("\\Storage Card\\x41\\",38],"result":"ERROR_SUCCESS"})"},
    {u"List", device::kRegMultiSz, Utf16(std::u16string(u"one\0\0two \"quoted\"\0\0", 19)),
     R"(RegSetValueExW(0x00002001, "List", 0, REG_MULTI_SZ, multi_sz:"one","","two \"quoted\"", )"
     "38) -> ERROR_SUCCESS",
     R"({"call":"RegSetValueExW","arguments":["0x00002001","List",0,"REG_MULTI_SZ",)"
     R"(["one","","two \"quoted\""],38],"result":"ERROR_SUCCESS"})"},
};

std::vector<std::string> Lines(const std::string& text, const std::string& part) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.find(part) != std::string::npos) lines.push_back(line);
  }
  return lines;
}

TEST(TraceForms, ShowValueDataExactlyNativelyAndEmulated) {
  std::ostringstream out;
  std::istringstream in;
  std::vector<CallRecord> calls;
  device::Console console{out, in};
  console.calls = [&calls](const CallRecord& call) { calls.push_back(call); };
  device::Device device(device::Registry::Load(FACTORY_REGISTRY), {}, {}, console);
  HKEY key = 0;
  ASSERT_EQ(device.RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"\\System\\StorageManager\\Profiles\\MMC", 0,
                                 0, &key),
            ERROR_SUCCESS);
  for (const WrittenValue& value : kWrittenValues) {
    EXPECT_EQ(device.RegSetValueExW(key, value.name, 0, value.type, value.data.data(),
                                    static_cast<DWORD>(value.data.size())),
              ERROR_SUCCESS);
    EXPECT_EQ(cesim::CallAsText(calls.back()), value.text);
    EXPECT_EQ(cesim::CallAsJson(calls.back()), value.json);
    // The JSON's data reads back as what was passed.
    const nlohmann::json data = nlohmann::json::parse(value.json)["arguments"][4];
    if (data.is_string()) {
      EXPECT_EQ(Utf16(device::FromUtf8(data.get<std::string>()) + u'\0'), value.data);
    }
  }

  ScratchFolder scratch;
  const std::string image = VALUE_DATA_IMAGE, traceFile = (scratch.path() / "trace").string();
  const CesimRun text = RunCesim({"--image", image, "--trace"});
  const CesimRun json =
      RunCesim({"--image", image, "--trace-format", "json", "--trace-file", traceFile});
  EXPECT_EQ(text.exitStatus, 0) << text.err;
  EXPECT_EQ(json.exitStatus, 0) << json.err;
  const std::vector<std::string> textLines = Lines(text.out, "RegSetValueExW");
  const std::vector<std::string> jsonLines = Lines(ReadText(traceFile), "RegSetValueExW");
  ASSERT_EQ(textLines.size(), std::size(kWrittenValues));
  ASSERT_EQ(jsonLines.size(), std::size(kWrittenValues));
  for (size_t i = 0; i < std::size(kWrittenValues); ++i) {
    EXPECT_EQ(textLines[i], std::string("trace: ") + kWrittenValues[i].text);
    EXPECT_EQ(jsonLines[i], kWrittenValues[i].json);
  }
}

}  // namespace
