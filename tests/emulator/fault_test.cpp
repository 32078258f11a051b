// Device images that do what a device would not let them do: each run stops with one line giving
// the fault, the instruction and the registers, exits 3, and leaves the registry file as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <regex>

#include "cesim_runner.h"

namespace {

const std::string kFaultImages = FAULT_IMAGES;

std::string TestImage(const std::string& name) {
  return kFaultImages + "/" + name + "/" + name + ".exe";
}

// Offsets of the fields the tests patch, found as a loader finds them.
size_t FileHeaderField(const std::string& image, size_t offset) {
  return Get32(image, 0x3C) + 4 + offset;
}
size_t OptionalField(const std::string& image, size_t offset) {
  return FileHeaderField(image, 20 + offset);
}
size_t SectionField(const std::string& image, std::string_view name, size_t offset) {
  for (size_t at = OptionalField(image, 0xE0);; at += 40) {
    if (std::string_view(image).substr(at, name.size()) == name) return at + offset;
  }
}
constexpr size_t kSubsystem = 68, kCheckSum = 64;
constexpr size_t kImportDirectory = 96 + 8, kSectionCharacteristics = 36;

// The file offset of an RVA in a section with file data.
size_t FileOffset(const std::string& image, uint32_t rva) {
  for (size_t at = OptionalField(image, 0xE0);; at += 40) {
    const uint32_t start = Get32(image, at + 12), size = Get32(image, at + 16);
    if (rva >= start && rva < start + size) return Get32(image, at + 20) + rva - start;
  }
}

// A copy of `image` changed by `patch`, in `folder`.
std::filesystem::path PatchedCopy(const std::filesystem::path& folder, const std::string& image,
                                  const std::function<void(std::string&)>& patch) {
  std::string bytes = ReadText(image);
  patch(bytes);
  const std::filesystem::path patched = folder / "patched.exe";
  std::ofstream(patched, std::ios::binary) << bytes;
  return patched;
}

// A copy of the update's image with the first `from` in it replaced by `to`, as long.
std::filesystem::path PatchedImage(const std::filesystem::path& folder, const std::string& from,
                                   const std::string& to) {
  std::string image = ReadText(DEVICE_IMAGE);
  const size_t at = image.find(from);
  EXPECT_NE(at, std::string::npos);
  image.replace(at, from.size(), to);
  const std::filesystem::path patched = folder / "patched.exe";
  std::ofstream(patched, std::ios::binary) << image;
  return patched;
}

struct FaultCase {
  const char* why;
  std::string image;  // empty: the update's image with `patch` applied
  std::vector<std::string> arguments;
  std::string fault;            // how the report starts, after "cesim: emulation fault: "
  const char* seenBefore = "";  // output the run gave before the fault
  std::pair<std::string, std::string> patch = {};     // replace the first, same length
  std::function<void(std::string&)> fieldPatch = {};  // then this
};

const FaultCase kFaults[] = {
    {"null pointer read",
     TestImage("read_null"),
     {},
     "read of 0x00000000 (unmapped) (4 bytes), which the process may not read; instruction "
     "E5900000 at 0x00011004 (.text);"},
    {"store into the code",
     TestImage("write_code"),
     {},
     "write to 0x00011000 (.text) (4 bytes), which the process may not write; instruction E5810000 "
     "at 0x00011004 (.text);"},
    {"undefined instruction",
     TestImage("undefined"),
     {},
     "undefined instruction; instruction E7F000F0 at 0x00011000 (.text);"},
    {"ARMv5 instruction on the ARMv4T core",
     TestImage("count_leading_zeros"),
     {"--cpu", "ti925t"},
     "undefined instruction; instruction E16F0F11 at 0x00011004 (.text);"},
    {"read of the headers, which no section covers",
     TestImage("read_headers"),
     {},
     "read of 0x00010000 (unmapped) (4 bytes), which the process may not read;"},
    {"jump to nothing",
     TestImage("jump_outside"),
     {},
     "jump outside the image's code to 0x00000000 (unmapped); no instruction at 0x00000000 "
     "(unmapped);"},
    {"jump between core-library routines",
     TestImage("jump_into_core_library"),
     {},
     "jump into COREDLL.dll at 0x01F60006, where no routine starts;"},
    {"endless loop",
     TestImage("endless_loop"),
     {"--max-instructions", "1000"},
     "more than 1000 instructions; instruction EAFFFFFE at 0x00011000 (.text);"},
    {"endless loop, one instruction allowed",
     TestImage("endless_loop"),
     {"--max-instructions", "1"},
     "more than 1 instruction; instruction EAFFFFFE at 0x00011000 (.text);"},
    {"a routine that returns into a routine",
     TestImage("call_returns_into_call"),
     {"--max-instructions", "1000"},
     "more than 1000 platform calls, the last COREDLL.dll!RegCloseKey;"},
    {"software interrupt",
     TestImage("software_interrupt"),
     {},
     "software interrupt, which an application does not issue on this device;"},
    {"stack overflow",
     TestImage("stack_overflow"),
     {},
     "write to 0x00FEFFFC (unmapped) (4 bytes), which the process may not write;"},
    {"memset through a bad pointer",
     TestImage("bad_pointer_memset"),
     {},
     "memset(0x00000004, 0, 16) writes outside writable memory;"},
    {"memset from writable memory on into read-only resources",
     TestImage("memset_across"),
     {},
     "memset(0x00013FF0, 0, 32) writes outside writable memory;"},
    {"import the device lacks",
     "",
     {},
     "call of COREDLL.dll!memcpy, which the device does not provide;",
     "",
     {std::string("memset\0", 7), std::string("memcpy\0", 7)}},
    {"import address table in a discardable section, decommitted once bound",
     "",
     {},
     "read of 0x00012000 (unmapped) (4 bytes), which the process may not read;",
     "",
     {std::string(".data\0\0\0", 8), std::string(".data\0\0\0", 8)},
     [](std::string& image) {
       Put(image, SectionField(image, ".data", kSectionCharacteristics), 0xC2000040);
     }},
    {"the update stopped after its writes, before the question",
     DEVICE_IMAGE,
     {"--answer", "no", "--max-instructions", "200", "--trace"},
     "more than 200 instructions;",
     "trace: RegSetValueExW(0x00002001, \"Folder\", 0, REG_SZ, \"Speicherkarte\", 28) -> "
     "ERROR_SUCCESS\n"},
};

const std::regex kReportTail(
    R"(.*; (no instruction at 0x[0-9A-F]{8} \([^)]+\)|(Thumb )?instruction [0-9A-F]{4,8} at )"
    R"(0x[0-9A-F]{8} \([^)]+\)); registers( [a-z0-9]+=[0-9A-F]{8}){17}(; code: [^\n]+)?\n)"
    R"((cesim: note: .*\n)*)");

TEST(EmulatorFaults, StopTheRunWithOneLineAndLeaveTheRegistryFile) {
  for (const FaultCase& fault : kFaults) {
    ScratchFolder scratch;
    const std::filesystem::path registry = scratch.path() / "device.reg";
    std::filesystem::copy_file(FACTORY_REGISTRY, registry);
    std::string image =
        fault.image.empty()
            ? PatchedImage(scratch.path(), fault.patch.first, fault.patch.second).string()
            : fault.image;
    if (fault.fieldPatch) image = PatchedCopy(scratch.path(), image, fault.fieldPatch).string();
    std::vector<std::string> arguments = {"--image", image, "--registry", registry.string()};
    arguments.insert(arguments.end(), fault.arguments.begin(), fault.arguments.end());
    CesimRun run = RunCesim(arguments);
    const std::string expected = "cesim: emulation fault: " + fault.fault;
    EXPECT_EQ(run.exitStatus, 3) << fault.why;
    EXPECT_EQ(run.err.substr(0, expected.size()), expected) << fault.why;
    EXPECT_TRUE(std::regex_match(run.err, kReportTail)) << fault.why << ": " << run.err;
    EXPECT_EQ(ReadText(registry), ReadText(FACTORY_REGISTRY)) << fault.why;
    EXPECT_EQ(run.out.find("summary"), std::string::npos) << fault.why;
    EXPECT_NE(run.out.find(fault.seenBefore), std::string::npos) << fault.why;
  }
}

// Images that misuse the platform without faulting, or call it in ways the device answers in its
// own way: each call answers as the device's does, and the program goes on. The programs that check
// several answers return a bit mask of those that differ, 0 when all match.
struct FailedCall {
  const char* why;
  std::string image;
  std::vector<std::string> arguments;
  int exitStatus;
  std::vector<std::string> traceLines;  // expected among the output
};

const FailedCall kFailedCalls[] = {
    {"a key path at an unmapped address",
     TestImage("bad_pointer_call"),
     {},
     87,
     {"trace: RegOpenKeyExW(HKEY_LOCAL_MACHINE, bad pointer 0x00000004 (unmapped), 0, 0x00000000, "
      "buffer) -> ERROR_INVALID_PARAMETER\n"}},
    {"each routine given a pointer at an unmapped address: the call keeps its arguments",
     TestImage("bad_pointer_calls"),
     {},
     0,
     {"trace: MessageBoxW(NULL, bad pointer 0x00000004 (unmapped), \"T\", MB_OK) -> 0\n",
      "trace: LoadStringW(0x02C4F0A6, 5020, bad pointer 0x00000004 (unmapped), 10) -> 0\n",
      "trace: RegOpenKeyExW(HKEY_LOCAL_MACHINE, \"T\", 0, 0x00000000, bad pointer 0x00000004 "
      "(unmapped)) -> ERROR_INVALID_PARAMETER\n",
      "trace: RegSetValueExW(HKEY_LOCAL_MACHINE, \"T\", 0, REG_BINARY, bad pointer 0x00000004 "
      "(unmapped), 4) -> ERROR_INVALID_PARAMETER\n",
      "trace: KernelIoControl(IOCTL_ROM_INFO, [15], 4, bad pointer 0x00000004 (unmapped), 160, "
      "NULL) -> FALSE\n"}},
    {"the enumeration and file routines given unmapped pointers",
     TestImage("storage_bad_pointers"),
     {},
     0,
     {"trace: RegEnumKeyExW(HKEY_LOCAL_MACHINE, 0, bad pointer 0x00000004 (unmapped), [16], NULL, "
      "NULL, NULL, NULL) -> ERROR_INVALID_PARAMETER\n",
      "trace: RegQueryValueExW(HKEY_LOCAL_MACHINE, \"Name\", NULL, NULL, buffer, bad pointer "
      "0x00000004 (unmapped)) -> ERROR_INVALID_PARAMETER\n",
      "trace: CreateFileW(bad pointer 0x00000004 (unmapped), GENERIC_WRITE, 0, NULL, CREATE_NEW, "
      "0, 0x00000000) -> INVALID_HANDLE_VALUE, last error ERROR_INVALID_PARAMETER\n",
      "trace: GetLastError() -> ERROR_INVALID_PARAMETER\n",
      "trace: GetModuleFileNameW(0x00000000, bad pointer 0x00000004 (unmapped), 16) -> 0, last "
      "error ERROR_INVALID_PARAMETER\n"}},
    {"an ARMv5 instruction on the XScale",
     TestImage("count_leading_zeros"),
     {"--cpu", "pxa270"},
     31,
     {}},
    {"the string loader's answers",
     TestImage("load_string"),
     {},
     0,
     {"trace: LoadStringW(0x02C4F0A6, 9999, buffer, 10) -> 0\n",
      "trace: LoadStringW(0x02C4F0A6, 5020, buffer, 5) -> 4 \"Sie \"\n",
      "trace: LoadStringW(0x02C4F0A6, 5020, NULL, 0) -> 0x000145BA (the string in the image's "
      "resources)\n",
      "trace: LoadStringW(0x02C4F0A6, 5020, buffer, 200) -> 0 (a fault while copying)\n",
      "trace: LoadStringW(0x02C4F0A6, 5020, buffer, 253) -> 125 \"Sie müssen "}},
    {"a question with an icon, a default button and no caption",
     TestImage("message_box"),
     {"--answer", "yes"},
     6,
     {"┌[Error]─", "│ (?) Weiter?",
      "trace: MessageBoxW(NULL, \"Weiter?\", NULL, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) -> "
      "IDYES\n"}},
    {"a Yes/No/Cancel question answered No",
     TestImage("message_box_choice"),
     {"--answer", "no"},
     7,
     {"┌[Test]─", "│ (!) Speichern?", "│ [ Ja ]   [ Nein ]   [ Abbrechen ] │",
      "trace: MessageBoxW(NULL, \"Speichern?\", \"Test\", MB_YESNOCANCEL | MB_ICONEXCLAMATION) "
      "-> IDNO\n"}},
    {"the registry as the platform's drivers use it",
     TestImage("registry_calls"),
     {},
     0,
     {"trace: RegOpenKeyExW(HKEY_LOCAL_MACHINE, \"\\System\\StorageManager\\Profiles\\MMC\", 0, "
      "0x00000000, bad pointer 0x00011140 (.text)) -> ERROR_INVALID_PARAMETER\n",
      "trace: RegOpenKeyExW(HKEY_LOCAL_MACHINE, \"\\System\\StorageManager\\Profiles\\MMC\", 0, "
      "0x000F003F, buffer) -> ERROR_SUCCESS, key 0x00002001\n",
      "trace: RegOpenKeyExW(0x00002001, NULL, 0, 0x00000000, buffer) -> ERROR_SUCCESS, key "
      "0x00002002\n",
      "  changed: [HKEY_LOCAL_MACHINE] \"Updated\": (none) -> dword:00000001\n"}},
};

TEST(EmulatorFailedCalls, FailAsTheDeviceDoesAndTheProgramGoesOn) {
  for (const FailedCall& call : kFailedCalls) {
    std::vector<std::string> arguments = {"--image", call.image, "--trace"};
    arguments.insert(arguments.end(), call.arguments.begin(), call.arguments.end());
    CesimRun run = RunCesim(arguments);
    EXPECT_EQ(run.exitStatus, call.exitStatus) << call.why << ": " << run.err;
    for (const std::string& line : call.traceLines) {
      EXPECT_NE(run.out.find(line), std::string::npos) << call.why << ": " << run.out;
    }
  }
}

// Images the device starts and runs to the end although they are almost certainly broken, or
// that a stricter loader would refuse: each runs as on the device, and what it did wrong is noted
// on stderr after the summary.
struct DeviceRun {
  const char* why;
  std::string image;
  std::function<void(std::string&)> patch;
  int exitStatus;
  std::vector<std::string> notes;  // each must be on stderr, after "cesim: note: <image>: "
};

const DeviceRun kDeviceRuns[] = {
    {"KernelIoControl (557) and memset (1047) imported by ordinal, not by name",
     DEVICE_IMAGE,
     [](std::string& image) {
       const size_t descriptor =
           FileOffset(image, Get32(image, OptionalField(image, kImportDirectory)));
       for (size_t table : {0, 16}) {  // OriginalFirstThunk, then FirstThunk
         const size_t entries = FileOffset(image, Get32(image, descriptor + table));
         Put(image, entries + 4 * 0, 0x80000000 | 557);   // was KernelIoControl by name
         Put(image, entries + 4 * 6, 0x80000000 | 1047);  // was memset by name
       }
       Put(image, OptionalField(image, kCheckSum), 0);
     },
     0,
     {}},
    {"library name in lower case",
     DEVICE_IMAGE,
     [](std::string& image) {
       image.replace(image.find("COREDLL.dll"), 11, "coredll.dll");
       Put(image, OptionalField(image, kCheckSum), 0);
     },
     0,
     {}},
    {"import address table in a read-only section",
     DEVICE_IMAGE,
     [](std::string& image) {
       Put(image, SectionField(image, ".data", kSectionCharacteristics), 0x40000040);
       Put(image, OptionalField(image, kCheckSum), 0);
     },
     0,
     {"section .data: holds import address table slots but is not writable: the device makes it "
      "writable and executable to bind them"}},
    {"not a Windows CE GUI image",
     DEVICE_IMAGE,
     [](std::string& image) { Put(image, OptionalField(image, kSubsystem), 2, 2); },
     0,
     {"Subsystem: 2, not 9 (Windows CE GUI): the device runs the image as Windows CE 1.0, with a "
      "64 KB stack",
      "CheckSum: 0x00002C15, but the file's is 0x00002C0E: the device does not check it"}},
    {"preferred base moved, relocation applied",
     TestImage("relocated"),
     [](std::string& image) { LinkedFor(image, 0x20000); },
     42,
     {}},
    {"a call onto the stack, which ARMv5 pages cannot forbid either",
     TestImage("stack_code"),
     [](std::string&) {},
     7,
     {"instructions fetched from 0x00FFFFF0 (stack), which is not code: the device runs them (its "
      "pages have no execute-never bit)"}},
    {"jump into writable data, which ARMv5 pages cannot forbid",
     TestImage("jump_to_data"),
     [](std::string&) {},
     0x12004 & 0xFF,
     {"instructions fetched from 0x00012004 (.data), which is not code: the device runs them (its "
      "pages have no execute-never bit)"}},
};

TEST(EmulatorDeviceRuns, RunAsOnTheDeviceAndNoteWhatIsWrong) {
  const CesimRun reference = RunCesim({"--image", DEVICE_IMAGE, "--answer", "no"});
  for (const DeviceRun& run : kDeviceRuns) {
    ScratchFolder scratch;
    const std::string image = PatchedCopy(scratch.path(), run.image, run.patch).string();
    CesimRun result = RunCesim({"--image", image, "--answer", "no"});
    EXPECT_EQ(result.exitStatus, run.exitStatus) << run.why << ": " << result.err;
    if (run.image == DEVICE_IMAGE) {  // the summary names the program it ran
      std::string out = result.out;
      const size_t named = out.find(image);
      if (named != std::string::npos) out.replace(named, image.size(), DEVICE_IMAGE);
      EXPECT_EQ(out, reference.out) << run.why;
    }
    std::string notes;
    for (const std::string& note : run.notes) notes += "cesim: note: " + image + ": " + note + "\n";
    if (run.image != DEVICE_IMAGE && !run.notes.empty()) {  // a run-time note names no file
      notes = "cesim: note: " + run.notes.front() + "\n";
    }
    EXPECT_EQ(result.err, notes) << run.why;
  }
}

// Images the device's loader would not start: cesim refuses them before anything runs.
TEST(EmulatorRefusals, NameWhyTheDeviceWouldNotStartTheImage) {
  struct Row {
    const char* why;
    std::pair<std::string, std::string> patch;
    std::string message;  // after "cesim: <image>: "
  };
  const Row rows[] = {
      {"a library the device lacks, named in bytes that are no text",
       {"COREDLL.dll", "CORE\n\xFFL.dll"},
       "import descriptor 0 (CORE\\x0A\\xFFL.dll): the device would not start the image: it has "
       "no library of that name (the emulated device has COREDLL.dll only)"},
      {"a routine the core library does not export",
       {std::string("memset\0", 7), std::string("memsez\0", 7)},
       "import descriptor 0 (COREDLL.dll): lookup entry 6: \"memsez\": the device would not start "
       "the image: COREDLL.dll exports no routine of that name (names match case-sensitively)"},
  };
  for (const Row& row : rows) {
    ScratchFolder scratch;
    const std::filesystem::path registry = scratch.path() / "device.reg";
    std::filesystem::copy_file(FACTORY_REGISTRY, registry);
    const std::string image =
        PatchedImage(scratch.path(), row.patch.first, row.patch.second).string();
    CesimRun run = RunCesim({"--image", image, "--registry", registry.string()});
    EXPECT_EQ(run.exitStatus, 2) << row.why;
    EXPECT_EQ(run.err, "cesim: " + image + ": " + row.message + "\n") << row.why;
    EXPECT_EQ(run.out, "") << row.why;
    EXPECT_EQ(ReadText(registry), ReadText(FACTORY_REGISTRY)) << row.why;
  }
}

// The limit holds platform calls as it holds instructions: exactly that many are made.
TEST(EmulatorLimits, APlatformCallPastTheLimitIsNotMade) {
  for (int limit : {5, 9}) {  // the program runs 5 instructions before its first call
    const CesimRun run = RunCesim({"--image", TestImage("call_returns_into_call"), "--trace",
                                   "--max-instructions", std::to_string(limit)});
    EXPECT_EQ(run.exitStatus, 3);
    size_t calls = 0;
    for (size_t at = run.out.find("trace: RegCloseKey("); at != std::string::npos;
         at = run.out.find("trace: RegCloseKey(", at + 1)) {
      ++calls;
    }
    EXPECT_EQ(calls, static_cast<size_t>(limit)) << run.out;
  }
}

// --stats counts what the image executed: the same on both cores, and within the limit that a
// run which is only just allowed to finish needs.
TEST(EmulatorStats, CountsInstructionsInTheImageAndPlatformCalls) {
  auto instructions = [](const std::vector<std::string>& extra) {
    std::vector<std::string> arguments = {"--image", DEVICE_IMAGE, "--answer", "no", "--stats"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    CesimRun run = RunCesim(arguments);
    EXPECT_NE(run.out.find("  platform calls: 13\n"), std::string::npos) << run.out;
    const std::string label = "  instructions executed in the image: ";
    const size_t at = run.out.find(label);
    return at == std::string::npos ? 0 : std::stoul(run.out.substr(at + label.size()));
  };
  const unsigned long onXScale = instructions({});
  EXPECT_GT(onXScale, 100u);
  EXPECT_EQ(instructions({"--cpu", "ti925t"}), onXScale);
  EXPECT_EQ(instructions({"--max-instructions", std::to_string(onXScale)}), onXScale);
}

}  // namespace
