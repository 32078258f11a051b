#include "remote_protocol.h"

#include <algorithm>

#include "binary.h"

namespace gdbstub {
namespace {

constexpr char kDigits[] = "0123456789abcdef";

using binary::HexDigit;

Command Of(Command::Kind kind) {
  Command command;
  command.kind = kind;
  return command;
}

[[noreturn]] void Malformed(const std::string& what) {
  throw ProtocolError(what);
}

// Splits `text` at the first `separator`; throws when there is none.
std::pair<std::string_view, std::string_view> Split(std::string_view text, char separator,
                                                    const char* packet) {
  const size_t at = text.find(separator);
  if (at == std::string_view::npos) {
    Malformed(std::string(packet) + " packet without '" + separator + "'");
  }
  return {text.substr(0, at), text.substr(at + 1)};
}

uint32_t Length(std::string_view text, uint32_t limit, const char* packet) {
  const uint32_t length = ParseNumber(text);
  if (length > limit) {
    Malformed(std::string(packet) + " packet asks for " + std::to_string(length) +
              " bytes, more than " + std::to_string(limit));
  }
  return length;
}

// c [addr] / s [addr]
Command Resume(Command::Kind kind, std::string_view rest) {
  Command command = Of(kind);
  if (!rest.empty()) command.resumeAt = ParseNumber(rest);
  return command;
}

// C sig[;addr] / S sig[;addr]: the signal is not delivered to the guest, which has no handlers.
Command ResumeWithSignal(Command::Kind kind, std::string_view rest) {
  const size_t semicolon = rest.find(';');
  ParseNumber(rest.substr(0, semicolon));
  Command command = Of(kind);
  if (semicolon != std::string_view::npos)
    command.resumeAt = ParseNumber(rest.substr(semicolon + 1));
  return command;
}

// vCont;action[:thread][;action[:thread]]...: one thread, so the first action is what happens.
Command ResumeActions(std::string_view rest) {
  if (rest.empty() || rest[0] != ';') Malformed("vCont packet without an action");
  rest.remove_prefix(1);
  const std::string_view action = rest.substr(0, rest.find_first_of(":;"));
  if (action == "c") return Of(Command::Continue);
  if (action == "s") return Of(Command::Step);
  if (action.size() == 3 && (action[0] == 'C' || action[0] == 'S')) {
    ParseNumber(action.substr(1));
    return Of(action[0] == 'C' ? Command::Continue : Command::Step);
  }
  // Shown as sent when it is printable; else as hex, so that the message stays one line.
  const std::string_view shown = action.substr(0, 16);
  const bool printable = std::ranges::all_of(shown, [](char c) { return c >= ' ' && c <= '~'; });
  Malformed("vCont action " +
            (printable ? "'" + std::string(shown) + "'"
                       : "0x" + HexBytes({reinterpret_cast<const uint8_t*>(shown.data()),
                                          shown.size()})) +
            " is not supported");
}

Command Point(Command::Kind kind, std::string_view rest) {
  auto [type, location] = Split(rest, ',', "Z or z");
  auto [address, size] = Split(location, ',', "Z or z");
  const uint32_t pointType = ParseNumber(type);
  if (pointType > 4) return Of(Command::Unknown);  // not a kind the protocol defines
  Command command = Of(kind);
  command.point = static_cast<PointKind>(pointType);
  command.address = ParseNumber(address);
  // A breakpoint's kind (its instruction's size) may carry conditions after ';'.
  command.length = ParseNumber(size.substr(0, size.find(';')));
  if (command.point >= PointKind::Write && (command.length == 0 || command.length > 4096)) {
    Malformed("watchpoint of " + std::to_string(command.length) + " bytes");
  }
  return command;
}

Command Transfer(std::string_view rest) {
  // qXfer:features:read:annex:offset,length
  auto [object, afterObject] = Split(rest, ':', "qXfer");
  auto [operation, afterOperation] = Split(afterObject, ':', "qXfer");
  if (object != "features" || operation != "read") return Of(Command::Unknown);
  const size_t colon = afterOperation.rfind(':');
  if (colon == std::string_view::npos) Malformed("qXfer packet without an offset");
  auto [offset, length] = Split(afterOperation.substr(colon + 1), ',', "qXfer");
  Command command = Of(Command::ReadFeatures);
  command.name = std::string(afterOperation.substr(0, colon));
  command.address = ParseNumber(offset);
  command.length = Length(length, kMaxPacket, "qXfer");
  return command;
}

}  // namespace

void PacketDecoder::Feed(std::span<const uint8_t> bytes, std::vector<Incoming>& items) {
  for (uint8_t byte : bytes) {
    const char c = static_cast<char>(byte);
    switch (state_) {
      case State::Idle:
        if (c == '$') {
          state_ = State::Payload;
          payload_.clear();
          sum_ = 0;
        } else if (byte == 0x03) {
          items.push_back({Incoming::Interrupt, {}});
        } else if (c == '+') {
          items.push_back({Incoming::Ack, {}});
        } else if (c == '-') {
          items.push_back({Incoming::Nak, {}});
        } else {
          Malformed("byte 0x" + HexBytes(std::span(&byte, 1)) + " outside a packet");
        }
        break;
      case State::Payload:
      case State::Escape:
        if (state_ == State::Payload && c == '#') {
          state_ = State::Checksum1;
          received_ = 0;
          break;
        }
        if (c == '$') Malformed("'$' inside a packet");
        sum_ = static_cast<uint8_t>(sum_ + byte);
        if (state_ == State::Payload && c == '}') {
          state_ = State::Escape;
          break;
        }
        if (payload_.size() == kMaxPacket) {
          Malformed("packet longer than " + std::to_string(kMaxPacket) + " bytes");
        }
        payload_ += state_ == State::Escape ? static_cast<char>(byte ^ 0x20) : c;
        state_ = State::Payload;
        break;
      case State::Checksum1:
      case State::Checksum2: {
        const int digit = HexDigit(c);
        if (digit < 0) Malformed("packet checksum is not hex");
        received_ = received_ * 16 + digit;
        if (state_ == State::Checksum1) {
          state_ = State::Checksum2;
          break;
        }
        state_ = State::Idle;
        if (received_ != sum_) {
          const uint8_t given = static_cast<uint8_t>(received_);
          Malformed("packet checksum " + HexBytes(std::span(&given, 1)) + ", expected " +
                    HexBytes(std::span(&sum_, 1)));
        }
        items.push_back({Incoming::Packet, std::move(payload_)});
        payload_.clear();
        break;
      }
    }
  }
}

std::string EncodePacket(std::string_view payload) {
  std::string packet = "$";
  uint8_t sum = 0;
  for (char c : payload) {
    if (c == '$' || c == '#' || c == '}' || c == '*') {
      packet += '}';
      sum = static_cast<uint8_t>(sum + '}');
      c = static_cast<char>(c ^ 0x20);
    }
    packet += c;
    sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
  }
  packet += '#';
  packet += kDigits[sum >> 4];
  packet += kDigits[sum & 15];
  return packet;
}

std::string HexBytes(std::span<const uint8_t> bytes) {
  std::string text;
  text.reserve(bytes.size() * 2);
  for (uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

std::vector<uint8_t> ParseHexBytes(std::string_view text) {
  if (text.size() % 2 != 0) Malformed("an odd number of hex digits");
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) Malformed("data that is not hex");
    bytes.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  return bytes;
}

std::string HexWord(uint32_t value) {
  std::vector<uint8_t> bytes;
  binary::Append(bytes, value);
  return HexBytes(bytes);
}

uint32_t ParseHexWord(std::string_view text) {
  if (text.size() != 8)
    Malformed("a register value of " + std::to_string(text.size()) + " digits, not 8");
  return binary::Load32(ParseHexBytes(text), 0);
}

uint32_t ParseNumber(std::string_view text) {
  if (text.empty() || text.size() > 8)
    Malformed("a number of " + std::to_string(text.size()) + " hex digits");
  uint32_t value = 0;
  for (char c : text) {
    const int digit = HexDigit(c);
    if (digit < 0) Malformed("a number that is not hex");
    value = value << 4 | static_cast<uint32_t>(digit);
  }
  return value;
}

Command ParseCommand(std::string_view payload) {
  if (payload.empty()) return Of(Command::Unknown);
  const char letter = payload[0];
  const std::string_view rest = payload.substr(1);
  switch (letter) {
    case '?':
      return Of(Command::StopReason);
    case 'g':
      return Of(Command::ReadRegisters);
    case 'G': {
      Command command = Of(Command::WriteRegisters);
      command.data = ParseHexBytes(rest);
      return command;
    }
    case 'p': {
      Command command = Of(Command::ReadRegister);
      command.regnum = ParseNumber(rest);
      return command;
    }
    case 'P': {
      auto [regnum, value] = Split(rest, '=', "P");
      Command command = Of(Command::WriteRegister);
      command.regnum = ParseNumber(regnum);
      command.value = ParseHexWord(value);
      return command;
    }
    case 'm': {
      auto [address, length] = Split(rest, ',', "m");
      Command command = Of(Command::ReadMemory);
      command.address = ParseNumber(address);
      command.length = Length(length, kMaxTransfer, "m");
      return command;
    }
    case 'M': {
      auto [location, data] = Split(rest, ':', "M");
      auto [address, length] = Split(location, ',', "M");
      Command command = Of(Command::WriteMemory);
      command.address = ParseNumber(address);
      command.length = Length(length, kMaxTransfer, "M");
      command.data = ParseHexBytes(data);
      if (command.data.size() != command.length) Malformed("M packet's data and length differ");
      return command;
    }
    case 'c':
      return Resume(Command::Continue, rest);
    case 's':
      return Resume(Command::Step, rest);
    case 'C':
      return ResumeWithSignal(Command::Continue, rest);
    case 'S':
      return ResumeWithSignal(Command::Step, rest);
    case 'Z':
      return Point(Command::InsertPoint, rest);
    case 'z':
      return Point(Command::RemovePoint, rest);
    case 'D':
      return Of(Command::Detach);
    case 'k':
      return Of(Command::Kill);
    case 'H':
      return Of(Command::SetThread);
    case 'T':
      return Of(Command::ThreadAlive);
    case 'v':
      if (payload == "vCont?") return Of(Command::ResumeActions);
      if (payload.starts_with("vCont;") || payload == "vCont") {
        return ResumeActions(payload.substr(5));
      }
      if (payload.starts_with("vKill")) return Of(Command::Kill);
      return Of(Command::Unknown);
    case 'q':
    case 'Q': {
      if (payload.starts_with("qSupported")) return Of(Command::Supported);
      if (payload.starts_with("qXfer:")) return Transfer(payload.substr(6));
      Command command = Of(Command::Query);
      command.name = std::string(payload.substr(0, payload.find_first_of(":,")));
      return command;
    }
    default:
      return Of(Command::Unknown);
  }
}

}  // namespace gdbstub
