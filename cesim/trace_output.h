// Where the trace goes: with the output, or to its own file; as text, or as JSON for scripts
// (one object per platform call, one per line).
#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>

#include "call_record.h"
#include "checked_output.h"
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
  // Opens the trace file, if one is given; throws InputError when it cannot be written.
  explicit TraceOutput(const Options& options);
  ~TraceOutput();
  TraceOutput(const TraceOutput&) = delete;
  TraceOutput& operator=(const TraceOutput&) = delete;

  // What the device hands each call record to.
  device::CallSink Sink();

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
