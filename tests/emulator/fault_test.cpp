// Device images that do what a device would not let them do: each run stops with one line giving
// the fault, the instruction and the registers, exits 3, and leaves the registry file as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>

#include "cesim_runner.h"

namespace {

const std::string kFaultImages = FAULT_IMAGES;

std::string TestImage(const std::string& name) {
  return kFaultImages + "/" + name + "/" + name + ".exe";
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
  std::pair<std::string, std::string> patch = {};  // replace the first, same length
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
    {"jump into writable data",
     TestImage("jump_to_data"),
     {},
     "jump outside the image's code to 0x00012004 (.data); instruction E12FFF1E at 0x00012004 "
     "(.data);"},
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
    {"import the device lacks",
     "",
     {},
     "call of COREDLL.dll!memcpy, which the device does not provide;",
     "",
     {std::string("memset\0", 7), std::string("memcpy\0", 7)}},
    {"library the device lacks, named in bytes that are no text",
     "",
     {},
     "call of CORE\\x0A\\xFFL.dll!KernelIoControl, which the device does not provide;",
     "",
     {"COREDLL.dll", "CORE\n\xFFL.dll"}},
    {"the update stopped after its writes, before the question",
     DEVICE_IMAGE,
     {"--answer", "no", "--max-instructions", "200", "--trace"},
     "more than 200 instructions;",
     "trace: RegSetValueExW(0x00002001, \"Folder\", 0, REG_SZ, \"Speicherkarte\", 28) -> "
     "ERROR_SUCCESS\n"},
};

const std::regex kReportTail(
    R"(.*; (no instruction at 0x[0-9A-F]{8} \([^)]+\)|(Thumb )?instruction [0-9A-F]{4,8} at )"
    R"(0x[0-9A-F]{8} \([^)]+\)); registers( [a-z0-9]+=[0-9A-F]{8}){17}(; code: [^\n]+)?\n)");

TEST(EmulatorFaults, StopTheRunWithOneLineAndLeaveTheRegistryFile) {
  for (const FaultCase& fault : kFaults) {
    ScratchFolder scratch;
    const std::filesystem::path registry = scratch.path() / "device.reg";
    std::filesystem::copy_file(FACTORY_REGISTRY, registry);
    const std::string image =
        fault.image.empty()
            ? PatchedImage(scratch.path(), fault.patch.first, fault.patch.second).string()
            : fault.image;
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

// Images that misuse the platform without faulting: the call fails the way the device's does,
// and the program goes on.
struct FailedCall {
  const char* why;
  std::string image;
  std::vector<std::string> arguments;
  int exitStatus;
  const char* traceLine;  // expected among the output, or empty
};

const FailedCall kFailedCalls[] = {
    {"a key path at an unmapped address",
     TestImage("bad_pointer_call"),
     {},
     87,
     "trace: RegOpenKeyExW(bad pointer 0x00000004 (unmapped)) -> ERROR_INVALID_PARAMETER\n"},
    {"an ARMv5 instruction on the XScale",
     TestImage("count_leading_zeros"),
     {"--cpu", "pxa270"},
     31,
     ""},
};

TEST(EmulatorFailedCalls, FailAsTheDeviceDoesAndTheProgramGoesOn) {
  for (const FailedCall& call : kFailedCalls) {
    std::vector<std::string> arguments = {"--image", call.image, "--trace"};
    arguments.insert(arguments.end(), call.arguments.begin(), call.arguments.end());
    CesimRun run = RunCesim(arguments);
    EXPECT_EQ(run.exitStatus, call.exitStatus) << call.why << ": " << run.err;
    EXPECT_NE(run.out.find(call.traceLine), std::string::npos) << call.why << ": " << run.out;
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
