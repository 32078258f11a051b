#include "fleet_report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <system_error>

#include "options.h"
#include "storage_manager.h"

namespace cesim {
namespace {

using Json = nlohmann::ordered_json;

Json Optional(const std::optional<std::string>& text) {
  return text ? Json(*text) : Json(nullptr);
}

std::string StaleLine(const StaleValue& stale) {
  return "[" + stale.key + "] " + (stale.name.empty() ? "@" : "\"" + stale.name + "\"") + " = \"" +
         stale.text + "\"";
}

// A field as RFC 4180 has it: quoted when it holds a comma, a quote or a line end.
std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

}  // namespace

std::string JsonLine(const DeviceReport& report) {
  Json line;
  line["device"] = report.device;
  line["outcome"] = OutcomeName(report.outcome);
  line["rom_language"] = Optional(report.romLanguage);
  line["changed"] = report.changed;
  line["stopped_at"] = Optional(report.stoppedAt);
  line["asks_reset"] = report.asksReset;
  Json mounts = Json::object();
  for (const auto& [profile, folder] : report.mountsAs) mounts[profile] = folder;
  line["mounts_as"] = report.mountsAs.empty() ? Json(nullptr) : mounts;
  Json stale = Json::array();
  for (const StaleValue& value : report.staleReferences) {
    stale.push_back({{"key", value.key}, {"value", value.name}, {"text", value.text}});
  }
  line["stale_references"] = stale;
  line["reason"] = Optional(report.reason);
  // Folder names come from the file system and need not be UTF-8.
  return line.dump(-1, ' ', false, Json::error_handler_t::replace) + '\n';
}

std::string CsvHeader() {
  std::string header = "device,outcome,rom_language,changed,stopped_at,asks_reset";
  for (std::u16string_view profile : device::kCardProfiles) {
    header += ",mounts_as_" + device::ToUtf8(profile);
  }
  return header + ",stale_references,reason\r\n";
}

std::string CsvRow(const DeviceReport& report) {
  std::vector<std::string> fields = {report.device,
                                     std::string(OutcomeName(report.outcome)),
                                     report.romLanguage.value_or(""),
                                     std::to_string(report.changed),
                                     report.stoppedAt.value_or(""),
                                     report.asksReset ? "true" : "false"};
  for (size_t i = 0; i < device::kCardProfiles.size(); ++i) {
    fields.push_back(i < report.mountsAs.size() ? report.mountsAs[i].second : "");
  }
  std::string stale;
  for (const StaleValue& value : report.staleReferences) {
    stale += (stale.empty() ? "" : "\n") + StaleLine(value);
  }
  fields.push_back(stale);
  fields.push_back(report.reason.value_or(""));
  std::string row;
  for (const std::string& field : fields) row += (row.empty() ? "" : ",") + CsvField(field);
  return row + "\r\n";
}

void FleetTally::Add(const DeviceReport& report) {
  ++devices_;
  ++counts_[static_cast<size_t>(report.outcome)];
  if (!report.staleReferences.empty()) ++withStale_;
  staleValues_ += report.staleReferences.size();
  if (!NeedsAttention(report.outcome)) return;
  if (++attention_ > kListed) return;
  listed_.push_back(report.device + "  " + std::string(OutcomeName(report.outcome)) +
                    (report.reason ? ": " + *report.reason : std::string()));
}

std::string FleetTally::Table(const std::string& program,
                              const std::vector<std::string>& files) const {
  std::string table =
      "fleet: " + std::to_string(devices_) + " device(s), run with " + program + ", answered No\n";
  for (Outcome outcome : kOutcomes) {
    const size_t count = counts_[static_cast<size_t>(outcome)];
    if (count == 0 && outcome == Outcome::Fault) continue;
    std::string name(OutcomeName(outcome));
    name.resize(std::max<size_t>(name.size(), 10), ' ');
    table += "  " + name + std::to_string(count) + '\n';
  }
  const size_t reset = counts_[0] + counts_[1];
  table += "  " + std::to_string(reset) + " updated or unchanged device(s) ask for a soft reset\n";
  table += "  stale references: " + std::to_string(staleValues_) + " value(s) on " +
           std::to_string(withStale_) + " device(s)\n";
  if (attention_ == 0) return table + "no device needs attention\n";
  table += "need attention: " + std::to_string(attention_) + " device(s)";
  if (attention_ > kListed) table += ", the first " + std::to_string(kListed) + " here";
  table += '\n';
  for (const std::string& line : listed_) table += "  " + line + '\n';
  if (attention_ > kListed) {
    std::string where;
    for (const std::string& file : files) where += (where.empty() ? "" : " and ") + file;
    table +=
        "  " + std::to_string(attention_ - kListed) + " more" +
        (where.empty() ? std::string(" (--json or --csv lists every device)") : " in " + where) +
        '\n';
  }
  return table;
}

ProgressBar::~ProgressBar() {
  std::fputs("\r\033[K", terminal_);
  std::fflush(terminal_);
}

void ProgressBar::Done(size_t done) {
  const auto now = std::chrono::steady_clock::now();
  if (done < total_ && now - drawn_ < std::chrono::milliseconds(100)) return;
  drawn_ = now;
  constexpr size_t kWidth = 30;
  const size_t filled = total_ == 0 ? kWidth : done * kWidth / total_;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  std::fprintf(terminal_, "\r[%s%s] %zu/%zu devices, %.0f/s\033[K",
               std::string(filled, '#').c_str(), std::string(kWidth - filled, ' ').c_str(), done,
               total_, seconds > 0 ? done / seconds : 0.0);
  std::fflush(terminal_);
}

StreamedFile::StreamedFile(std::filesystem::path file) : file_(std::move(file)) {
  std::error_code error;
  if (std::filesystem::is_directory(file_, error)) {
    throw InputError(file_.string() + ": a folder, not a file to write the report to");
  }
  std::string name = (file_.parent_path() / ("." + file_.filename().string() + ".XXXXXX")).string();
  const int fd = ::mkstemp(name.data());
  if (fd < 0) throw InputError(file_.string() + ": cannot write: " + std::strerror(errno));
  temporary_ = name;
  const mode_t mask = ::umask(0);  // read before any worker starts: umask has no query
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  stream_ = ::fdopen(fd, "w");
}

StreamedFile::~StreamedFile() {
  if (stream_ != nullptr) std::fclose(stream_);
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

void StreamedFile::Write(const std::string& text) {
  if (error_ == 0 && std::fwrite(text.data(), 1, text.size(), stream_) != text.size()) {
    error_ = errno;
  }
}

std::optional<std::string> StreamedFile::Commit() {
  if (error_ == 0 && std::fflush(stream_) != 0) error_ = errno;
  if (error_ == 0 && ::fsync(::fileno(stream_)) != 0) error_ = errno;
  if (std::fclose(std::exchange(stream_, nullptr)) != 0 && error_ == 0) error_ = errno;
  if (error_ == 0 && std::rename(temporary_.c_str(), file_.c_str()) != 0) error_ = errno;
  if (error_ != 0) return file_.string() + ": cannot write: " + std::strerror(error_);
  temporary_.clear();
  return std::nullopt;
}

}  // namespace cesim
