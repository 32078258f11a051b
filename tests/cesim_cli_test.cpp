// cesim as a command-line tool: the files it refuses to read, where its saves land, what it does
// when its output is lost, its limits, and the trace written to a file. Each case runs natively
// and with the device image on the emulated CPU.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <optional>

#include "cesim_runner.h"

namespace {

namespace fs = std::filesystem;

const fs::path kFactoryRegistry = FACTORY_REGISTRY;

// The two ways the update runs; everything here must hold for both.
const std::vector<std::vector<std::string>> kRunners = {{}, {"--image", DEVICE_IMAGE}};

std::vector<std::string> Join(std::vector<std::string> first,
                              const std::vector<std::string>& then) {
  first.insert(first.end(), then.begin(), then.end());
  return first;
}

bool HoldsTheUpdate(const fs::path& registry) {
  return ReadText(registry).find("Speicherkarte") != std::string::npos;
}

// A device node made in `folder` (never one of the system's): 1,5 reads as zeros, 1,3 takes
// anything, 1,7 is always full.
fs::path Node(const fs::path& folder, const char* name, unsigned minor) {
  const fs::path node = folder / name;
  EXPECT_EQ(mknod(node.c_str(), S_IFCHR | 0666, makedev(1, minor)), 0) << node;
  return node;
}

// The text with every run of blanks and line ends as one blank: summary lines as written, however
// they wrapped.
std::string Unwrapped(const std::string& text) {
  std::string joined;
  for (char c : text) {
    const bool blank = c == ' ' || c == '\n';
    if (!blank || (!joined.empty() && joined.back() != ' ')) joined += blank ? ' ' : c;
  }
  return joined;
}

// A file of `size` bytes that takes no room on disk.
fs::path SparseFile(const fs::path& folder, const char* name, uintmax_t size) {
  const fs::path file = folder / name;
  std::ofstream{file};
  fs::resize_file(file, size);
  return file;
}

TEST(CesimInput, RefusesWhatIsNotARegularFileOrPastItsLimit) {
  const struct {
    const char* option;
    std::function<fs::path(const fs::path& scratch)> file;
    const char* problem;  // after "cesim: FILE: "
  } cases[] = {
      {"--rom-block", [](auto& scratch) { return Node(scratch, "zero", 5); },
       "cannot read: a character device, not a regular file"},
      {"--registry", [](auto& scratch) { return Node(scratch, "zero", 5); },
       "cannot read: a character device, not a regular file"},
      {"--image", [](auto& scratch) { return Node(scratch, "zero", 5); },
       "cannot read: a character device, not a regular file"},
      {"--registry",
       [](const fs::path& scratch) {
         EXPECT_EQ(mkfifo((scratch / "fifo").c_str(), 0600), 0);
         return scratch / "fifo";
       },
       "cannot read: a FIFO, not a regular file"},
      {"--image", [](const fs::path& scratch) { return scratch; },
       "cannot read: a folder, not a regular file"},
      {"--rom-block", [](auto& scratch) { return SparseFile(scratch, "rom.bin", 161); },
       "a ROM information block is 160 bytes, this file has more"},
      {"--image",
       [](auto& scratch) { return SparseFile(scratch, "big.exe", 32 * 1024 * 1024 + 1); },
       "larger than 32 MiB, the process slot a Windows CE 4.20 program runs in"},
      {"--registry",
       [](auto& scratch) { return SparseFile(scratch, "big.reg", 64 * 1024 * 1024 + 1); },
       "cannot read: larger than 64 MiB, the most a registry file holds"},
  };
  for (const auto& test : cases) {
    for (const auto& runner : kRunners) {
      if (std::string(test.option) == "--image" && !runner.empty()) continue;
      ScratchFolder scratch;
      const fs::path file = test.file(scratch.path());
      CesimRun run = RunCesim(Join(runner, {test.option, file.string(), "--answer", "no"}));
      const std::string expected = "cesim: " + file.string() + ": " + test.problem + "\n";
      EXPECT_EQ(run.exitStatus, 2) << expected;
      EXPECT_EQ(run.err, expected);
      EXPECT_EQ(run.out, "") << expected;
    }
  }
}

// A file read at the limit that the run makes longer (each "Speicherkarte" is a byte longer
// than "Storage Card") could not be read back: it is not saved, and the limit is named.
TEST(CesimSave, AFileThatWouldGrowPastTheLimitIsNotSaved) {
  constexpr size_t kLimit = 64 * 1024 * 1024;
  for (const auto& runner : {kRunners[0]}) {  // 64 MiB read twice would take too long
    ScratchFolder scratch;
    const fs::path registry = scratch.path() / "full.reg";
    std::string text = ReadText(kFactoryRegistry) + ";";
    text += std::string(kLimit - text.size() - 1, 'x') + "\n";
    std::ofstream(registry, std::ios::binary) << text;
    CesimRun run = RunCesim(Join(runner, {"--registry", registry.string(), "--answer", "no"}));
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.err, "cesim: " + registry.string() + ": cannot save: it would be " +
                           std::to_string(kLimit + 3) +
                           " bytes, more than the 64 MiB a registry file holds; the file is left "
                           "as it was\n");
    EXPECT_EQ(fs::file_size(registry), kLimit);
  }
}

TEST(CesimInput, CommandLineHasOneLimitNativeAndEmulated) {
  const std::string ascii4095(4095, 'x');
  std::string umlauts4095;  // two UTF-8 bytes, one UTF-16 unit each
  for (int i = 0; i < 4095; ++i) umlauts4095 += "ü";
  std::string pairs2048;  // four UTF-8 bytes, two UTF-16 units each
  for (int i = 0; i < 2048; ++i) pairs2048 += "😀";
  const struct {
    std::string text;
    int status;
  } cases[] = {{ascii4095, 0}, {umlauts4095, 0}, {ascii4095 + "x", 2}, {pairs2048, 2}};
  for (const auto& test : cases) {
    for (const auto& runner : kRunners) {
      CesimRun run = RunCesim(Join(runner, {"--answer", "no", "--command-line", test.text}));
      EXPECT_EQ(run.exitStatus, test.status) << run.err;
      if (test.status == 2) {
        EXPECT_EQ(run.err,
                  "cesim: --command-line: 4096 UTF-16 units, more than the 4095 the device passes "
                  "to a program (see cesim --help)\n");
      }
    }
  }
}

// A registry file laid out in a scratch folder: the name given to cesim and the file it names.
struct RegistryLayout {
  fs::path given, target;
  fs::path otherName;  // a second hard link, when there is one
};

RegistryLayout PlainFile(const fs::path& scratch) {
  fs::copy_file(kFactoryRegistry, scratch / "device.reg");
  return {scratch / "device.reg", scratch / "device.reg", {}};
}

TEST(CesimSave, LandsWhereTheUserMeantOrSaysWhyNot) {
  const struct {
    const char* why;
    std::function<RegistryLayout(const fs::path&)> layout;
    int status;
    const char* summary;  // the registry file line, "{given}" and "{target}" replaced
  } cases[] = {
      {"a plain file", PlainFile, 0, "registry file: {given} saved\n"},
      {"a symbolic link, relative to its own folder",
       [](const fs::path& scratch) {
         fs::create_directory(scratch / "data");
         fs::create_directory(scratch / "links");
         fs::copy_file(kFactoryRegistry, scratch / "data" / "device.reg");
         fs::create_symlink("../data/device.reg", scratch / "links" / "device.reg");
         return RegistryLayout{
             scratch / "links" / "device.reg", scratch / "data" / "device.reg", {}};
       },
       0, "registry file: {given} saved to {target}, the file the link names\n"},
      {"a chain of two links",
       [](const fs::path& scratch) {
         fs::copy_file(kFactoryRegistry, scratch / "device.reg");
         fs::create_symlink("device.reg", scratch / "second.reg");
         fs::create_symlink(scratch / "second.reg", scratch / "first.reg");
         return RegistryLayout{scratch / "first.reg", scratch / "device.reg", {}};
       },
       0, "registry file: {given} saved to {target}, the file the link names\n"},
      {"a file with a second hard link",
       [](const fs::path& scratch) {
         RegistryLayout layout = PlainFile(scratch);
         fs::create_hard_link(layout.target, scratch / "copy.reg");
         layout.otherName = scratch / "copy.reg";
         return layout;
       },
       0, "registry file: {given} saved; its 1 other hard link keeps the old contents\n"},
      {"a read-only file",
       [](const fs::path& scratch) {
         RegistryLayout layout = PlainFile(scratch);
         fs::permissions(layout.target, fs::perms(0444));
         return layout;
       },
       1, "registry file: {given} NOT saved: the changes above are lost\n"},
      {"a file another user owns, kept his",
       [](const fs::path& scratch) {
         RegistryLayout layout = PlainFile(scratch);
         fs::permissions(layout.target, fs::perms(0640));
         EXPECT_EQ(chown(layout.target.c_str(), 65534, 65534), 0);
         return layout;
       },
       0, "registry file: {given} saved\n"},
      {"a 248-byte name, as long as a temporary name beside it may be",
       [](const fs::path& scratch) {
         std::string name;
         for (int i = 0; i < 122; ++i) name += "ä";
         fs::copy_file(kFactoryRegistry, scratch / (name + ".reg"));
         return RegistryLayout{scratch / (name + ".reg"), scratch / (name + ".reg"), {}};
       },
       0, "registry file: {given} saved\n"},
      {"a link to a read-only file",
       [](const fs::path& scratch) {
         RegistryLayout layout = PlainFile(scratch);
         fs::permissions(layout.target, fs::perms(0444));
         fs::create_symlink("device.reg", scratch / "link.reg");
         layout.given = scratch / "link.reg";
         return layout;
       },
       1, "registry file: {given} NOT saved: the changes above are lost\n"},
  };
  for (const auto& test : cases) {
    for (const auto& runner : kRunners) {
      ScratchFolder scratch;
      const RegistryLayout layout = test.layout(scratch.path());
      const bool wasLink = fs::is_symlink(layout.given);
      const auto modeBefore = fs::status(layout.target).permissions();
      struct stat ownerBefore {};
      ASSERT_EQ(stat(layout.target.c_str(), &ownerBefore), 0);
      CesimRun run =
          RunCesim(Join(runner, {"--registry", layout.given.string(), "--answer", "no"}),
                   {"COLUMNS=1000"});  // no summary line wraps, whatever the scratch folder's path
      EXPECT_EQ(run.exitStatus, test.status) << test.why << "\n" << run.err;
      std::string summary = test.summary;
      summary.replace(summary.find("{given}"), 7, layout.given.string());
      if (summary.find("{target}") != std::string::npos) {
        summary.replace(summary.find("{target}"), 8, fs::weakly_canonical(layout.target).string());
      }
      EXPECT_TRUE(run.out.ends_with(summary)) << test.why << "\n" << run.out;
      EXPECT_EQ(fs::is_symlink(layout.given), wasLink) << test.why;
      EXPECT_EQ(fs::status(layout.target).permissions(), modeBefore) << test.why;
      struct stat ownerAfter {};
      ASSERT_EQ(stat(layout.target.c_str(), &ownerAfter), 0);
      EXPECT_EQ(ownerAfter.st_uid, ownerBefore.st_uid) << test.why;
      EXPECT_EQ(ownerAfter.st_gid, ownerBefore.st_gid) << test.why;
      EXPECT_EQ(HoldsTheUpdate(layout.target), test.status == 0) << test.why;
      if (!layout.otherName.empty()) {
        EXPECT_FALSE(HoldsTheUpdate(layout.otherName)) << test.why;
      }
      if (test.status == 0) {
        EXPECT_EQ(run.err, "") << test.why;
        EXPECT_NE(run.out.find("  exit status: 0\n"), std::string::npos) << test.why;
      } else {
        EXPECT_NE(run.out.find("  exit status: 0 (the program's); cesim exits 1: nothing saved\n"),
                  std::string::npos)
            << test.why;
        EXPECT_EQ(run.err, "cesim: " + layout.given.string() + ": cannot save: replacing " +
                               layout.target.string() +
                               " (mode 0444, no write permission): Permission denied\n")
            << test.why;
      }
      for (const auto& entry : fs::recursive_directory_iterator(scratch.path())) {
        EXPECT_FALSE(entry.path().filename().string().starts_with(".")) << entry.path();
      }
    }
  }
}

// Lost output is reported, and the status says what matters most: a save that failed (1) or a
// fault (3) before a lost output (4).
TEST(CesimOutput, LostOutputLeavesTheSaveAloneAndIsReported) {
  const struct {
    const char* why;
    CesimOutput output;
    std::vector<std::string> arguments;
    bool readOnly;  // the registry file
    int status;
    const char* error;  // the last line on stderr
  } cases[] = {
      {"a full disk",
       CesimOutput::Full,
       {},
       false,
       4,
       "cesim: the output could not be written: No space left on device\n"},
      {"a closed pipe",
       CesimOutput::ClosedPipe,
       {},
       false,
       4,
       "cesim: the output could not be written: Broken pipe\n"},
      {"a full disk and a file not saved",
       CesimOutput::Full,
       {},
       true,
       1,
       "cesim: the output could not be written: No space left on device\n"},
      {"a full disk and a fault",
       CesimOutput::Full,
       {"--max-instructions", "250"},
       false,
       3,
       "cesim: the output could not be written: No space left on device\n"},
      {"a trace file on a full device",
       CesimOutput::Captured,
       {"--trace-file", "{full}"},
       false,
       4,
       "cesim: {full}: the trace could not be written: writing {full}: No space left on device\n"},
  };
  for (const auto& test : cases) {
    for (const auto& runner : kRunners) {
      const bool faults = test.status == 3;
      if (faults && runner.empty()) continue;  // only an emulated run counts instructions
      ScratchFolder scratch;
      const fs::path registry = PlainFile(scratch.path()).target;
      if (test.readOnly) fs::permissions(registry, fs::perms(0444));
      const std::string full = Node(scratch.path(), "full", 7).string();
      std::vector<std::string> arguments =
          Join(runner, {"--registry", registry.string(), "--answer", "no", "--trace"});
      for (const std::string& argument : test.arguments) {
        arguments.push_back(argument == "{full}" ? full : argument);
      }
      CesimRun run = RunCesim(arguments, {}, test.output);
      std::string error = test.error;
      for (size_t at; (at = error.find("{full}")) != std::string::npos;) error.replace(at, 6, full);
      EXPECT_EQ(run.exitStatus, test.status) << test.why << "\n" << run.err;
      EXPECT_TRUE(run.err.ends_with(error)) << test.why << "\n" << run.err;
      EXPECT_EQ(HoldsTheUpdate(registry), !test.readOnly && !faults) << test.why;
      EXPECT_TRUE(fs::is_character_file(full)) << test.why;
    }
  }
  for (CesimOutput output : {CesimOutput::Full, CesimOutput::ClosedPipe}) {
    CesimRun help = RunCesim({"--help"}, {}, output);
    EXPECT_EQ(help.exitStatus, 4);
  }
}

// What a pipe took before its reader left is not lost: cesim reports lost output only for a write
// that failed, as the standard tools do. A reader that reads only after cesim ended gets the
// whole output, status 0; `| head -1` gets 0 or 4 by the timing, and the run is whole either way.
TEST(CesimOutput, APipeKeepsWhatItTookBeforeItsReaderLeft) {
  for (const auto& runner : kRunners) {
    ScratchFolder scratch;
    const fs::path registry = PlainFile(scratch.path()).target;
    const std::vector<std::string> arguments =
        Join(runner, {"--registry", registry.string(), "--answer", "no"});
    CesimRun unread = RunCesim(arguments, {}, CesimOutput::UnreadPipe);
    EXPECT_EQ(unread.exitStatus, 0) << unread.err;
    EXPECT_EQ(unread.err, "");
    EXPECT_TRUE(unread.out.ends_with("registry file: " + registry.string() + " saved\n"))
        << unread.out;

    fs::copy_file(kFactoryRegistry, registry, fs::copy_options::overwrite_existing);
    std::string command = "set -o pipefail; " CESIM_PATH;
    for (const std::string& argument : arguments) command += " '" + argument + "'";
    command += " 2>" + (scratch.path() / "err").string() + " | head -1 >" +
               (scratch.path() / "out").string();
    const int status = std::system(("bash -c \"" + command + "\"").c_str());
    ASSERT_TRUE(WIFEXITED(status)) << command;
    const int exit = WEXITSTATUS(status);
    EXPECT_TRUE(exit == 0 || exit == 4) << exit;
    EXPECT_EQ(ReadText(scratch.path() / "err"),
              exit == 0 ? "" : "cesim: the output could not be written: Broken pipe\n");
    EXPECT_TRUE(HoldsTheUpdate(registry));
  }
}

std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix,
                                           bool keep) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = text.substr(start, end - start);
    if (line.starts_with(prefix) == keep) lines.push_back(line);
  }
  return lines;
}

TEST(CesimTrace, GoesToItsOwnFileAsTextOrJson) {
  const std::string golden = ReadText(GOLDEN_DIR "/german_answer_no_keeps_running.txt");
  for (const auto& runner : kRunners) {
    ScratchFolder scratch;
    const std::string traceFile = (scratch.path() / "trace.txt").string();
    CesimRun text = RunCesim(Join(runner, {"--answer", "no", "--trace-file", traceFile}));
    EXPECT_EQ(text.exitStatus, 0) << text.err;
    EXPECT_EQ(LinesStartingWith(WithoutRunDescription(text.out), "trace: ", false),
              LinesStartingWith(golden, "trace: ", false));
    EXPECT_EQ(LinesStartingWith(ReadText(traceFile), "", true),
              LinesStartingWith(golden, "trace: ", true));

    CesimRun json = RunCesim(
        Join(runner, {"--answer", "no", "--trace-format", "json", "--trace-file", traceFile}));
    EXPECT_EQ(json.exitStatus, 0) << json.err;
    const std::vector<std::string> calls = LinesStartingWith(ReadText(traceFile), "", true);
    ASSERT_EQ(calls.size(), LinesStartingWith(golden, "trace: ", true).size());
    EXPECT_EQ(calls[0],
              R"({"call":"KernelIoControl","arguments":["IOCTL_ROM_INFO",[15],4,"buffer",160,)"
              R"(null],"result":"TRUE"})");
    EXPECT_EQ(calls[9],
              R"({"call":"MessageBoxW","arguments":[null,"Sie müssen einen Soft-Reset des )"
              R"(Geräts ausführen, damit die Änderungen wirksam werden. Möchten Sie den Reset )"
              R"(jetzt ausführen?","  ","MB_YESNO"],"result":"IDNO"})");
  }
}

TEST(CesimTrace, AFileThatCannotBeWrittenIsRefusedBeforeTheRun) {
  CesimRun run = RunCesim({"--answer", "no", "--trace-file", "/nonexistent/trace.txt"});
  EXPECT_EQ(run.exitStatus, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "cesim: /nonexistent/trace.txt: cannot write the trace: creating a temporary file in "
            "/nonexistent: No such file or directory\n");
}

// --trace-file and --coverage given what is not a regular file: written into, or refused with
// one line, and never replaced. The trace is refused before the run; the coverage, written
// after it, says so in the summary and with status 1.
TEST(CesimOutputFiles, NeverReplaceWhatIsNotARegularFile) {
  const struct {
    const char* why;
    std::function<fs::path(const fs::path& scratch)> file;
    int traceStatus, coverageStatus;
    const char* error;  // after "cesim: FILE: cannot write the trace|coverage: writing FILE: "
  } cases[] = {
      {"a device", [](auto& scratch) { return Node(scratch, "null", 3); }, 0, 0, nullptr},
      {"a link to a device",
       [](auto& scratch) {
         Node(scratch, "null", 3);
         fs::create_symlink("null", scratch / "link");
         return scratch / "link";
       },
       0, 0, nullptr},
      {"a FIFO nobody reads",
       [](auto& scratch) {
         EXPECT_EQ(mkfifo((scratch / "fifo").c_str(), 0600), 0);
         return scratch / "fifo";
       },
       2, 1, "a FIFO that no process has open for reading"},
      {"a read-only file",
       [](auto& scratch) {
         fs::copy_file(kFactoryRegistry, scratch / "old.txt");
         fs::permissions(scratch / "old.txt", fs::perms(0444));
         return scratch / "old.txt";
       },
       2, 1, nullptr},
  };
  for (const auto& test : cases) {
    for (const char* option : {"--trace-file", "--coverage"}) {
      const bool coverage = std::string(option) == "--coverage";
      for (const auto& runner : kRunners) {
        if (coverage && runner.empty()) continue;  // coverage is the image's
        ScratchFolder scratch;
        const fs::path file = test.file(scratch.path());
        const auto kind = fs::symlink_status(file).type();
        const std::string before = fs::is_regular_file(file) ? ReadText(file) : "";
        CesimRun run = RunCesim(Join(runner, {"--answer", "no", option, file.string()}));
        const int status = coverage ? test.coverageStatus : test.traceStatus;
        EXPECT_EQ(run.exitStatus, status) << test.why << " " << option << "\n" << run.err;
        EXPECT_EQ(fs::symlink_status(file).type(), kind) << test.why << " " << option;
        if (fs::is_regular_file(file)) {
          EXPECT_EQ(ReadText(file), before) << test.why;
        }
        if (status == 0) {
          EXPECT_EQ(run.err, "") << test.why << " " << option;
        }
        if (status == 2) {
          EXPECT_EQ(run.out, "") << test.why << " " << option;
        }
        if (status == 1) {
          const std::string summary = Unwrapped(run.out);
          EXPECT_NE(summary.find(" cesim exits 1: the coverage file was not written "),
                    std::string::npos)
              << run.out;
          EXPECT_NE(summary.find(" coverage file: " + file.string() + " NOT written"),
                    std::string::npos)
              << run.out;
        }
        if (test.error) {
          const std::string what = coverage ? "coverage" : "trace";
          EXPECT_EQ(run.err, "cesim: " + file.string() + ": cannot write the " + what +
                                 ": writing " + file.string() + ": " + test.error + "\n")
              << test.why;
        }
      }
    }
  }
}

// An output that names an input, or another output, would destroy it: refused before the run,
// with the file left as it was.
TEST(CesimOutputFiles, AnOutputNamingAnInputOrAnotherOutputIsRefused) {
  const fs::path symbols = fs::path(DEVICE_IMAGE).replace_extension(".elf");
  const struct {
    std::vector<std::string> arguments;  // {registry} and {other} are files in a scratch folder
    std::string refusal;                 // after "cesim: "
  } cases[] = {
      {{"--registry", "{registry}", "--trace-file", "{registry}"},
       "--trace-file {registry}: the same file as --registry {registry}"},
      {{"--registry", "{registry}", "--trace-file", "{link}"},
       "--trace-file {link}: the same file as --registry {registry}"},
      {{"--registry", "{registry}", "--rom-block", "{hard}"},
       "--registry {registry}: the same file as --rom-block {hard}"},
      {{"--trace-file", "{other}", "--image", DEVICE_IMAGE, "--coverage", "{other}"},
       "--trace-file {other}: the same file as --coverage {other}"},
      {{"--image", DEVICE_IMAGE, "--trace-file", DEVICE_IMAGE},
       "--trace-file " DEVICE_IMAGE ": the same file as --image " DEVICE_IMAGE},
      {{"--image", DEVICE_IMAGE, "--coverage", symbols.string()},
       "--coverage " + symbols.string() + ": the same file as the image's symbols " +
           symbols.string()},
  };
  for (const auto& test : cases) {
    ScratchFolder scratch;
    const fs::path registry = PlainFile(scratch.path()).target;
    fs::create_symlink(registry, scratch.path() / "link.reg");
    fs::create_hard_link(registry, scratch.path() / "hard.reg");
    const auto fill = [&](std::string text) {
      const std::pair<const char*, fs::path> names[] = {{"{registry}", registry},
                                                        {"{link}", scratch.path() / "link.reg"},
                                                        {"{hard}", scratch.path() / "hard.reg"},
                                                        {"{other}", scratch.path() / "out.txt"}};
      for (const auto& [name, file] : names) {
        for (size_t at; (at = text.find(name)) != std::string::npos;) {
          text.replace(at, std::string(name).size(), file.string());
        }
      }
      return text;
    };
    std::vector<std::string> arguments = {"--answer", "no"};
    for (const std::string& argument : test.arguments) arguments.push_back(fill(argument));
    const std::string image = ReadText(DEVICE_IMAGE), elf = ReadText(symbols);
    CesimRun run = RunCesim(arguments);
    EXPECT_EQ(run.exitStatus, 2) << run.err;
    EXPECT_EQ(run.err, "cesim: " + fill(test.refusal) +
                           "; an output must not overwrite an input or another output\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(ReadText(registry), ReadText(kFactoryRegistry));
    EXPECT_FALSE(fs::exists(scratch.path() / "out.txt"));
    EXPECT_TRUE(ReadText(DEVICE_IMAGE) == image && ReadText(symbols) == elf);
  }
}

// Runs on one file take turns: 50 pairs started together, one whose PCMCIA write fails and a
// plain one, natively and emulated. Whatever the order, no run says "saved" while a change it
// made is missing from the file, and the file ends with all three profiles changed.
TEST(CesimSave, RunsOnOneFileTakeTurnsAndLoseNoChange) {
  constexpr int kPairs = 50;
  ScratchFolder scratch;
  const std::string waiting = "cesim: waiting for another run to finish with ";
  int waited = 0;
  for (int pair = 0; pair < kPairs; ++pair) {
    const fs::path registry = scratch.path() / ("pair" + std::to_string(pair) + ".reg");
    fs::copy_file(kFactoryRegistry, registry);
    const auto& runner = kRunners[pair % 2];
    const std::vector<std::vector<std::string>> arguments = {
        Join(runner, {"--registry", registry.string(), "--answer", "no", "--fail-write", "PCMCIA"}),
        Join(kRunners[(pair / 2) % 2], {"--registry", registry.string(), "--answer", "no"})};
    std::vector<std::future<CesimRun>> runs;
    for (const auto& run : arguments) {
      runs.push_back(std::async(std::launch::async, [run] { return RunCesim(run); }));
    }
    for (auto& future : runs) {
      const CesimRun run = future.get();
      EXPECT_TRUE(run.exitStatus == 0) << run.err;
      EXPECT_TRUE(run.err == "" || run.err == waiting + registry.string() + "\n") << run.err;
      waited += run.err != "";
      EXPECT_TRUE(run.out.ends_with(" saved\n") || run.out.ends_with(" left as it was\n"))
          << run.out;
    }
    const std::string after = ReadText(registry);
    size_t changed = 0;
    for (size_t at = 0; (at = after.find("\"Speicherkarte\"", at)) != std::string::npos; ++at) {
      ++changed;
    }
    EXPECT_EQ(changed, 3u) << "pair " << pair << "\n" << after;
  }
  RecordProperty("runs_that_waited", waited);
}

TEST(CesimVersion, NamesTheUpdatesVersion) {
  CesimRun run = RunCesim({"--version"});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_NE(run.out.find("card-folder update 1.0.3.0\n"), std::string::npos) << run.out;
}

TEST(CesimSummary, SaysWhatWasSimulated) {
  const struct {
    std::vector<std::string> arguments;
    std::string lines;
  } cases[] = {
      {{"--answer", "no"},
       "  program: the update built for this machine\n  ROM: language \"DEUTSCH\"\n"
       "  injected faults: none\n"},
      {{"--image", DEVICE_IMAGE, "--cpu", "ti925t", "--rom-silent", "--fail-write", "SDMemory",
        "--missing-key", "MMC", "--no-strings", "--answer", "fail", "--reset", "returns"},
       "  program: " DEVICE_IMAGE "\n  CPU: emulated TI925T (ARMv4T)\n"
       "  ROM: silent: the information query fails and writes nothing\n"
       "  injected faults: MMC key missing, writes to SDMemory refused, string table missing, "
       "question box fails, reset request returns\n"},
      {{"--image", DEVICE_IMAGE, "--rom-block", TEST_DATA_DIR "/rom_deutsch_other_device.bin"},
       "  CPU: emulated XScale PXA270\n  ROM: block from " TEST_DATA_DIR
       "/rom_deutsch_other_device.bin, language \"DEUTSCH\"\n"},
      {{"--rom-language",
        "A\x01"
        "B"},
       "  ROM: language \"A\\x01B\"\n"},
  };
  for (const auto& test : cases) {
    CesimRun run = RunCesim(test.arguments, {"COLUMNS=1000"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_NE(run.out.find(test.lines), std::string::npos) << test.lines << "\n" << run.out;
  }
}

}  // namespace

namespace {

// Every file below `folder` with its contents, the temporary files of a save included.
std::map<std::string, std::string> FolderContents(const fs::path& folder) {
  std::map<std::string, std::string> contents;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    const std::string name = entry.path().lexically_relative(folder).string();
    contents[name] = entry.is_regular_file() ? ReadText(entry.path()) : "(folder)";
  }
  return contents;
}

// The survey natively and on both emulated CPUs, with a card and without, and with each fault the
// card can have: the same boxes, trace and summary, and the same files on the card, byte for byte.
// A run the fault stops leaves the card as it found it.
TEST(CesimCard, TheSurveyWritesTheSameCardNativelyAndEmulated) {
  const struct {
    std::vector<std::string> options;
    bool card, writes;
  } cases[] = {
      {{}, false, false},
      {{}, true, true},
      {{"--card-profile", "MMC"}, true, true},
      {{"--card-full"}, true, false},
      {{"--card-read-only"}, true, false},
      {{"--fail-enumeration", "HKEY_LOCAL_MACHINE\\System"}, true, false},
  };
  const std::vector<std::vector<std::string>> runners = {
      {"--program", "survey"},
      {"--image", SURVEY_IMAGE, "--cpu", "pxa270"},
      {"--image", SURVEY_IMAGE, "--cpu", "ti925t"}};
  for (const auto& test : cases) {
    std::optional<std::string> firstOut;
    std::optional<std::map<std::string, std::string>> firstCard;
    for (const auto& runner : runners) {
      ScratchFolder scratch;
      const fs::path card = scratch.path() / "card";
      fs::create_directories(card / "survey" / "Quillet");  // an earlier survey: never replaced
      std::ofstream(card / "survey" / "Quillet" / "rom.bin") << "earlier";
      std::vector<std::string> arguments = Join(runner, {"--answer", "no", "--trace"});
      if (test.card) arguments = Join(arguments, Join({"--card", card.string()}, test.options));
      const CesimRun run = RunCesim(arguments);
      const std::string what = test.options.empty() ? "plain" : test.options.front();
      EXPECT_EQ(run.exitStatus, 0) << what << run.err;
      std::string out = WithoutRunDescription(run.out);
      for (size_t at; (at = out.find(card.string())) != std::string::npos;)
        out.replace(at, card.string().size(), "{card}");
      const std::map<std::string, std::string> contents = FolderContents(card);
      if (!firstOut) {
        firstOut = out;
        firstCard = contents;
        EXPECT_EQ(contents.size(), test.writes ? 6u : 3u) << what;
        EXPECT_EQ(contents.at("survey/Quillet/rom.bin"), "earlier") << what;
      }
      EXPECT_EQ(out, *firstOut) << what << " " << runner.front();
      EXPECT_EQ(contents, *firstCard) << what << " " << runner.front();
    }
  }
}

}  // namespace
