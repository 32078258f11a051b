// cesim --gdb PORT: a GDB remote stub for the emulated ARM image. It waits for one debugger on
// 127.0.0.1 before the entry instruction and serves it the run: registers, memory (with the
// guest's protections), continue and step, breakpoints and watchpoints, and a fault as the signal
// it is. Platform calls still go to the simulated device, and a step over one is a single step.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "execution_observer.h"
#include "remote_protocol.h"
#include "tcp_connection.h"
#include "unicorn_engine.h"

namespace gdbstub {

// The debugger ended the run (kill), or spoke so that the stub had to: what() is one line.
struct DebuggerEndedRun : DebuggerError {
  using DebuggerError::DebuggerError;
};

class GdbStub : public emulator::ExecutionObserver {
 public:
  // Listens on 127.0.0.1:`port` (0: any free port). Throws ConnectionError.
  explicit GdbStub(uint16_t port);
  ~GdbStub() override;

  uint16_t port() const { return listener_.port(); }
  // Waits for the debugger's connection (timeoutMs -1: for ever) and hooks the stub into
  // `machine`. Throws ConnectionError.
  void Attach(emulator::Machine& machine, int timeoutMs = -1);

  void BeforeInstruction(emulator::Machine& machine, uint32_t address) override;
  void OnFault(emulator::Machine& machine, emulator::FaultSignal signal,
               const std::string& report) override;
  // The process ended with `exitStatus`: a waiting debugger hears so, and the connection closes.
  void ProcessEnded(int exitStatus);

 private:
  struct Watch {
    uint32_t address, length;
    PointKind kind;
  };
  enum class Outcome { Resumed, Detached };

  Outcome Serve(emulator::Machine& machine, const std::string& stopReply, bool faulted);
  std::string Answer(emulator::Machine& machine, const Command& command);
  std::vector<Incoming> Receive(int timeoutMs);
  void Reply(const std::string& payload);
  void Close();
  void PollForInterrupt(emulator::Machine& machine, uint32_t address);
  static void OnMemoryAccess(uc_engine*, uc_mem_type type, uint64_t address, int size,
                             int64_t value, void* stub);
  void CheckWatches(uc_mem_type type, uint32_t address, uint32_t size);

  Listener listener_;
  std::optional<Connection> connection_;
  emulator::Machine* machine_ = nullptr;
  PacketDecoder decoder_;
  bool acknowledging_ = true;  // until QStartNoAckMode
  std::string lastPacket_;     // resent on '-'
  std::string lastStop_ = "S05";
  bool started_ = false;   // the first instruction has been reported
  bool stepping_ = false;  // stop before the next instruction
  bool resumed_ = false;   // the debugger waits for a stop reply
  std::set<uint32_t> breakpoints_;
  std::vector<Watch> watches_;
  uint32_t sinceLastPoll_ = 0;
  std::optional<std::string> ended_;  // a kill or protocol error seen where nothing may throw
};

}  // namespace gdbstub
