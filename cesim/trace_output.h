// Where the trace goes: with the output, or to its own file; as text, or as JSON for scripts
// (one object per platform call, one per line).
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "file_io.h"
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
  // Opens the trace file, if one is given, as every output is (fileio::OutputFile: a regular
  // file is replaced when the trace is complete, a FIFO or a device written into as the run
  // goes); throws InputError when it cannot be written.
  explicit TraceOutput(const Options& options);
  // Completes the trace file if Failure was not asked, as when the run ends with a fault, and
  // says on stderr if that failed.
  ~TraceOutput();
  TraceOutput(const TraceOutput&) = delete;
  TraceOutput& operator=(const TraceOutput&) = delete;

  // What the device calls with each traced call.
  std::function<void(const std::string&)> Sink();

  // Completes the trace file; one line naming it and the error, when writing it failed.
  std::optional<std::string> Failure();

 private:
  void Write(const std::string& text);

  bool json_;
  std::filesystem::path path_;
  std::optional<fileio::OutputFile> file_;
  bool finished_ = false;
  std::optional<std::string> failure_;
};

}  // namespace cesim
