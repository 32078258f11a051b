#include "trace_output.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <iostream>
#include <optional>
#include <vector>

namespace cesim {
namespace {

std::string JsonString(std::string_view text) {
  std::string json = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      json += '\\';
      json += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[7];
      std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned char>(c));
      json += escape;
    } else {
      json += c;
    }
  }
  return json + "\"";
}

// Two hex digits, as the trace writes a control character after "\x".
bool IsHexByte(std::string_view digits, unsigned& byte) {
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), byte, 16);
  return error == std::errc() && end == digits.data() + digits.size();
}

// The text of a quoted argument: \" and \xNN undone.
std::string Unquoted(std::string_view quoted) {
  std::string text;
  for (size_t i = 1; i + 1 < quoted.size(); ++i) {
    if (quoted[i] == '\\' && quoted[i + 1] == '"') {
      text += '"';
      ++i;
    } else if (unsigned byte = 0; quoted[i] == '\\' && quoted[i + 1] == 'x' &&
                                  i + 4 < quoted.size() &&
                                  IsHexByte(quoted.substr(i + 2, 2), byte)) {
      // \xNN is an escape; any other backslash is one the trace wrote as it is.
      text += static_cast<char>(byte);
      i += 3;
    } else {
      text += quoted[i];
    }
  }
  return text;
}

std::string JsonArgument(std::string_view argument) {
  if (argument.size() >= 2 && argument.front() == '"' && argument.back() == '"') {
    return JsonString(Unquoted(argument));
  }
  if (argument == "NULL") return "null";
  const bool number = !argument.empty() && argument.size() < 10 &&
                      argument.find_first_not_of("0123456789") == std::string_view::npos &&
                      (argument == "0" || argument.front() != '0');
  return number ? std::string(argument) : JsonString(argument);
}

// The top-level arguments between the parentheses that open at `open`, and where they close.
std::optional<std::pair<std::vector<std::string_view>, size_t>> SplitArguments(
    std::string_view call, size_t open) {
  std::vector<std::string_view> arguments;
  bool quoted = false;
  int depth = 0;
  size_t start = open + 1;
  for (size_t i = open + 1; i < call.size(); ++i) {
    const char c = call[i];
    if (quoted) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        quoted = false;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == '[' || c == '(') {
      ++depth;
    } else if ((c == ']' || c == ')') && depth > 0) {
      --depth;
    } else if (c == ')' || (c == ',' && depth == 0)) {
      std::string_view argument = call.substr(start, i - start);
      if (argument.starts_with(' ')) argument.remove_prefix(1);
      if (!argument.empty() || c == ',') arguments.push_back(argument);
      if (c == ')') return std::make_pair(arguments, i);
      start = i + 1;
    }
  }
  return std::nullopt;
}

}  // namespace

std::string TraceCallAsJson(std::string_view call) {
  const size_t open = call.find('(');
  constexpr std::string_view kArrow = " -> ";
  const auto split = open == std::string_view::npos ? std::nullopt : SplitArguments(call, open);
  if (!split || call.substr(split->second + 1, kArrow.size()) != kArrow) {
    return "{\"line\":" + JsonString(call) + "}";
  }
  std::string json = "{\"call\":" + JsonString(call.substr(0, open)) + ",\"arguments\":[";
  for (size_t i = 0; i < split->first.size(); ++i) {
    json += (i ? "," : "") + JsonArgument(split->first[i]);
  }
  return json + "],\"result\":" + JsonString(call.substr(split->second + 1 + kArrow.size())) + "}";
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

std::function<void(const std::string&)> TraceOutput::Sink() {
  return [this](const std::string& call) {
    Write(json_ ? TraceCallAsJson(call) + '\n' : "trace: " + call + '\n');
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
