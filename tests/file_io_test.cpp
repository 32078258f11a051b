// Whole-file reading and replacement: the bounds and refusals every host tool relies on.
#include "file_io.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <optional>

namespace {

namespace fs = std::filesystem;

class FileIoTest : public testing::Test {
 public:
  void SetUp() override {
    folder_ =
        fs::temp_directory_path() / ("file-io-test-" + std::to_string(::getpid()) + "-" +
                                     testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  fs::path Write(const char* name, const std::string& text) {
    std::ofstream(folder_ / name, std::ios::binary) << text;
    return folder_ / name;
  }
  static std::string Read(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  fs::path folder_;
};

TEST_F(FileIoTest, ReadsUpToTheLimitAndRefusesAnythingElseWithoutBlocking) {
  const struct {
    const char* why;
    std::function<fs::path(FileIoTest&)> file;
    size_t limit;
    std::optional<fileio::FileStep> refused;
    const char* message = nullptr;
  } cases[] = {
      {"empty", [](FileIoTest& t) { return t.Write("a", ""); }, 4, std::nullopt},
      {"at the limit", [](FileIoTest& t) { return t.Write("a", "1234"); }, 4, std::nullopt},
      {"one byte over", [](FileIoTest& t) { return t.Write("a", "12345"); }, 4,
       fileio::FileStep::kTooLarge, "File too large"},
      {"a file the kernel sizes as 0", [](FileIoTest&) { return fs::path("/proc/self/status"); },
       1 << 20, std::nullopt},
      {"a file the kernel sizes as 0, over the limit",
       [](FileIoTest&) { return fs::path("/proc/self/status"); }, 8, fileio::FileStep::kTooLarge},
      {"a FIFO without a writer",
       [](FileIoTest& t) {
         ::mkfifo((t.folder_ / "fifo").c_str(), 0600);
         return t.folder_ / "fifo";
       },
       4, fileio::FileStep::kNotRegular, "a FIFO, not a regular file"},
      {"a folder", [](FileIoTest& t) { return t.folder_; }, 4, fileio::FileStep::kNotRegular,
       "a folder, not a regular file"},
      {"a device", [](FileIoTest&) { return fs::path("/dev/zero"); }, 4,
       fileio::FileStep::kNotRegular, "a character device, not a regular file"},
      {"missing", [](FileIoTest& t) { return t.folder_ / "missing"; }, 4, fileio::FileStep::kRead,
       "No such file or directory"},
  };
  for (const auto& test : cases) {
    const fs::path file = test.file(*this);
    try {
      const std::vector<uint8_t> bytes = fileio::ReadWholeFile(file, test.limit);
      EXPECT_FALSE(test.refused) << test.why;
      EXPECT_LE(bytes.size(), test.limit) << test.why;
      if (file.parent_path() == folder_) {
        EXPECT_EQ(bytes.size(), fs::file_size(file)) << test.why;
      }
    } catch (const fileio::FileError& error) {
      ASSERT_TRUE(test.refused) << test.why << ": " << error.what();
      EXPECT_EQ(error.step, *test.refused) << test.why;
      if (test.message) {
        EXPECT_EQ(error.code.message(), test.message) << test.why;
      }
    }
  }
}

TEST_F(FileIoTest, ReplacingThroughLinksWritesTheFileTheyNameAndKeepsThem) {
  fs::create_directory(folder_ / "data");
  const fs::path target = Write("data/device.reg", "old");
  fs::create_symlink("data/device.reg", folder_ / "link.reg");
  fs::create_symlink("link.reg", folder_ / "link-to-link.reg");
  fs::create_symlink("data/new.reg", folder_ / "dangling.reg");
  EXPECT_EQ(fileio::ResolveReplaceTarget(folder_ / "link-to-link.reg").file, folder_ / target);
  EXPECT_EQ(fileio::ResolveReplaceTarget(folder_ / "link-to-link.reg").hardLinks, 1u);
  EXPECT_EQ(fileio::ResolveReplaceTarget(folder_ / "dangling.reg").hardLinks, 0u);

  const std::string text = "new";
  const auto bytes = std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  fileio::ReplaceFile(folder_ / "link-to-link.reg", bytes);
  EXPECT_EQ(Read(target), "new");
  EXPECT_TRUE(fs::is_symlink(folder_ / "link.reg"));
  EXPECT_TRUE(fs::is_symlink(folder_ / "link-to-link.reg"));

  fileio::ReplaceFile(folder_ / "dangling.reg", bytes);  // the file the link names is made
  EXPECT_TRUE(fs::is_symlink(folder_ / "dangling.reg"));
  EXPECT_EQ(Read(folder_ / "data" / "new.reg"), "new");
}

TEST_F(FileIoTest, RefusesALoopOfLinksAndAFileWithoutWritePermission) {
  fs::create_symlink("b.reg", folder_ / "a.reg");
  fs::create_symlink("a.reg", folder_ / "b.reg");
  const std::vector<uint8_t> bytes = {'x'};
  try {
    fileio::ReplaceFile(folder_ / "a.reg", bytes);
    ADD_FAILURE() << "a loop of links was followed";
  } catch (const fileio::FileError& error) {
    EXPECT_EQ(error.code, std::errc::too_many_symbolic_link_levels);
  }

  const fs::path readOnly = Write("read-only.reg", "old");
  fs::permissions(readOnly, fs::perms(0444));
  try {
    fileio::ReplaceFile(readOnly, bytes);
    ADD_FAILURE() << "a read-only file was replaced";
  } catch (const fileio::FileError& error) {
    EXPECT_EQ(error.step, fileio::FileStep::kReadOnly);
  }
  EXPECT_EQ(Read(readOnly), "old");
  EXPECT_EQ(fs::status(readOnly).permissions(), fs::perms(0444));
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 3);
}

}  // namespace
