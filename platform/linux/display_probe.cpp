#include "platform/linux/display_probe.h"

#include <netdb.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <charconv>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace vorn::linuxbackend {

namespace {

std::optional<std::string> variable(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? std::optional<std::string>(value) : std::nullopt;
}

// Whether a stream socket at `path` accepts a connection; a leading '@' names an abstract one.
bool socketAnswers(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    return false;
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  socklen_t length = sizeof address;
  if (path.front() == '@') {
    address.sun_path[0] = '\0';
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return false;
  }
  const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
  ::close(fd);
  return connected;
}

bool tcpAnswers(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
    return false;
  }
  bool connected = false;
  for (addrinfo* at = found; at && !connected; at = at->ai_next) {
    const int fd = ::socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol);
    if (fd >= 0) {
      connected = ::connect(fd, at->ai_addr, at->ai_addrlen) == 0;
      ::close(fd);
    }
  }
  ::freeaddrinfo(found);
  return connected;
}

// Whether the X server that DISPLAY ("[host]:N[.S]", "unix:N", or a socket path) names answers.
bool xDisplayAnswers(const std::string& display) {
  if (display.front() == '/') {
    return socketAnswers(display.substr(0, display.rfind(':')));
  }
  const auto colon = display.rfind(':');
  if (colon == std::string::npos) {
    return false;
  }
  const std::string host = display.substr(0, colon);
  const std::string rest = display.substr(colon + 1);
  int number = 0;
  const auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), number);
  if (ec != std::errc() || end == rest.data() ||
      (end != rest.data() + rest.size() && *end != '.')) {
    return false;
  }
  if (host.empty() || host == "unix") {
    const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
    return socketAnswers(socket) || socketAnswers("@" + socket);
  }
  return tcpAnswers(host, 6000 + number);
}

bool waylandAnswers(const std::string& display) {
  if (display.front() == '/') {
    return socketAnswers(display);
  }
  const auto runtime = variable("XDG_RUNTIME_DIR");
  return runtime && socketAnswers(*runtime + "/" + display);
}

}  // namespace

bool displayNamed() {
  return variable("DISPLAY") || variable("WAYLAND_DISPLAY");
}

std::optional<std::string> displayProblem() {
  const auto x = variable("DISPLAY");
  const auto wayland = variable("WAYLAND_DISPLAY");
  if ((wayland && waylandAnswers(*wayland)) || (x && xDisplayAnswers(*x))) {
    return std::nullopt;
  }
  std::string problem = "no display: ";
  if (wayland) {
    problem += "cannot connect to Wayland display '" + *wayland + "'";
  }
  if (x) {
    problem += std::string(wayland ? " nor " : "") + "cannot connect to X display '" + *x + "'";
  }
  return problem;
}

}  // namespace vorn::linuxbackend
