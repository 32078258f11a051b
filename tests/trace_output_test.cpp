// The JSON form of traced calls, including text the trace cannot mark unambiguously.
#include "trace_output.h"

#include <gtest/gtest.h>

#include <sstream>

#include "device.h"

namespace {

TEST(TraceAsJson, KeepsEveryArgumentsTextAndNeverFailsOnABackslash) {
  const struct {
    const char* call;
    const char* json;
  } cases[] = {
      {R"(RegOpenKeyExW(HKEY_LOCAL_MACHINE, "\System\xyz", 0, 0, buffer) -> ERROR_SUCCESS)",
       R"({"call":"RegOpenKeyExW","arguments":["HKEY_LOCAL_MACHINE","\\System\\xyz",0,0,)"
       R"("buffer"],"result":"ERROR_SUCCESS"})"},
      {R"(MessageBoxW(NULL, "a\x0Ab \"c\"", "\x4", MB_OK) -> IDOK)",
       R"({"call":"MessageBoxW","arguments":[null,"a\u000Ab \"c\"","\\x4","MB_OK"],)"
       R"("result":"IDOK"})"},
      {R"(LoadStringW(0x02C4F0A6, 5020, buffer, "\x") -> 0)",
       R"({"call":"LoadStringW","arguments":["0x02C4F0A6",5020,"buffer","\\x"],"result":"0"})"},
      {"not a call", R"({"line":"not a call"})"},
  };
  for (const auto& test : cases) EXPECT_EQ(cesim::TraceCallAsJson(test.call), test.json);
}

// Whatever a program passes, the traced text and its JSON form both say it and nothing else: a
// backslash that would read as an escape is traced as one.
TEST(TraceAsJson, AKeyNameComesBackAsItWasPassed) {
  const struct {
    const char16_t* name;
    const char* traced;
    const char* json;
  } cases[] = {
      {u"System\\StorageManager", R"("System\StorageManager")", R"("System\\StorageManager")"},
      {u"a\\x41", R"("a\x5Cx41")", R"("a\\x41")"},
      {u"a\\x5C", R"("a\x5Cx5C")", R"("a\\x5C")"},
      {u"ends\\", R"("ends\x5C")", R"("ends\\")"},
      {u"q\\\"", R"("q\x5C\"")", R"("q\\\"")"},
      {u"\\\\x", R"("\\x5Cx")", R"("\\\\x")"},
      {u"tab\t", R"("tab\x09")", R"("tab\u0009")"},
  };
  for (const auto& test : cases) {
    std::ostringstream out;
    std::string call;
    device::DeviceSettings settings;
    settings.trace = true;
    device::Console console{out};
    console.trace = [&call](const std::string& traced) { call = traced; };
    device::Device device({}, {}, settings, console);
    HKEY key = 0;
    device.RegOpenKeyExW(HKEY_LOCAL_MACHINE, test.name, 0, 0, &key);
    EXPECT_EQ(call.substr(0, call.find(", 0, 0")),
              std::string("RegOpenKeyExW(HKEY_LOCAL_MACHINE, ") + test.traced);
    EXPECT_NE(cesim::TraceCallAsJson(call).find(std::string("[\"HKEY_LOCAL_MACHINE\",") +
                                                test.json + ",0,"),
              std::string::npos)
        << cesim::TraceCallAsJson(call);
  }
}

}  // namespace
