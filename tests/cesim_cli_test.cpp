// cesim as a command-line tool: the files it refuses to read, where its saves land, what it does
// when its output is lost, its limits, and the trace written to a file. Each case runs natively
// and with the device image on the emulated CPU.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>

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
      {"--rom-block", [](auto&) { return fs::path("/dev/zero"); },
       "cannot read: a character device, not a regular file"},
      {"--registry", [](auto&) { return fs::path("/dev/zero"); },
       "cannot read: a character device, not a regular file"},
      {"--image", [](auto&) { return fs::path("/dev/zero"); },
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
       "cannot read: File too large"},
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

TEST(CesimOutput, LostOutputLeavesTheSaveAloneAndIsReported) {
  const struct {
    CesimOutput output;
    const char* error;
  } cases[] = {{CesimOutput::Full, "No space left on device"},
               {CesimOutput::ClosedPipe, "Broken pipe"}};
  for (const auto& test : cases) {
    for (const auto& runner : kRunners) {
      ScratchFolder scratch;
      const fs::path registry = PlainFile(scratch.path()).target;
      CesimRun run =
          RunCesim(Join(runner, {"--registry", registry.string(), "--answer", "no", "--trace"}), {},
                   test.output);
      EXPECT_EQ(run.exitStatus, 4) << run.err;
      EXPECT_EQ(run.err,
                std::string("cesim: the output could not be written: ") + test.error + "\n");
      EXPECT_TRUE(HoldsTheUpdate(registry));
    }
    CesimRun help = RunCesim({"--help"}, {}, test.output);
    EXPECT_EQ(help.exitStatus, 4);
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
            "cesim: /nonexistent/trace.txt: cannot write the trace: No such file or directory\n");
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
