#include "fleet_survey.h"

#include <sys/stat.h>

#include <algorithm>
#include <utility>

#include "file_io.h"
#include "options.h"

namespace cesim {
namespace {

namespace fs = std::filesystem;

std::optional<std::pair<dev_t, ino_t>> Identity(const fs::path& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return std::nullopt;
  return std::pair{status.st_dev, status.st_ino};
}

bool Inside(const fs::path& path, const fs::path& root) {
  auto [rootEnd, pathAt] = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
  return rootEnd == root.end();
}

std::string Joined(const std::string& parent, const std::string& entry) {
  return parent == "." ? entry : parent + "/" + entry;
}

// The names of the folders inside `path` (links to folders included), in byte order, and whether
// it holds a survey's file.
struct Listing {
  std::vector<std::string> folders;
  bool survey = false;
};

Listing List(const fs::path& path, std::error_code& error) {
  Listing listing;
  for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name == kRomFileName || name == kRegistryFileName) listing.survey = true;
    std::error_code typeError;
    if (it->is_symlink(typeError) || it->is_directory(typeError)) listing.folders.push_back(name);
  }
  std::ranges::sort(listing.folders);
  return listing;
}

}  // namespace

SurveyWalk::SurveyWalk(const std::vector<fs::path>& folders) : folders_(folders) {
  for (const fs::path& folder : folders_) {
    std::error_code error;
    if (!fs::is_directory(folder, error)) {
      throw InputError(folder.string() + ": not a folder" +
                       (error ? ": " + error.message() : std::string()));
    }
  }
}

// Lists a folder the walk reaches and notes it when it is a survey; false when there is nothing
// inside to walk.
bool SurveyWalk::Enter(fs::path path, std::string name, std::pair<dev_t, ino_t> identity,
                       std::optional<std::string> survey) {
  std::error_code error;
  Listing listing = List(path, error);
  if (error) {
    pending_ = SurveyFolder{root_, path, name, "cannot list the folder: " + error.message()};
    return false;
  }
  if (listing.survey) {
    std::optional<std::string> problem;
    if (survey) problem = "a survey folder inside the survey folder " + *survey;
    pending_ = SurveyFolder{root_, path, name, problem};
    if (!survey) survey = name;
  }
  frames_.push_back(
      {std::move(path), std::move(name), identity, std::move(survey), std::move(listing.folders)});
  return true;
}

std::optional<SurveyFolder> SurveyWalk::Next() {
  for (;;) {
    if (pending_) return std::exchange(pending_, std::nullopt);
    if (frames_.empty()) {
      if (nextFolder_ == folders_.size()) return std::nullopt;
      const fs::path& folder = folders_[nextFolder_++];
      std::error_code error;
      root_ = fs::canonical(folder, error);
      const std::optional<std::pair<dev_t, ino_t>> identity = Identity(folder);
      if (error || !identity) {
        pending_ = SurveyFolder{folder, folder, ".", "cannot read the folder: " + error.message()};
        continue;
      }
      Enter(folder, ".", *identity, std::nullopt);
      continue;
    }
    if (std::optional<SurveyFolder> found = Step()) return found;
  }
}

// Goes one entry further in the innermost folder, or leaves it when it has none left.
std::optional<SurveyFolder> SurveyWalk::Step() {
  Frame& frame = frames_.back();
  if (frame.next == frame.entries.size()) {
    frames_.pop_back();
    return std::nullopt;
  }
  const std::string& entry = frame.entries[frame.next++];
  fs::path path = frame.path / entry;
  std::string name = Joined(frame.name, entry);
  std::error_code error;
  if (fs::is_symlink(path, error)) {
    const fs::path target = fs::canonical(path, error);
    if (error || !fs::is_directory(target, error)) return std::nullopt;  // not a folder
    if (!Inside(target, root_)) {
      return SurveyFolder{
          root_, path, name,
          "a link to " + target.string() + ", outside the folder given: not followed"};
    }
  }
  const std::optional<std::pair<dev_t, ino_t>> identity = Identity(path);
  if (!identity) return std::nullopt;  // gone since it was listed
  for (const Frame& outer : frames_) {
    if (outer.identity == *identity) {
      return SurveyFolder{
          root_, path, name,
          "a link back to " + outer.name + ", a folder it lies in: a loop, not followed"};
    }
  }
  Enter(std::move(path), std::move(name), *identity, frame.survey);
  return std::nullopt;
}

namespace {

// A survey's file, read whole up to `maxSize`; the reason it cannot be, naming it.
std::variant<std::vector<uint8_t>, std::string> ReadSurveyFile(const SurveyFolder& folder,
                                                               const char* file, size_t maxSize,
                                                               const std::string& tooLarge) {
  const fs::path path = folder.path / file;
  const std::string name = Joined(folder.name, file);
  std::error_code error;
  if (!fs::exists(fs::symlink_status(path, error))) return name + ": missing";
  if (fs::is_symlink(fs::symlink_status(path, error))) {
    const fs::path target = fs::canonical(path, error);
    if (error) return name + ": a link to nothing: " + error.message();
    if (!Inside(target, folder.root)) {
      return name + ": a link to " + target.string() + ", outside the folder given: not followed";
    }
  }
  try {
    return fileio::ReadWholeFile(path, maxSize);
  } catch (const fileio::FileError& failure) {
    if (failure.step == fileio::FileStep::kTooLarge) return name + ": " + tooLarge;
    if (failure.step == fileio::FileStep::kNotRegular) return name + ": not a regular file";
    return name + ": cannot read: " + failure.code.message();
  }
}

}  // namespace

std::variant<Survey, UnusableSurvey> ReadSurvey(const SurveyFolder& folder) {
  if (folder.problem) return UnusableSurvey{*folder.problem, std::nullopt};
  auto rom = ReadSurveyFile(folder, kRomFileName, device::kRomBlockSize,
                            "a ROM information block is 160 bytes, this file has more");
  std::optional<std::u16string> language;
  Survey survey;
  std::optional<std::string> romProblem;
  if (auto* bytes = std::get_if<std::vector<uint8_t>>(&rom)) {
    if (bytes->size() == device::kRomBlockSize) {
      std::ranges::copy(*bytes, survey.romBlock.begin());
      language = device::RomLanguage(survey.romBlock);
    } else {
      romProblem = Joined(folder.name, kRomFileName) +
                   ": a ROM information block is 160 bytes, this file has " +
                   std::to_string(bytes->size());
    }
  } else {
    romProblem = std::get<std::string>(rom);
  }
  auto registry = ReadSurveyFile(folder, kRegistryFileName, fileio::kDefaultMaxFileSize,
                                 "larger than 64 MiB, more than any device's registry");
  if (auto* problem = std::get_if<std::string>(&registry))
    return UnusableSurvey{*problem, language};
  if (romProblem) return UnusableSurvey{*romProblem, language};
  try {
    survey.registry = device::Registry::Parse(std::get<std::vector<uint8_t>>(registry),
                                              Joined(folder.name, kRegistryFileName));
  } catch (const device::RegFileError& error) {
    return UnusableSurvey{error.what(), language};
  }
  return survey;
}

}  // namespace cesim
