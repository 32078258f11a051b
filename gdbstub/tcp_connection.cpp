#include "tcp_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace gdbstub {
namespace {

[[noreturn]] void Fail(const std::string& what) {
  throw ConnectionError(what + ": " + std::strerror(errno));
}

// Whether `socket` has something to read within `timeoutMs`.
bool Readable(int socket, int timeoutMs) {
  pollfd entry{socket, POLLIN, 0};
  for (;;) {
    const int ready = poll(&entry, 1, timeoutMs);
    if (ready >= 0) return ready > 0;
    if (errno != EINTR) Fail("waiting for the debugger");
  }
}

}  // namespace

Connection::~Connection() {
  if (socket_ >= 0) close(socket_);
}

void Connection::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) Fail("sending to the debugger");
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
}

long Connection::Receive(std::span<uint8_t> buffer, int timeoutMs) {
  if (!Readable(socket_, timeoutMs)) return -1;
  for (;;) {
    const ssize_t received = recv(socket_, buffer.data(), buffer.size(), 0);
    if (received >= 0) return received;
    if (errno == ECONNRESET) return 0;
    if (errno != EINTR) Fail("reading from the debugger");
  }
}

Listener::Listener(uint16_t port) {
  socket_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socket_ < 0) Fail("opening a socket for the debugger");
  const int yes = 1;
  setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // this machine only
  address.sin_port = htons(port);
  if (bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    close(socket_);
    errno = error;
    Fail("127.0.0.1:" + std::to_string(port));
  }
  socklen_t size = sizeof address;
  if (listen(socket_, 1) != 0 ||
      getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    const int error = errno;
    close(socket_);
    errno = error;
    Fail("listening on 127.0.0.1:" + std::to_string(port));
  }
  port_ = ntohs(address.sin_port);
}

Listener::~Listener() {
  if (socket_ >= 0) close(socket_);
}

Connection Listener::Accept(int timeoutMs) {
  if (!Readable(socket_, timeoutMs)) {
    errno = ETIMEDOUT;
    Fail("no debugger connected to 127.0.0.1:" + std::to_string(port_));
  }
  for (;;) {
    const int connection = accept4(socket_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection >= 0) {
      const int yes = 1;
      setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
      return Connection(connection);
    }
    if (errno != EINTR && errno != ECONNABORTED) Fail("accepting the debugger's connection");
  }
}

}  // namespace gdbstub
