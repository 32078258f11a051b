// Until the device's own calls are records: a record rendered as the text trace line.
#include <cstdio>

#include "device.h"

namespace device {
namespace {

std::string Render(const Value& value) {
  char hex[16];
  switch (value.kind) {
    case Value::Kind::Null:
      return "NULL";
    case Value::Kind::Buffer:
      return "buffer";
    case Value::Kind::BadPointer:
    case Value::Kind::Handle:
      std::snprintf(hex, sizeof hex, "0x%08X", static_cast<uint32_t>(value.number));
      return hex;
    case Value::Kind::Number:
      return std::to_string(value.number);
    case Value::Kind::Constant:
      return value.text;
    case Value::Kind::Text:
      return "\"" + value.text + "\"";
    case Value::Kind::Word:
      return "[" + std::to_string(value.number) + "]";
    default:
      return "data";
  }
}

}  // namespace

void Device::RecordCall(const CallRecord& call) {
  std::string line = call.routine + "(";
  for (size_t i = 0; i < call.arguments.size(); ++i) {
    line += (i ? ", " : "") + Render(call.arguments[i]);
  }
  line += ")";
  if (call.result) line += " -> " + Render(*call.result);
  for (const Returned& value : call.returned) line += ", " + value.name + " " + Render(value.value);
  if (!call.note.empty()) line += " (" + call.note + ")";
  RecordCall(line);
}

}  // namespace device
