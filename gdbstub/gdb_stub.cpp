#include "gdb_stub.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "binary.h"
#include "machine.h"

namespace gdbstub {
namespace {

// GDB's ARM register numbers: r0-r12, sp, lr, pc, then cpsr at 25, as its arm-core feature has.
constexpr int kCpsrNumber = 25;
constexpr std::array<int, 17> kRegisters = {
    UC_ARM_REG_R0,  UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3, UC_ARM_REG_R4,  UC_ARM_REG_R5,
    UC_ARM_REG_R6,  UC_ARM_REG_R7, UC_ARM_REG_R8, UC_ARM_REG_R9, UC_ARM_REG_R10, UC_ARM_REG_R11,
    UC_ARM_REG_R12, UC_ARM_REG_SP, UC_ARM_REG_LR, UC_ARM_REG_PC, UC_ARM_REG_CPSR};

// The engine's register for GDB's number, or -1.
int EngineRegister(uint32_t number) {
  if (number < 16) return kRegisters[number];
  if (number == kCpsrNumber) return UC_ARM_REG_CPSR;
  return -1;
}

constexpr char kTargetDescription[] = R"(<?xml version="1.0"?>
<!DOCTYPE target SYSTEM "gdb-target.dtd">
<target version="1.0">
  <architecture>arm</architecture>
  <feature name="org.gnu.gdb.arm.core">
    <reg name="r0" bitsize="32" type="uint32"/>
    <reg name="r1" bitsize="32" type="uint32"/>
    <reg name="r2" bitsize="32" type="uint32"/>
    <reg name="r3" bitsize="32" type="uint32"/>
    <reg name="r4" bitsize="32" type="uint32"/>
    <reg name="r5" bitsize="32" type="uint32"/>
    <reg name="r6" bitsize="32" type="uint32"/>
    <reg name="r7" bitsize="32" type="uint32"/>
    <reg name="r8" bitsize="32" type="uint32"/>
    <reg name="r9" bitsize="32" type="uint32"/>
    <reg name="r10" bitsize="32" type="uint32"/>
    <reg name="r11" bitsize="32" type="uint32"/>
    <reg name="r12" bitsize="32" type="uint32"/>
    <reg name="sp" bitsize="32" type="data_ptr"/>
    <reg name="lr" bitsize="32"/>
    <reg name="pc" bitsize="32" type="code_ptr"/>
    <reg name="cpsr" bitsize="32" regnum="25"/>
  </feature>
</target>
)";

constexpr uint32_t kPollInterval = 4096;  // instructions between looks for the interrupt byte

std::string SignalReply(char letter, int signal) {
  const uint8_t number = static_cast<uint8_t>(signal);
  return letter + HexBytes(std::span(&number, 1));
}

}  // namespace

GdbStub::GdbStub(uint16_t port) : listener_(port) {}

GdbStub::~GdbStub() = default;

void GdbStub::Attach(emulator::Machine& machine, int timeoutMs) {
  connection_.emplace(listener_.Accept(timeoutMs));
  machine_ = &machine;
  uc_hook hook;
  emulator::UnicornEngine::Check(
      uc_hook_add(machine.engine().get(), &hook, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE,
                  reinterpret_cast<void*>(&OnMemoryAccess), this, 1, 0),
      "uc_hook_add");
  machine.Attach(*this);
}

void GdbStub::BeforeInstruction(emulator::Machine& machine, uint32_t address) {
  if (ended_) throw DebuggerEndedRun(*ended_);
  if (!connection_) return;
  std::optional<std::string> stop;
  if (!started_) {
    started_ = true;
    stop = "S05";
  } else if (stepping_ || breakpoints_.contains(address)) {
    stop = "S05";
  } else if (++sinceLastPoll_ >= kPollInterval) {
    sinceLastPoll_ = 0;
    PollForInterrupt(machine, address);
    return;
  }
  if (stop) Serve(machine, *stop, false);
}

void GdbStub::PollForInterrupt(emulator::Machine& machine, uint32_t) {
  for (const Incoming& item : Receive(0)) {
    if (item.kind == Incoming::Interrupt) {
      Serve(machine, SignalReply('S', 2), false);  // SIGINT
      return;
    }
  }
}

void GdbStub::OnFault(emulator::Machine& machine, emulator::FaultSignal signal,
                      const std::string&) {
  if (!connection_) return;
  try {
    Serve(machine, SignalReply('T', static_cast<int>(signal)), true);
  } catch (const std::exception&) {
    // The run ends with its fault either way; the debugger's connection goes with it.
    Close();
  }
}

void GdbStub::ProcessEnded(int exitStatus) {
  if (!connection_) return;
  if (resumed_) {
    try {
      Reply(SignalReply('W', exitStatus & 0xFF));
    } catch (const ConnectionError&) {
      // the debugger has gone already
    }
  }
  Close();
}

void GdbStub::Close() {
  connection_.reset();
  breakpoints_.clear();
  watches_.clear();
  stepping_ = false;
  resumed_ = false;
}

// Answers the debugger from a stop until it resumes the run or leaves it. A fault cannot be
// resumed: continuing or stepping ends the process with the fault's signal.
GdbStub::Outcome GdbStub::Serve(emulator::Machine& machine, const std::string& stopReply,
                                bool faulted) {
  lastStop_ = stopReply;
  if (resumed_) Reply(stopReply);
  resumed_ = false;
  stepping_ = false;
  for (;;) {
    std::vector<Incoming> items = Receive(-1);
    if (!connection_) return Outcome::Detached;  // the debugger closed the connection
    for (const Incoming& item : items) {
      if (item.kind == Incoming::Nak && !lastPacket_.empty()) connection_->Send(lastPacket_);
      if (item.kind != Incoming::Packet) continue;
      if (acknowledging_) connection_->Send("+");
      const Command command = ParseCommand(item.payload);
      switch (command.kind) {
        case Command::Continue:
        case Command::Step:
          if (faulted) {
            Reply("X" + stopReply.substr(1, 2));  // ended by the fault's signal
            Close();
            return Outcome::Detached;
          }
          if (command.resumeAt) machine.engine().SetRegister(UC_ARM_REG_PC, *command.resumeAt);
          stepping_ = command.kind == Command::Step;
          resumed_ = true;
          return Outcome::Resumed;
        case Command::Detach:
          Reply("OK");
          Close();
          return Outcome::Detached;
        case Command::Kill:
          Close();
          if (faulted) return Outcome::Detached;
          throw DebuggerEndedRun("the debugger killed the process");
        default:
          Reply(Answer(machine, command));
      }
    }
  }
}

std::string GdbStub::Answer(emulator::Machine& machine, const Command& command) {
  emulator::UnicornEngine& engine = machine.engine();
  switch (command.kind) {
    case Command::StopReason:
      return lastStop_;
    case Command::ReadRegisters: {
      std::string text;
      for (int id : kRegisters) text += HexWord(engine.Register(id));
      return text;
    }
    case Command::WriteRegisters:
      if (command.data.size() != 4 * kRegisters.size()) return "E16";
      for (size_t i = 0; i < kRegisters.size(); ++i) {
        engine.SetRegister(kRegisters[i], binary::Load32(command.data, 4 * i));
      }
      return "OK";
    case Command::ReadRegister: {
      const int id = EngineRegister(command.regnum);
      return id < 0 ? "E16" : HexWord(engine.Register(id));
    }
    case Command::WriteRegister: {
      const int id = EngineRegister(command.regnum);
      if (id < 0) return "E16";
      engine.SetRegister(id, command.value);
      return "OK";
    }
    case Command::ReadMemory: {
      auto bytes = machine.memory().Read(command.address, command.length);
      return bytes ? HexBytes(*bytes) : "E14";  // EFAULT: not readable by the process
    }
    case Command::WriteMemory:
      return machine.memory().Write(command.address, command.data) ? "OK" : "E14";
    case Command::InsertPoint:
    case Command::RemovePoint: {
      const bool insert = command.kind == Command::InsertPoint;
      if (command.point == PointKind::Software || command.point == PointKind::Hardware) {
        if (insert) {
          breakpoints_.insert(command.address);
        } else {
          breakpoints_.erase(command.address);
        }
        return "OK";
      }
      const Watch watch{command.address, command.length, command.point};
      auto same = std::ranges::find_if(watches_, [&](const Watch& w) {
        return w.address == watch.address && w.length == watch.length && w.kind == watch.kind;
      });
      if (insert && same == watches_.end()) watches_.push_back(watch);
      if (!insert && same != watches_.end()) watches_.erase(same);
      return "OK";
    }
    case Command::ResumeActions:
      return "vCont;c;C;s;S";
    case Command::Supported:
      return "PacketSize=4000;qXfer:features:read+;QStartNoAckMode+";
    case Command::ReadFeatures: {
      if (command.name != "target.xml") return "E00";
      const std::string_view text = kTargetDescription;
      if (command.address >= text.size()) return "l";
      const std::string_view part = text.substr(command.address, command.length);
      return (command.address + part.size() >= text.size() ? "l" : "m") + std::string(part);
    }
    case Command::Query:
      if (command.name == "QStartNoAckMode") {
        acknowledging_ = false;
        return "OK";
      }
      if (command.name == "qAttached") return "1";  // quitting the debugger detaches
      if (command.name == "qC") return "QC1";
      if (command.name == "qfThreadInfo") return "m1";
      if (command.name == "qsThreadInfo") return "l";
      if (command.name == "qSymbol") return "OK";
      return "";
    case Command::SetThread:
    case Command::ThreadAlive:
      return "OK";
    default:
      return "";
  }
}

std::vector<Incoming> GdbStub::Receive(int timeoutMs) {
  std::vector<Incoming> items;
  std::array<uint8_t, 4096> buffer;
  const long received = connection_->Receive(buffer, timeoutMs);
  if (received == 0) {
    Close();  // the debugger went away: the run goes on without it
  } else if (received > 0) {
    decoder_.Feed(std::span(buffer).first(static_cast<size_t>(received)), items);
  }
  return items;
}

void GdbStub::Reply(const std::string& payload) {
  lastPacket_ = EncodePacket(payload);
  connection_->Send(lastPacket_);
}

void GdbStub::OnMemoryAccess(uc_engine*, uc_mem_type type, uint64_t address, int size, int64_t,
                             void* stub) {
  auto& self = *static_cast<GdbStub*>(stub);
  if (self.watches_.empty() || !self.connection_ || self.ended_) return;
  try {
    self.CheckWatches(type, static_cast<uint32_t>(address), static_cast<uint32_t>(size));
  } catch (const std::exception& error) {
    // Nothing may unwind through the engine: the run ends before the next instruction.
    self.ended_ = error.what();
  }
}

// A watched access stops the run before the access takes effect, with the pc at its instruction;
// the debugger steps over it itself, as it does on ARM hardware.
void GdbStub::CheckWatches(uc_mem_type type, uint32_t address, uint32_t size) {
  const bool write = type == UC_MEM_WRITE;
  for (const Watch& watch : watches_) {
    const bool overlaps = address < watch.address + watch.length && watch.address < address + size;
    const bool kindMatches =
        watch.kind == PointKind::Access ||
        (write ? watch.kind == PointKind::Write : watch.kind == PointKind::Read);
    if (!overlaps || !kindMatches) continue;
    const char* name = watch.kind == PointKind::Write  ? "watch"
                       : watch.kind == PointKind::Read ? "rwatch"
                                                       : "awatch";
    char reply[40];
    std::snprintf(reply, sizeof reply, "T05%s:%x;", name, std::max(address, watch.address));
    Serve(*machine_, reply, false);
    return;
  }
}

}  // namespace gdbstub
