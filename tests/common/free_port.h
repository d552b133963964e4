#pragma once
// A TCP port on 127.0.0.1 that nothing listened on a moment ago: the system's pick for a socket
// bound to port 0, closed again. Another process may still take it before the test does, which
// on a test machine does not happen in practice.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace orvane::test {

inline int free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

}  // namespace orvane::test
