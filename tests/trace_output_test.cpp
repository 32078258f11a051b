// The JSON form of traced calls, including text the trace cannot mark unambiguously.
#include "trace_output.h"

#include <gtest/gtest.h>

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

}  // namespace
