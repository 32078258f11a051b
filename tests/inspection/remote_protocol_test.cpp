// The debugger protocol's packet layer: framing, checksums and escapes, and each command the
// stub serves, parsed from what GDB sends; anything malformed is refused with one line.
#include "remote_protocol.h"

#include <gtest/gtest.h>

namespace gdbstub {
namespace {

std::span<const uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::vector<Incoming> Decode(std::string_view stream) {
  PacketDecoder decoder;
  std::vector<Incoming> items;
  decoder.Feed(Bytes(stream), items);
  return items;
}

std::string Kinds(const std::vector<Incoming>& items) {
  std::string kinds;
  for (const Incoming& item : items) {
    kinds += item.kind == Incoming::Packet      ? "P(" + item.payload + ")"
             : item.kind == Incoming::Interrupt ? std::string("I")
             : item.kind == Incoming::Ack       ? std::string("+")
                                                : std::string("-");
  }
  return kinds;
}

TEST(PacketDecoder, FramesPacketsAcksAndInterruptsInOrder) {
  struct Case {
    std::string stream;
    std::string items;
  } const cases[] = {
      {"$g#67", "P(g)"},
      {"+$?#3f", "+P(?)"},
      {"$m11000,4#bf-\x03", "P(m11000,4)-I"},
      {"$#00", "P()"},
      // An escaped '#' and '}' inside the payload; the checksum covers the bytes as sent.
      {"$X}\x03}]#" + std::string("b2"), "P(X#})"},
      {"$OK#9A$OK#9a", "P(OK)P(OK)"},  // checksum digits in either case
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Kinds(Decode(c.stream)), c.items) << c.stream;
  }
}

TEST(PacketDecoder, AcceptsAPacketSplitAtEveryByte) {
  const std::string stream = "+$M12000,2:abcd#" + EncodePacket("M12000,2:abcd").substr(15) + "\x03";
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    PacketDecoder decoder;
    std::vector<Incoming> items;
    decoder.Feed(Bytes(stream.substr(0, cut)), items);
    decoder.Feed(Bytes(stream.substr(cut)), items);
    EXPECT_EQ(Kinds(items), "+P(M12000,2:abcd)I") << "cut at " << cut;
  }
}

TEST(PacketDecoder, RefusesWhatGdbNeverSends) {
  struct Case {
    std::string stream;
    const char* message;
  } const cases[] = {
      {"$g#00", "packet checksum 00, expected 67"},
      {"$g#6x", "packet checksum is not hex"},
      {"x", "byte 0x78 outside a packet"},
      {"$g$g#67", "'$' inside a packet"},
      {"$" + std::string(kMaxPacket + 1, 'a') + "#00", "packet longer than 16384 bytes"},
  };
  for (const Case& c : cases) {
    try {
      Decode(c.stream);
      ADD_FAILURE() << "accepted " << c.stream.substr(0, 20);
    } catch (const ProtocolError& error) {
      EXPECT_STREQ(error.what(), c.message);
    }
  }
}

TEST(PacketEncoding, EscapesWhatFramingUsesAndDecodesBack) {
  EXPECT_EQ(EncodePacket("OK"), "$OK#9a");
  EXPECT_EQ(EncodePacket(""), "$#00");
  const std::string payload = "a$b#c}d*e\x7f";
  EXPECT_EQ(EncodePacket(payload),
            "$a}\x04"
            "b}\x03"
            "c}]d}\x0a"
            "e\x7f#" +
                EncodePacket(payload).substr(EncodePacket(payload).size() - 2));
  EXPECT_EQ(Kinds(Decode(EncodePacket(payload))), "P(" + payload + ")");
  EXPECT_EQ(HexWord(0x12345678), "78563412");
  EXPECT_EQ(ParseHexWord("78563412"), 0x12345678u);
  EXPECT_EQ(HexBytes(ParseHexBytes("00ff7F")), "00ff7f");
}

TEST(Commands, ParseWhatTheStubServes) {
  struct Case {
    const char* payload;
    Command::Kind kind;
    uint32_t address = 0, length = 0;
    std::optional<uint32_t> resumeAt = std::nullopt;
  } const cases[] = {
      {"?", Command::StopReason},
      {"g", Command::ReadRegisters},
      {"m11000,40", Command::ReadMemory, 0x11000, 0x40},
      {"mffffffff,1", Command::ReadMemory, 0xFFFFFFFF, 1},
      {"m0,1000", Command::ReadMemory, 0, kMaxTransfer},
      {"M13004,2:4400", Command::WriteMemory, 0x13004, 2},
      {"c", Command::Continue},
      {"c11130", Command::Continue, 0, 0, 0x11130},
      {"s", Command::Step},
      {"C0b;11138", Command::Continue, 0, 0, 0x11138},
      {"S05", Command::Step},
      {"vCont?", Command::ResumeActions},
      {"vCont;s:1;c", Command::Step},
      {"vCont;c", Command::Continue},
      {"vCont;C02:1", Command::Continue},
      {"Z0,111cc,4", Command::InsertPoint, 0x111CC, 4},
      {"z0,111cc,4", Command::RemovePoint, 0x111CC, 4},
      {"Z0,111cc,4;X2,2021", Command::InsertPoint, 0x111CC, 4},
      {"Z2,13000,4", Command::InsertPoint, 0x13000, 4},
      {"Z5,0,0", Command::Unknown},
      {"D", Command::Detach},
      {"D;1", Command::Detach},
      {"k", Command::Kill},
      {"vKill;1", Command::Kill},
      {"qSupported:multiprocess+;swbreak+", Command::Supported},
      {"qXfer:features:read:target.xml:0,ffb", Command::ReadFeatures, 0, 0xFFB},
      {"qXfer:libraries:read::0,100", Command::Unknown},
      {"qAttached", Command::Query},
      {"QStartNoAckMode", Command::Query},
      {"Hg0", Command::SetThread},
      {"vMustReplyEmpty", Command::Unknown},
      {"X11000,0:", Command::Unknown},
      {"", Command::Unknown},
  };
  for (const Case& c : cases) {
    const Command command = ParseCommand(c.payload);
    EXPECT_EQ(command.kind, c.kind) << c.payload;
    EXPECT_EQ(command.address, c.address) << c.payload;
    EXPECT_EQ(command.length, c.length) << c.payload;
    EXPECT_EQ(command.resumeAt, c.resumeAt) << c.payload;
  }
  EXPECT_EQ(ParseCommand("M13004,2:4400").data, (std::vector<uint8_t>{0x44, 0x00}));
  EXPECT_EQ(ParseCommand("Z3,13000,2").point, PointKind::Read);
  EXPECT_EQ(ParseCommand("p19").regnum, 25u);
  const Command write = ParseCommand("Pf=30110100");
  EXPECT_EQ(write.regnum, 15u);
  EXPECT_EQ(write.value, 0x00011130u);
  EXPECT_EQ(ParseCommand("qXfer:features:read:target.xml:0,ffb").name, "target.xml");
  EXPECT_EQ(ParseCommand("qfThreadInfo").name, "qfThreadInfo");
  EXPECT_EQ(ParseCommand("G" + std::string(136, '0')).data.size(), 68u);
}

TEST(Commands, RefuseMalformedArgumentsWithOneLine) {
  struct Case {
    const char* payload;
    const char* message;
  } const cases[] = {
      {"m11000", "m packet without ','"},
      {"m,4", "a number of 0 hex digits"},
      {"m123456789,4", "a number of 9 hex digits"},
      {"mxyz,4", "a number that is not hex"},
      {"m0,1001", "m packet asks for 4097 bytes, more than 4096"},
      {"M0,2:44", "M packet's data and length differ"},
      {"M0,1:4", "an odd number of hex digits"},
      {"M0,1:zz", "data that is not hex"},
      {"P1=1234", "a register value of 4 digits, not 8"},
      {"P1", "P packet without '='"},
      {"Z0,111cc", "Z or z packet without ','"},
      {"Z2,13000,0", "watchpoint of 0 bytes"},
      {"Z2,13000,1001", "watchpoint of 4097 bytes"},
      {"vCont;r11000,11004", "vCont action 'r11000,11004' is not supported"},
      {"vCont", "vCont packet without an action"},
      {"vCont;\n2", "vCont action 0x0a32 is not supported"},  // found by the fuzz target
      {"cq", "a number that is not hex"},
      {"qXfer:features:read:target.xml", "qXfer packet without an offset"},
      {"qXfer:features:read:target.xml:0,100000",
       "qXfer packet asks for 1048576 bytes, more than 16384"},
  };
  for (const Case& c : cases) {
    try {
      ParseCommand(c.payload);
      ADD_FAILURE() << "accepted " << c.payload;
    } catch (const ProtocolError& error) {
      EXPECT_STREQ(error.what(), c.message) << c.payload;
    }
  }
}

}  // namespace
}  // namespace gdbstub
