// Where the trace goes: with the output, or to its own file; as text, or as JSON for scripts
// (one object per platform call, one per line).
#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>

#include "call_record.h"
#include "file_io.h"
#include "options.h"

namespace cesim {

// A call record as the text trace shows it: MessageBoxW(NULL, "Frage?", "  ", MB_YESNO) -> IDNO.
// Text is quoted, with a quote written \", a control character \xNN, and a backslash as it is
// except where it would read as an escape (before a quote or an x, and last): there it is \x5C.
std::string CallAsText(const device::CallRecord& call);

// A call record as one JSON object: {"call":"MessageBoxW","arguments":[null,"Frage?","  ",
// "MB_YESNO"],"result":"IDNO"}, with "returned" and "note" when the call has them (README).
std::string CallAsJson(const device::CallRecord& call);

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

  // What the device hands each call record to.
  device::CallSink Sink();

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
