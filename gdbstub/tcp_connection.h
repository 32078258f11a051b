// The debugger's TCP connection: a listener on 127.0.0.1 only (never another address) that takes
// one connection, and that connection's bytes.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string_view>

#include "remote_protocol.h"  // DebuggerError

namespace gdbstub {

// A socket operation that failed; what() is one line with the system's reason.
struct ConnectionError : DebuggerError {
  using DebuggerError::DebuggerError;
};

class Connection {
 public:
  explicit Connection(int socket) : socket_(socket) {}
  ~Connection();
  Connection(Connection&& other) noexcept : socket_(other.socket_) { other.socket_ = -1; }
  Connection& operator=(Connection&&) = delete;
  Connection(const Connection&) = delete;

  void Send(std::string_view bytes);
  // Waits up to `timeoutMs` (-1: for ever) for bytes; returns how many were read, 0 when the peer
  // closed the connection, and -1 when the time ran out.
  long Receive(std::span<uint8_t> buffer, int timeoutMs);

 private:
  int socket_ = -1;
};

class Listener {
 public:
  // Listens on 127.0.0.1:`port`; port 0 takes any free port. Throws ConnectionError.
  explicit Listener(uint16_t port);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  uint16_t port() const { return port_; }
  // Waits up to `timeoutMs` (-1: for ever) for one connection. Throws ConnectionError.
  Connection Accept(int timeoutMs = -1);

 private:
  int socket_ = -1;
  uint16_t port_ = 0;
};

}  // namespace gdbstub
