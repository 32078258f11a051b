// The devices of a fleet: every survey folder under the folders given, found in a fixed order, and
// what each survey holds. A survey folder holds rom.bin (the ROM information block) and
// registry.reg (the whole registry); nothing is ever written into one.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "registry.h"
#include "rom.h"

namespace cesim {

inline constexpr const char* kRomFileName = "rom.bin";
inline constexpr const char* kRegistryFileName = "registry.reg";

struct SurveyFolder {
  std::filesystem::path root;  // the folder given, links and ".." resolved
  std::filesystem::path path;  // the survey folder as reached from the folder given
  std::string name;            // relative to the folder given, "/" between names; "." for itself
  std::optional<std::string> problem;  // why it cannot be a survey, known from where it lies
};

// Walks the folders given depth first, each folder's entries in byte order of their names, and
// yields every folder holding rom.bin or registry.reg, before the folders inside it. Symbolic links
// to folders inside the folder given are followed; a link out of it, or back to a folder the walk
// is in, is yielded as a folder with a problem and not followed, as is a folder that cannot be
// listed and a survey folder inside another. Holds the entries of the folders it is in, no more.
class SurveyWalk {
 public:
  // Throws InputError when a folder given is not a folder.
  explicit SurveyWalk(const std::vector<std::filesystem::path>& folders);
  std::optional<SurveyFolder> Next();

 private:
  struct Frame {
    std::filesystem::path path;
    std::string name;
    std::pair<dev_t, ino_t> identity;
    std::optional<std::string> survey;  // the survey folder this one lies in, if any
    std::vector<std::string> entries;   // the folders inside, in order
    size_t next = 0;
  };
  bool Enter(std::filesystem::path path, std::string name, std::pair<dev_t, ino_t> identity,
             std::optional<std::string> survey);
  std::optional<SurveyFolder> Step();

  std::vector<std::filesystem::path> folders_;
  size_t nextFolder_ = 0;
  std::filesystem::path root_;
  std::vector<Frame> frames_;
  std::optional<SurveyFolder> pending_;  // found by the last Enter, not yet yielded
};

// What a survey folder holds, ready to run the update against.
struct Survey {
  device::RomBlock romBlock{};
  device::Registry registry;
};

// One line naming the file (relative to the folder given) and what is wrong with it.
struct UnusableSurvey {
  std::string reason;
  std::optional<std::u16string> romLanguage;  // when rom.bin could be read
};

std::variant<Survey, UnusableSurvey> ReadSurvey(const SurveyFolder& folder);

}  // namespace cesim
