// Whole-file reading and replacement: the bounds and refusals every host tool relies on.
#include "file_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>

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

  // A device node made here, never one of the system's.
  fs::path Node(const char* name, mode_t kind, unsigned major, unsigned minor) {
    EXPECT_EQ(::mknod((folder_ / name).c_str(), kind | 0666, makedev(major, minor)), 0) << name;
    return folder_ / name;
  }
  fs::path Fifo(const char* name) {
    EXPECT_EQ(::mkfifo((folder_ / name).c_str(), 0600), 0);
    return folder_ / name;
  }
  // Names in the folder that start with a dot: temporary files left behind.
  std::vector<std::string> Hidden() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder_)) {
      if (entry.path().filename().string().starts_with(".")) names.push_back(entry.path());
    }
    return names;
  }

  fs::path folder_;
  int reader_ = -1;  // a FIFO's reader that takes nothing
};

std::span<const uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

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

// Every output, whatever its name leads to: a regular file is replaced whole, a FIFO or a
// character device written into and left what it is, anything else refused with one reason.
TEST_F(FileIoTest, WritesEachKindOfOutputByOneRuleAndNeverReplacesWhatIsNotARegularFile) {
  const std::string text = "new";
  const std::string large(1 << 20, 'x');  // more than a pipe holds
  std::string umlauts;
  for (int i = 0; i < 122; ++i) umlauts += "ä";
  const struct {
    const char* why;
    std::function<fs::path(FileIoTest&)> file;
    const std::string& bytes;
    std::optional<fileio::FileStep> refused;
    const char* message = nullptr;  // the error's, when refused
  } cases[] = {
      {"a regular file", [](FileIoTest& t) { return t.Write("a.reg", "old"); }, text, {}},
      {"a new file", [](FileIoTest& t) { return t.folder_ / "new.reg"; }, text, {}},
      {"a 248-byte name, whose temporary name must still fit",
       [&](FileIoTest& t) { return t.Write((umlauts + ".reg").c_str(), "old"); },
       text,
       {}},
      {"a device that takes anything",
       [](FileIoTest& t) { return t.Node("null", S_IFCHR, 1, 3); },
       text,
       {}},
      {"a link to a device",
       [](FileIoTest& t) {
         t.Node("null", S_IFCHR, 1, 3);
         fs::create_symlink("null", t.folder_ / "link");
         return t.folder_ / "link";
       },
       text,
       {}},
      {"a full device", [](FileIoTest& t) { return t.Node("full", S_IFCHR, 1, 7); }, text,
       fileio::FileStep::kWrite, "No space left on device"},
      {"a FIFO nobody reads", [](FileIoTest& t) { return t.Fifo("fifo"); }, text,
       fileio::FileStep::kNotRegular, "a FIFO that no process has open for reading"},
      {"a FIFO whose reader takes nothing",
       [](FileIoTest& t) {
         const fs::path fifo = t.Fifo("fifo");
         t.reader_ = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
         return fifo;
       },
       large, fileio::FileStep::kWrite, "the reader took nothing for too long"},
      {"a folder", [](FileIoTest& t) { return t.folder_; }, text, fileio::FileStep::kNotRegular,
       "a folder, not a regular file"},
      {"a block device", [](FileIoTest& t) { return t.Node("disk", S_IFBLK, 7, 200); }, text,
       fileio::FileStep::kNotRegular, "a block device, not a regular file"},
      {"a read-only file",
       [](FileIoTest& t) {
         const fs::path file = t.Write("a.reg", "old");
         fs::permissions(file, fs::perms(0444));
         return file;
       },
       text, fileio::FileStep::kReadOnly, "Permission denied"},
  };
  for (const auto& test : cases) {
    SetUp();
    const fs::path file = test.file(*this);
    struct stat before {};
    const bool existed = ::stat(file.c_str(), &before) == 0;
    try {
      fileio::ReplaceFile(file, Bytes(test.bytes), {.streamWait = std::chrono::milliseconds(200)});
      EXPECT_FALSE(test.refused) << test.why;
    } catch (const fileio::FileError& error) {
      ASSERT_TRUE(test.refused) << test.why << ": " << error.what();
      EXPECT_EQ(error.step, *test.refused) << test.why;
      EXPECT_EQ(error.code.message(), test.message) << test.why;
    }
    if (reader_ >= 0) ::close(std::exchange(reader_, -1));
    struct stat after {};
    ASSERT_EQ(::stat(file.c_str(), &after) == 0, existed || !test.refused) << test.why;
    if (existed) {
      EXPECT_EQ(after.st_mode & S_IFMT, before.st_mode & S_IFMT) << test.why;
      EXPECT_EQ(after.st_rdev, before.st_rdev) << test.why;
    }
    if (S_ISREG(after.st_mode)) {
      EXPECT_EQ(Read(file) == text, !test.refused) << test.why;
    }
    EXPECT_EQ(Hidden(), std::vector<std::string>{}) << test.why;
  }
}

TEST_F(FileIoTest, ReplacingKeepsOwnerGroupAndModeOrRefusesWhereItCannot) {
  ASSERT_EQ(::geteuid(), 0u) << "the owners below need root";
  constexpr uid_t kOther = 65534;  // nobody
  const fs::path owned = Write("owned.reg", "old");
  ASSERT_EQ(::chown(owned.c_str(), kOther, kOther), 0);
  ASSERT_EQ(::chmod(owned.c_str(), 02640), 0);
  fileio::ReplaceFile(owned, Bytes("new"));
  struct stat status {};
  ASSERT_EQ(::stat(owned.c_str(), &status), 0);
  EXPECT_EQ(Read(owned), "new");
  EXPECT_EQ(status.st_uid, kOther);
  EXPECT_EQ(status.st_gid, kOther);
  EXPECT_EQ(status.st_mode & 07777, 02640u);

  // Another user may write the file and its folder, but could only leave it owned by himself.
  const fs::path rootOwned = Write("root.reg", "old");
  fs::permissions(rootOwned, fs::perms(0666));
  fs::permissions(folder_, fs::perms(0777));
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(kOther) != 0 || ::setuid(kOther) != 0) ::_exit(2);
    try {
      fileio::ReplaceFile(rootOwned, Bytes("new"));
    } catch (const fileio::FileError& error) {
      ::_exit(error.step == fileio::FileStep::kOwnership ? 0 : 3);
    }
    ::_exit(4);
  }
  int exit = -1;
  ASSERT_EQ(::waitpid(child, &exit, 0), child);
  EXPECT_TRUE(WIFEXITED(exit) && WEXITSTATUS(exit) == 0) << exit;
  EXPECT_EQ(Read(rootOwned), "old");
  EXPECT_EQ(Hidden(), std::vector<std::string>{});
}

// A file read under the lock and then touched by another program is not replaced, and what
// became of it is said; a deleted one is not made again, a link put in its place not followed.
TEST_F(FileIoTest, ReplacesOnlyTheFileAsItWasRead) {
  const struct {
    const char* why;
    std::function<void(const fs::path& file, FileIoTest&)> meanwhile;
    const char* message;  // nullptr: replaced
  } cases[] = {
      {"untouched", [](auto&, auto&) {}, nullptr},
      {"edited", [](const fs::path& file, auto&) { std::ofstream(file, std::ios::app) << "x"; },
       "it was changed after it was read"},
      {"edited with its size and time stamp kept",
       [](const fs::path& file, auto&) {
         struct stat before {};
         ::stat(file.c_str(), &before);
         std::ofstream(file, std::ios::binary) << "OLD";
         const timespec times[2] = {before.st_atim, before.st_mtim};
         ::utimensat(AT_FDCWD, file.c_str(), times, 0);
       },
       "it was changed after it was read"},
      {"deleted", [](const fs::path& file, auto&) { fs::remove(file); },
       "it was deleted after it was read, and is not made again"},
      {"replaced by another file",
       [](const fs::path& file, FileIoTest& t) { fs::rename(t.Write("other", "old"), file); },
       "it was replaced by another file after it was read"},
      {"replaced by a link",
       [](const fs::path& file, FileIoTest& t) {
         t.Write("other", "old");
         fs::remove(file);
         fs::create_symlink("other", file);
       },
       "it was replaced by a symbolic link after it was read"},
  };
  for (const auto& test : cases) {
    SetUp();
    const fs::path file = Write("device.reg", "old");
    std::optional<fileio::LockedFile> locked(std::in_place, file, 16);
    EXPECT_EQ(locked->TakeBytes(), std::vector<uint8_t>({'o', 'l', 'd'}));
    test.meanwhile(file, *this);
    const std::string before = fs::exists(file) ? Read(file) : "(none)";
    try {
      fileio::ReplaceFile(file, Bytes("new"), {.unchangedSince = &locked->identity()});
      EXPECT_FALSE(test.message) << test.why;
      EXPECT_EQ(Read(file), "new") << test.why;
    } catch (const fileio::FileError& error) {
      ASSERT_TRUE(test.message) << test.why << ": " << error.what();
      EXPECT_EQ(error.step, fileio::FileStep::kChanged) << test.why;
      EXPECT_EQ(error.code.message(), test.message) << test.why;
      EXPECT_EQ(fs::exists(file) ? Read(file) : "(none)", before) << test.why;
    }
    if (fs::exists(folder_ / "other")) {
      EXPECT_EQ(Read(folder_ / "other"), "old") << test.why;
    }
    EXPECT_EQ(Hidden(), std::vector<std::string>{}) << test.why;
  }
}

// Two holders of one file take turns; the second, kept waiting while the first replaced the
// file, reads what the first saved, not the file it opened.
TEST_F(FileIoTest, TheLockMakesASecondReaderWaitForTheFirstSave) {
  const fs::path file = Write("device.reg", "first");
  std::optional<fileio::LockedFile> first(std::in_place, file, 16);
  std::atomic<bool> waited = false;
  std::vector<uint8_t> secondRead;
  std::thread second([&] {
    fileio::LockedFile locked(file, 16, [&] { waited = true; });
    secondRead = locked.TakeBytes();
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!waited && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(waited) << "the second reader did not wait for the first";
  fileio::ReplaceFile(file, Bytes("second"), {.unchangedSince = &first->identity()});
  first.reset();
  second.join();
  EXPECT_EQ(std::string(secondRead.begin(), secondRead.end()), "second");
}

}  // namespace
