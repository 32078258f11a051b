// Where the trace goes: with the output, or to its own file; as text, or as JSON for scripts
// (one object per platform call, one per line).
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "checked_output.h"
#include "options.h"

namespace cesim {

// A traced call as the device records it, "Name(arg, \"text\", ...) -> result", as
// {"call":"Name","arguments":[...],"result":"..."}. A quoted argument becomes a JSON string of
// its text (escapes undone), NULL becomes null, a decimal number a number, anything else (a
// handle, a constant's name, "buffer") a string as shown. A line of another shape becomes
// {"line":"..."}.
std::string TraceCallAsJson(std::string_view call);

class TraceOutput {
 public:
  // Opens the trace file, if one is given; throws InputError when it cannot be written.
  explicit TraceOutput(const Options& options);
  ~TraceOutput();
  TraceOutput(const TraceOutput&) = delete;
  TraceOutput& operator=(const TraceOutput&) = delete;

  // What the device calls with each traced call.
  std::function<void(const std::string&)> Sink();

  // One line naming the trace file and the error, when writing it failed.
  std::optional<std::string> Failure();

 private:
  bool json_;
  std::filesystem::path file_;
  int fd_ = -1;
  std::optional<CheckedOutput> buffer_;
  std::optional<std::ostream> stream_;
};

}  // namespace cesim
