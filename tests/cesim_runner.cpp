#include "cesim_runner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <utility>

extern char** environ;

uint32_t Get32(const std::string& image, size_t at) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value |= uint32_t{static_cast<uint8_t>(image.at(at + i))} << 8 * i;
  return value;
}

void Put(std::string& image, size_t at, uint32_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) image.at(at + i) = static_cast<char>(value >> (8 * i));
}

void LinkedFor(std::string& image, uint32_t base) {
  const size_t header = Get32(image, 0x3C) + 4, optional = header + 20;
  const size_t text = optional + 0xE0;        // the first section
  Put(image, header + 18, 0x0102, 2);         // Characteristics: relocations kept
  Put(image, optional + 28, base);            // ImageBase
  Put(image, optional + 64, 0);               // CheckSum: none
  Put(image, optional + 96 + 5 * 8, 0x1010);  // the base relocation directory: the program's block
  Put(image, optional + 96 + 5 * 8 + 4, 12);
  const size_t literal = Get32(image, text + 20) + 0xC;  // RVA 0x100C, in .text
  Put(image, literal, Get32(image, literal) - 0x10000 + base);
}

std::string ReadText(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string WithoutRunDescription(const std::string& output) {
  static const char* const kDescriptions[] = {
      "  program: ", "  CPU: ", "  ROM: ", "  injected faults: "};
  std::string kept;
  bool dropping = false;
  for (size_t start = 0, end; start < output.size(); start = end + 1) {
    end = std::min(output.find('\n', start), output.size());
    const std::string line = output.substr(start, end - start);
    if (std::ranges::any_of(kDescriptions,
                            [&](const char* kind) { return line.starts_with(kind); })) {
      dropping = true;
    } else if (!dropping || !line.starts_with("      ")) {
      dropping = false;
      kept += line + '\n';
    }
  }
  return kept;
}

namespace {

std::string_view NameOf(std::string_view variable) {
  return variable.substr(0, variable.find('='));
}

std::vector<std::string> EnvironmentWith(const std::vector<std::string>& added) {
  std::vector<std::string> environment;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    const bool replaced = std::ranges::any_of(
        added, [&](const std::string& addition) { return NameOf(addition) == NameOf(*variable); });
    if (!replaced) environment.emplace_back(*variable);
  }
  environment.insert(environment.end(), added.begin(), added.end());
  return environment;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& string : strings) pointers.push_back(string.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

CesimRun RunCesim(const std::vector<std::string>& arguments,
                  const std::vector<std::string>& environment, CesimOutput output) {
  ScratchFolder folder;
  const std::string outFile = (folder.path() / "out").string();
  const std::string errFile = (folder.path() / "err").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  int pipeEnds[2] = {-1, -1};
  switch (output) {
    case CesimOutput::Captured:
      posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT, 0600);
      break;
    case CesimOutput::Full: {
      const std::string full = (folder.path() / "full").string();
      if (mknod(full.c_str(), S_IFCHR | 0600, makedev(1, 7)) != 0) {
        throw std::runtime_error("cannot make a full device");
      }
      posix_spawn_file_actions_addopen(&actions, 1, full.c_str(), O_WRONLY, 0);
      break;
    }
    case CesimOutput::ClosedPipe:
    case CesimOutput::UnreadPipe:
      if (pipe2(pipeEnds, O_CLOEXEC) != 0) throw std::runtime_error("cannot make a pipe");
      // No reader: every write to the pipe fails with EPIPE.
      if (output == CesimOutput::ClosedPipe) close(std::exchange(pipeEnds[0], -1));
      posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
      break;
  }
  posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT, 0600);
  std::vector<std::string> argv = {CESIM_PATH};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  // Boxes are as wide as $COLUMNS says when there is no terminal; runs compare at 80 unless told.
  std::vector<std::string> added = environment;
  if (std::ranges::none_of(added, [](auto& variable) { return NameOf(variable) == "COLUMNS"; })) {
    added.emplace_back("COLUMNS=80");
  }
  // Boxes are drawn with line characters in a UTF-8 locale, in ASCII in another: runs compare in
  // a UTF-8 one unless told, whatever the locale the tests run in.
  if (std::ranges::none_of(added, [](auto& variable) { return NameOf(variable) == "LC_ALL"; })) {
    added.emplace_back("LC_ALL=C.UTF-8");
  }
  std::vector<std::string> envp = EnvironmentWith(added);
  pid_t pid;
  int spawned = posix_spawn(&pid, CESIM_PATH, &actions, nullptr, Pointers(argv).data(),
                            Pointers(envp).data());
  posix_spawn_file_actions_destroy(&actions);
  if (pipeEnds[1] >= 0) close(pipeEnds[1]);
  if (spawned != 0) throw std::runtime_error("cannot start " CESIM_PATH);
  int status = 0;
  waitpid(pid, &status, 0);
  CesimRun run;
  run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = ReadText(outFile);
  if (pipeEnds[0] >= 0) {
    char chunk[4096];
    for (ssize_t count; (count = read(pipeEnds[0], chunk, sizeof chunk)) > 0;) {
      run.out.append(chunk, static_cast<size_t>(count));
    }
    close(pipeEnds[0]);
  }
  run.err = ReadText(errFile);
  return run;
}

ScratchFolder::ScratchFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "cesim-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a scratch folder");
  path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}
