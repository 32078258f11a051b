// The GDB remote serial protocol as far as cesim's stub speaks it: packets framed as
// $payload#checksum, acknowledged with + and -, the interrupt byte, and the commands for a
// single-threaded ARM target (registers, memory, continue and step, breakpoints and watchpoints,
// target description, detach and kill). Debian packages no stub library for the unicorn engine,
// so this small layer is written here; it only parses and formats, and holds no socket.
//
// Everything it reads comes from the network and is bounded: a packet longer than kMaxPacket,
// a bad checksum, a number wider than 32 bits, odd or non-hex digits, or a transfer longer than
// kMaxTransfer throws ProtocolError, whose what() is one line.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace gdbstub {

inline constexpr size_t kMaxPacket = 0x4000;      // payload bytes, as qSupported announces
inline constexpr uint32_t kMaxTransfer = 0x1000;  // memory bytes in one m or M

// Whatever ends the debugger's session: a malformed packet, a lost connection, a kill.
struct DebuggerError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct ProtocolError : DebuggerError {
  using DebuggerError::DebuggerError;
};

// What the byte stream from GDB holds, in order.
struct Incoming {
  enum Kind { Packet, Interrupt, Ack, Nak } kind;
  std::string payload;  // Packet: the payload, escapes undone
};

// Turns the bytes GDB sends into Incoming items. Bytes may arrive split anywhere.
class PacketDecoder {
 public:
  // Feeds `bytes`; complete items are appended to `items`. Throws ProtocolError.
  void Feed(std::span<const uint8_t> bytes, std::vector<Incoming>& items);

 private:
  enum class State { Idle, Payload, Escape, Checksum1, Checksum2 };
  State state_ = State::Idle;
  std::string payload_;
  uint8_t sum_ = 0;
  int received_ = 0;  // the checksum's digits so far
};

// "$payload#cs", with $, #, } and * escaped.
std::string EncodePacket(std::string_view payload);

// Hex text of `bytes` in order ("0a1b"), and back. ParseHexBytes throws ProtocolError.
std::string HexBytes(std::span<const uint8_t> bytes);
std::vector<uint8_t> ParseHexBytes(std::string_view text);
// A register's value as GDB's 'g' packet gives it: four bytes, least significant first.
std::string HexWord(uint32_t value);
uint32_t ParseHexWord(std::string_view text);
// A number of at most eight hex digits. Throws ProtocolError.
uint32_t ParseNumber(std::string_view text);

enum class PointKind : uint8_t { Software = 0, Hardware = 1, Write = 2, Read = 3, Access = 4 };

struct Command {
  enum Kind {
    Unknown,         // anything the stub does not support: answered with an empty packet
    StopReason,      // ?
    ReadRegisters,   // g
    WriteRegisters,  // G data
    ReadRegister,    // p n
    WriteRegister,   // P n=value
    ReadMemory,      // m addr,length
    WriteMemory,     // M addr,length:data
    Continue,        // c [addr], C sig[;addr], vCont;c / vCont;C
    Step,            // s [addr], S sig[;addr], vCont;s / vCont;S
    ResumeActions,   // vCont?
    InsertPoint,     // Z type,addr,kind
    RemovePoint,     // z type,addr,kind
    Detach,          // D
    Kill,            // k, vKill
    Supported,       // qSupported[:features]
    ReadFeatures,    // qXfer:features:read:annex:offset,length
    Query,           // another q or Q packet the stub answers: name holds it
    SetThread,       // H
    ThreadAlive,     // T
  } kind = Unknown;
  uint32_t address = 0;              // memory, points, resume address
  uint32_t length = 0;               // memory and feature transfers, point kind or length
  uint32_t regnum = 0;               // p and P
  uint32_t value = 0;                // P
  std::optional<uint32_t> resumeAt;  // c addr / s addr
  PointKind point = PointKind::Software;
  std::vector<uint8_t> data;  // G and M
  std::string name;           // Query: the packet up to its first ':' or ','; annex
};

// Parses one packet's payload. Throws ProtocolError for a malformed command the stub supports.
Command ParseCommand(std::string_view payload);

}  // namespace gdbstub
