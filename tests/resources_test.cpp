// The compiled string table, read back as the device's loader reads it, against the texts and
// languages the resource script gives.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "registry.h"
#include "res_file.h"

namespace {

struct ScriptString {
  uint32_t id;
  uint16_t language;
  std::string text;
};

// The string table entries of the resource script, each with the LANGUAGE in force above it.
std::vector<ScriptString> StringsInScript() {
  std::ifstream script(RESOURCE_SCRIPT);
  const std::regex language(R"(^LANGUAGE\s+0x([0-9A-Fa-f]+),\s*0x([0-9A-Fa-f]+))");
  const std::regex entry(R"re(^\s*(\d+),\s*"(.*)"\s*$)re");
  std::vector<ScriptString> strings;
  uint16_t current = 0;
  std::smatch match;
  for (std::string line; std::getline(script, line);) {
    if (std::regex_search(line, match, language)) {
      current = static_cast<uint16_t>(std::stoi(match[1], nullptr, 16) |
                                      std::stoi(match[2], nullptr, 16) << 10);
    } else if (std::regex_match(line, match, entry)) {
      strings.push_back({static_cast<uint32_t>(std::stoul(match[1])), current, match[2]});
    }
  }
  return strings;
}

std::vector<res::ResourceEntry> CompiledResources() {
  std::ifstream in(RESOURCE_FILE, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
  return res::ReadResFile(bytes, RESOURCE_FILE);
}

// String `id` as the program loads it: empty when absent.
std::u16string FindString(const std::vector<res::ResourceEntry>& entries, uint32_t id) {
  const auto location = res::LocateString(entries, id);
  return location ? location->text : u"";
}

TEST(StringTable, EveryScriptStringLoadsWithItsLanguageFromItsOwnBlock) {
  const std::vector<ScriptString> strings = StringsInScript();
  ASSERT_EQ(strings.size(), 5u);
  const auto entries = CompiledResources();
  for (const ScriptString& string : strings) {
    EXPECT_EQ(device::ToUtf8(FindString(entries, string.id)), string.text) << string.id;
    int blocks = 0;
    for (const res::ResourceEntry& entry : entries) {
      if (entry.type == res::ResourceId{res::RT_STRING} &&
          entry.name == res::ResourceId{static_cast<uint16_t>((string.id >> 4) + 1)}) {
        EXPECT_EQ(entry.language, string.language) << string.id;
        ++blocks;
      }
    }
    EXPECT_EQ(blocks, 1) << string.id;
  }
}

TEST(StringTable, NeighboursAndAbsentIdsLoadNothing) {
  const auto entries = CompiledResources();
  for (uint32_t id : {0u, 4999u, 5001u, 5019u, 5021u, 5031u, 5039u, 6001u, 65535u, 70000u}) {
    EXPECT_EQ(FindString(entries, id), u"") << id;
  }
}

TEST(ResFile, TruncatedOrForeignFilesAreRefusedWithTheirName) {
  std::ifstream in(RESOURCE_FILE, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
  const struct {
    std::vector<uint8_t> bytes;
    const char* message;
  } cases[] = {
      {{}, "x.res: empty file, not a resource file at offset 0"},
      {std::vector<uint8_t>(bytes.begin(), bytes.end() - 3), "x.res: truncated resource data"},
      {std::vector<uint8_t>(bytes.begin(), bytes.begin() + 40), "x.res: truncated resource header"},
      {{'M', 'Z', 0x90, 0, 3, 0, 0, 0, 4, 0, 0, 0}, "x.res: bad resource header size 3"},
  };
  for (const auto& test : cases) {
    try {
      res::ReadResFile(test.bytes, "x.res");
      ADD_FAILURE() << "accepted: " << test.message;
    } catch (const res::ResFileError& error) {
      EXPECT_NE(std::string(error.what()).find(test.message), std::string::npos) << error.what();
    }
  }
}

}  // namespace
