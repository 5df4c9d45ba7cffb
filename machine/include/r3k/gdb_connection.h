// The debugger's TCP connection: the address r3krun --gdb listens on, one
// accepted connection, and bounded, interruption-proof reads and writes.
// The protocol itself is gdb_stub.h's; this only moves bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace r3k::gdb {

struct Endpoint {
  std::string host;   // a name or a numeric address; IPv6 without brackets
  uint16_t port = 0;  // 0: any free port
};

// "PORT", ":PORT" or "HOST:PORT" ("[ADDR]:PORT" for IPv6).  Without a host
// the loopback address: a debugging port is open to other machines only
// when HOST says so.  nullopt, with *why, for anything else.
std::optional<Endpoint> parse_endpoint(std::string_view text, std::string* why);

// Listens for one connection.  Errors are std::runtime_error with one line
// naming the address.
class Listener {
 public:
  explicit Listener(const Endpoint& at);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // As bound, the port chosen when 0 was asked for: "127.0.0.1:1234".
  const std::string& address() const { return address_; }
  // Whether only this machine can connect: bound to a loopback address.
  // The protocol has no authentication, so anyone else who can reach the
  // port first becomes the debugger.
  bool loopback() const { return loopback_; }
  // Waits for the debugger and stops listening; returns the connection's
  // descriptor.
  int accept();

 private:
  int fd_ = -1;
  std::string address_;
  bool loopback_ = false;
};

class Connection {
 public:
  static constexpr size_t kReadChunk = 4096;  // bytes taken per receive()

  explicit Connection(int fd);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // All of bytes; false once the peer has gone (or stopped reading for
  // kSendTimeoutSeconds).
  static constexpr int kSendTimeoutSeconds = 60;
  bool send(std::string_view bytes);
  enum class Got : uint8_t { Bytes, Nothing, Closed };
  // Appends what has arrived, at most kReadChunk bytes; with wait, waits
  // for it.  Closed once the peer has closed or gone.
  Got receive(std::string& in, bool wait);
  // Whether the peer has closed or gone, without reading what it sent
  // before (for a reader that cannot take more yet).
  bool hung_up();

 private:
  int fd_;
};

}  // namespace r3k::gdb
