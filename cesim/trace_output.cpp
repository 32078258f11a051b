#include "trace_output.h"

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "binary.h"
#include "registry.h"

namespace cesim {
namespace {

using device::Value;
using Kind = Value::Kind;

std::string Hex(int64_t value) {
  return binary::Hex(static_cast<uint32_t>(value), 8);
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
  path_ = *options.traceFile;
  try {
    file_.emplace(path_);
  } catch (const fileio::FileError& error) {
    throw InputError(path_.string() + ": cannot write the trace: " + error.what());
  }
}

TraceOutput::~TraceOutput() {
  if (!file_ || finished_) return;
  if (const std::optional<std::string> failure = Failure()) {
    std::cout << std::flush;
    std::cerr << "cesim: " << *failure << '\n';
  }
}

void TraceOutput::Write(const std::string& text) {
  if (!file_) {
    std::cout << text << std::flush;
    return;
  }
  if (failure_) return;  // the first error is the one reported
  try {
    file_->Write(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  } catch (const fileio::FileError& error) {
    failure_ = error.what();
  }
}

device::CallSink TraceOutput::Sink() {
  return [this](const device::CallRecord& call) {
    Write(json_ ? CallAsJson(call) + '\n' : "trace: " + CallAsText(call) + '\n');
  };
}

std::optional<std::string> TraceOutput::Failure() {
  if (!file_) return std::nullopt;
  if (!finished_ && !failure_) {
    try {
      file_->Commit();
    } catch (const fileio::FileError& error) {
      failure_ = error.what();
    }
  }
  finished_ = true;
  if (!failure_) return std::nullopt;
  return path_.string() + ": the trace could not be written: " + *failure_;
}

}  // namespace cesim
