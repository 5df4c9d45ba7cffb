#include "r3k/gdb_connection.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <stdexcept>

namespace r3k::gdb {
namespace {

std::string host_port(const std::string& host, uint16_t port) {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string numeric_address(const sockaddr* sa, socklen_t len) {
  char host[NI_MAXHOST], port[NI_MAXSERV];
  if (getnameinfo(sa, len, host, sizeof host, port, sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0) return "?";
  return host_port(host, static_cast<uint16_t>(std::atoi(port)));
}

// Reachable from this machine only: 127.0.0.0/8, ::1, or ::ffff:127.x.
bool is_loopback(const sockaddr* sa) {
  if (sa->sa_family == AF_INET) return ntohl(reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr) >> 24 == 127;
  if (sa->sa_family != AF_INET6) return false;
  const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr;
  return IN6_IS_ADDR_LOOPBACK(&a) || (IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127);
}

[[noreturn]] void fail(const std::string& what, const std::string& where, int err) {
  throw std::runtime_error("--gdb: cannot " + what + " " + where + ": " + std::strerror(err));
}

}  // namespace

std::optional<Endpoint> parse_endpoint(std::string_view text, std::string* why) {
  Endpoint e;
  std::string_view port = text;
  if (text.starts_with('[')) {
    const size_t close = text.find("]:");
    if (close == std::string_view::npos) {
      *why = "'" + std::string(text) + "' is not [ADDR]:PORT";
      return std::nullopt;
    }
    e.host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else if (const size_t colon = text.find(':'); colon != std::string_view::npos) {
    e.host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (port.find(':') != std::string_view::npos) {
      *why = "'" + std::string(text) + "': an IPv6 address goes in brackets, [ADDR]:PORT";
      return std::nullopt;
    }
  }
  if (e.host.empty()) e.host = "127.0.0.1";
  unsigned value = 0;
  const auto [end, err] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (port.empty() || err != std::errc() || end != port.data() + port.size() || value > 65535) {
    *why = "'" + std::string(text) + "' is not PORT or HOST:PORT with a port from 0 to 65535";
    return std::nullopt;
  }
  e.port = static_cast<uint16_t>(value);
  return e;
}

Listener::Listener(const Endpoint& at) {
  const std::string where = host_port(at.host, at.port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(at.port);
  if (const int rc = getaddrinfo(at.host.c_str(), port.c_str(), &hints, &found); rc != 0)
    throw std::runtime_error("--gdb: cannot listen on " + where + ": " + gai_strerror(rc));
  int err = 0;
  for (const addrinfo* a = found; a && fd_ < 0; a = a->ai_next) {
    fd_ = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd_ < 0) {
      err = errno;
      continue;
    }
    const int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    if (bind(fd_, a->ai_addr, a->ai_addrlen) == 0 && listen(fd_, 1) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &len) == 0) {
      address_ = numeric_address(reinterpret_cast<sockaddr*>(&bound), len);
      loopback_ = is_loopback(reinterpret_cast<sockaddr*>(&bound));
    } else {
      err = errno;
      close(fd_);
      fd_ = -1;
    }
  }
  freeaddrinfo(found);
  if (fd_ < 0) fail("listen on", where, err);
}

Listener::~Listener() {
  if (fd_ >= 0) close(fd_);
}

int Listener::accept() {
  int fd;
  do fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  while (fd < 0 && (errno == EINTR || errno == ECONNABORTED));
  if (fd < 0) fail("accept a connection on", address_, errno);
  close(fd_);  // one debugger only
  fd_ = -1;
  // Packets are small and each waits for its answer: no Nagle delay.
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  const timeval limit{Connection::kSendTimeoutSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  return fd;
}

Connection::Connection(int fd) : fd_(fd) {}

Connection::~Connection() { close(fd_); }

bool Connection::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool Connection::hung_up() {
  pollfd p{fd_, POLLRDHUP, 0};
  int ready;
  do ready = poll(&p, 1, 0);
  while (ready < 0 && errno == EINTR);
  return ready < 0 || (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

Connection::Got Connection::receive(std::string& in, bool wait) {
  pollfd p{fd_, POLLIN, 0};
  int ready;
  do ready = poll(&p, 1, wait ? -1 : 0);
  while (ready < 0 && errno == EINTR);
  if (ready < 0) return Got::Closed;
  if (ready == 0) return Got::Nothing;
  char buf[kReadChunk];
  ssize_t n;
  do n = read(fd_, buf, sizeof buf);
  while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Got::Nothing;
  if (n <= 0) return Got::Closed;
  in.append(buf, static_cast<size_t>(n));
  return Got::Bytes;
}

}  // namespace r3k::gdb
