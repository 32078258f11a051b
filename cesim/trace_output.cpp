#include "trace_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "registry.h"

namespace cesim {
namespace {

using device::Value;
using Kind = Value::Kind;

std::string Hex(int64_t value) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(value));
  return text;
}

std::string Quoted(std::string_view text) {
  std::string quoted = "\"";
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      quoted += "\\\"";
    } else if (c == '\\' && (i + 1 == text.size() || text[i + 1] == '"' || text[i + 1] == 'x')) {
      quoted += "\\x5C";
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(c));
      quoted += escape;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

std::string Text(const Value& value) {
  switch (value.kind) {
    case Kind::Null:
      return "NULL";
    case Kind::Buffer:
      return "buffer";
    case Kind::BadPointer:
      return "bad pointer " + Hex(value.number) + " (" + value.text + ")";
    case Kind::Handle:
      return Hex(value.number);
    case Kind::Number:
      return std::to_string(value.number);
    case Kind::Constant:
      return value.text;
    case Kind::Text:
      return Quoted(value.text);
    case Kind::Bytes:  // as a registry file writes it: hex:01,2c or dword:0000000f
      return device::FormatValueData(
          device::RegValue{u"", static_cast<uint32_t>(value.number), value.bytes});
    case Kind::Strings: {
      std::string list = "multi_sz:";
      for (size_t i = 0; i < value.strings.size(); ++i) {
        list += (i ? "," : "") + Quoted(value.strings[i]);
      }
      return list;
    }
    case Kind::Word:
      return "[" + std::to_string(value.number) + "]";
  }
  return {};
}

nlohmann::ordered_json Json(const Value& value) {
  switch (value.kind) {
    case Kind::Null:
      return nullptr;
    case Kind::Number:
      return value.number;
    case Kind::Text:
      return value.text;
    case Kind::BadPointer:
      return {{"badPointer", Hex(value.number)}, {"where", value.text}};
    case Kind::Bytes: {
      std::string hex;
      for (uint8_t byte : value.bytes) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", byte);
        hex += digits;
      }
      return {{"hex", hex}};
    }
    case Kind::Strings:
      return value.strings;
    case Kind::Word:
      return nlohmann::ordered_json::array({value.number});
    case Kind::Buffer:
    case Kind::Handle:
    case Kind::Constant:
      break;
  }
  return Text(value);  // a string as the text trace shows it
}

}  // namespace

std::string CallAsText(const device::CallRecord& call) {
  std::string line = call.routine + "(";
  for (size_t i = 0; i < call.arguments.size(); ++i) {
    line += (i ? ", " : "") + Text(call.arguments[i]);
  }
  line += ") -> ";
  if (call.result) line += Text(*call.result);
  for (const device::Returned& returned : call.returned) {
    // The text a call copied follows its count; anything else is named.
    line += returned.value.kind == Kind::Text ? " " + Text(returned.value)
                                              : ", " + returned.name + " " + Text(returned.value);
  }
  if (!call.note.empty()) line += call.result ? " (" + call.note + ")" : call.note;
  return line;
}

std::string CallAsJson(const device::CallRecord& call) {
  nlohmann::ordered_json json;
  json["call"] = call.routine;
  json["arguments"] = nlohmann::ordered_json::array();
  for (const Value& argument : call.arguments) json["arguments"].push_back(Json(argument));
  if (call.result) json["result"] = Json(*call.result);
  for (const device::Returned& returned : call.returned) {
    json["returned"][returned.name] = Json(returned.value);
  }
  if (!call.note.empty()) json["note"] = call.note;
  return json.dump();
}

TraceOutput::TraceOutput(const Options& options) : json_(options.traceFormat == TraceFormat::Json) {
  if (!options.traceFile) return;
  file_ = *options.traceFile;
  fd_ = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd_ < 0) {
    throw InputError(file_.string() + ": cannot write the trace: " +
                     std::error_code(errno, std::system_category()).message());
  }
  buffer_.emplace(fd_);
  stream_.emplace(&*buffer_);
}

TraceOutput::~TraceOutput() {
  if (fd_ >= 0) ::close(fd_);
}

device::CallSink TraceOutput::Sink() {
  return [this](const device::CallRecord& call) {
    std::ostream& out = stream_ ? *stream_ : std::cout;
    if (json_) {
      out << CallAsJson(call) << '\n';
    } else {
      out << "trace: " << CallAsText(call) << '\n';
    }
    out.flush();
  };
}

std::optional<std::string> TraceOutput::Failure() {
  if (!buffer_ || buffer_->Flush()) return std::nullopt;
  return file_.string() + ": the trace could not be written: " + buffer_->error().message();
}

}  // namespace cesim
