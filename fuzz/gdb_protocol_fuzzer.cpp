// The debugger protocol's packet layer over any bytes a client may send: the decoder and the
// command parser either accept or refuse with a one-line ProtocolError; a packet is never longer
// than the bound; and every accepted payload, encoded again, decodes to itself.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "remote_protocol.h"

namespace {

void CheckOneLine(const gdbstub::ProtocolError& error) {
  const std::string what = error.what();
  if (what.empty() || what.find('\n') != std::string::npos) __builtin_trap();
}

void CheckRoundTrip(const std::string& payload) {
  gdbstub::PacketDecoder decoder;
  std::vector<gdbstub::Incoming> items;
  const std::string packet = gdbstub::EncodePacket(payload);
  decoder.Feed({reinterpret_cast<const uint8_t*>(packet.data()), packet.size()}, items);
  if (items.size() != 1 || items[0].payload != payload) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  gdbstub::PacketDecoder decoder;
  std::vector<gdbstub::Incoming> items;
  // Fed in two pieces, as a socket may deliver it.
  const size_t cut = size == 0 ? 0 : data[0] % (size + 1);
  try {
    decoder.Feed({data, cut}, items);
    decoder.Feed({data + cut, size - cut}, items);
  } catch (const gdbstub::ProtocolError& error) {
    CheckOneLine(error);
  }
  for (const gdbstub::Incoming& item : items) {
    if (item.kind != gdbstub::Incoming::Packet) continue;
    if (item.payload.size() > gdbstub::kMaxPacket) __builtin_trap();
    CheckRoundTrip(item.payload);
    try {
      const gdbstub::Command command = gdbstub::ParseCommand(item.payload);
      if ((command.kind == gdbstub::Command::ReadMemory ||
           command.kind == gdbstub::Command::WriteMemory) &&
          command.length > gdbstub::kMaxTransfer) {
        __builtin_trap();
      }
      if (command.kind == gdbstub::Command::WriteMemory && command.data.size() != command.length) {
        __builtin_trap();
      }
    } catch (const gdbstub::ProtocolError& error) {
      CheckOneLine(error);
    }
  }
  // The whole input as one payload, whatever framing it would need.
  try {
    gdbstub::ParseCommand({reinterpret_cast<const char*>(data), size});
  } catch (const gdbstub::ProtocolError& error) {
    CheckOneLine(error);
  }
  return 0;
}
