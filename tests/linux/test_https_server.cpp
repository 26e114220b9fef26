#include "tests/linux/test_https_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "vorn/build_config.h"

namespace vorn::linuxtest {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vorn-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code error;
  std::filesystem::remove_all(path_, error);
}

bool runCommand(const std::string& command) {
  return std::system(command.c_str()) == 0;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

void writeFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary);
  out << contents;
}

TestCertificates TestCertificates::generate(const std::string& folder, const std::string& caName,
                                            const std::vector<std::string>& hosts) {
  TestCertificates result{folder + "/" + caName + "-ca.pem", folder + "/" + caName + "-server.pem",
                          folder + "/" + caName + "-server.key"};
  std::string caKey = folder + "/" + caName + "-ca.key";
  std::string csr = folder + "/" + caName + "-server.csr";
  std::string extensions = folder + "/" + caName + "-ext.cnf";
  std::string names = "IP:127.0.0.1";
  for (const auto& host : hosts) {
    names += ",DNS:" + host;
  }
  writeFile(extensions, "subjectAltName=" + names +
                            "\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n");
  const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  bool ok = runCommand("openssl req -x509 " + ec + " -keyout " + caKey + " -out " + result.caFile +
                       " -days 2 -subj '/CN=" + caName + " test authority'" +
                       " -addext basicConstraints=critical,CA:TRUE" +
                       " -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null") &&
            runCommand("openssl req " + ec + " -keyout " + result.serverKey + " -out " + csr +
                       " -subj /CN=localhost 2>/dev/null") &&
            runCommand("openssl x509 -req -in " + csr + " -CA " + result.caFile + " -CAkey " +
                       caKey + " -CAcreateserial -days 2 -out " + result.serverCert + " -extfile " +
                       extensions + " 2>/dev/null");
  if (!ok) {
    throw std::runtime_error("openssl could not make the test certificates");
  }
  return result;
}

TestHttpsServer::TestHttpsServer(const TestCertificates& certificates)
    : server_(std::make_unique<httplib::SSLServer>(certificates.serverCert.c_str(),
                                                   certificates.serverKey.c_str())) {
  if (!server_->is_valid()) {
    throw std::runtime_error("the test server could not load its certificate");
  }
}

TestHttpsServer::~TestHttpsServer() {
  stop();
}

void TestHttpsServer::start(int port) {
  if (port > 0) {
    port_ = server_->bind_to_port("127.0.0.1", port) ? port : -1;
  } else {
    port_ = server_->bind_to_any_port("127.0.0.1");
  }
  if (port_ <= 0) {
    throw std::runtime_error("the test server could not bind");
  }
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  for (int i = 0; i < 500 && !server_->is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void TestHttpsServer::stop() {
  if (thread_.joinable()) {
    server_->stop();
    thread_.join();
  }
}

std::string TestHttpsServer::url(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(port_) + path;
}

void RequestGate::close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  held_ = 0;
  firstHeld_.reset();
}

void RequestGate::open() {
  {
    std::lock_guard lock(mutex_);
    closed_ = false;
  }
  opened_.notify_all();
}

void RequestGate::pass() {
  std::unique_lock lock(mutex_);
  if (!closed_) {
    return;
  }
  if (held_++ == 0) {
    firstHeld_ = Clock::now();
  }
  opened_.wait(lock, [this] { return !closed_; });
}

int RequestGate::held() const {
  std::lock_guard lock(mutex_);
  return held_;
}

std::optional<RequestGate::Clock::time_point> RequestGate::firstHeld() const {
  std::lock_guard lock(mutex_);
  return firstHeld_;
}

RawTcpServer::RawTcpServer(std::string reply, bool hang) : reply_(std::move(reply)), hang_(hang) {
  listener_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, 64) != 0) {
    throw std::runtime_error("the raw test server could not listen");
  }
  socklen_t length = sizeof address;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { serve(); });
}

RawTcpServer::~RawTcpServer() {
  stopping_ = true;
  thread_.join();
  for (int fd : held_) {
    close(fd);
  }
  close(listener_);
}

void RawTcpServer::serve() {
  while (!stopping_) {
    pollfd waiting{listener_, POLLIN, 0};
    if (poll(&waiting, 1, 50) <= 0) {
      continue;
    }
    int client = accept(listener_, nullptr, nullptr);
    if (client < 0) {
      continue;
    }
    ++connections_;
    if (hang_) {
      held_.push_back(client);
      continue;
    }
    // Read what the client says first (a request or a TLS hello), so that the reply, rather than
    // a reset of unread data, is what the client sees.
    pollfd incoming{client, POLLIN, 0};
    if (poll(&incoming, 1, 1000) > 0) {
      char buffer[4096];
      ssize_t received = recv(client, buffer, sizeof buffer, 0);
      (void)received;
    }
    if (!reply_.empty()) {
      ssize_t sent = send(client, reply_.data(), reply_.size(), MSG_NOSIGNAL);
      (void)sent;
    }
    close(client);
  }
}

SwitchingProxy::SwitchingProxy() {
  if (!listen()) {
    throw std::runtime_error("the switching proxy could not listen");
  }
  thread_ = std::thread([this] { serve(); });
}

SwitchingProxy::~SwitchingProxy() {
  stopping_ = true;
  thread_.join();
  for (auto& pipe : pipes_) {
    pipe.join();
  }
  if (listener_ >= 0) {
    close(listener_);
  }
}

bool SwitchingProxy::listen() {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port_));
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 64) != 0) {
    close(listener_);
    listener_ = -1;
    return false;
  }
  socklen_t length = sizeof address;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  return true;
}

void SwitchingProxy::forwardTo(int backendPort) {
  backend_ = backendPort;
  ++generation_;
}

void SwitchingProxy::serve() {
  // Only this thread opens and closes the listening socket, so none is closed under a poll.
  while (!stopping_) {
    const int backendPort = backend_.load();
    if (backendPort == 0 && listener_ >= 0) {
      close(listener_);
      listener_ = -1;
    } else if (backendPort != 0 && listener_ < 0) {
      listen();
    }
    if (listener_ < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    pollfd waiting{listener_, POLLIN, 0};
    if (poll(&waiting, 1, 20) <= 0) {
      continue;
    }
    const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      continue;
    }
    const int backend = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(backendPort));
    if (connect(backend, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(backend);
      close(client);
      continue;
    }
    std::lock_guard lock(mutex_);
    pipes_.emplace_back([this, client, backend, generation = generation_.load()] {
      pipe(client, backend, generation);
    });
  }
}

void SwitchingProxy::pipe(int client, int backend, unsigned generation) {
  char buffer[65536];
  while (!stopping_ && generation_ == generation) {
    pollfd ends[2] = {{client, POLLIN, 0}, {backend, POLLIN, 0}};
    if (poll(ends, 2, 50) <= 0) {
      continue;
    }
    bool open = true;
    for (int i = 0; i < 2 && open; ++i) {
      if (ends[i].revents == 0) {
        continue;
      }
      const ssize_t got = recv(ends[i].fd, buffer, sizeof buffer, 0);
      open = got > 0;
      for (ssize_t sent = 0; open && sent < got;) {
        const ssize_t now =
            send(ends[1 - i].fd, buffer + sent, static_cast<size_t>(got - sent), MSG_NOSIGNAL);
        open = now > 0;
        sent += std::max<ssize_t>(now, 0);
      }
    }
    if (!open) {
      break;
    }
  }
  close(client);
  close(backend);
}

int closedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);  // bound but never listening: connections are refused
  return ntohs(address.sin_port);
}

RemoteAddress remotePlaylistAddress() {
  RemoteAddress address;
  CURLU* url = curl_url();
  curl_url_set(url, CURLUPART_URL, build::kRemotePlaylistAddress, 0);
  char* part = nullptr;
  if (curl_url_get(url, CURLUPART_HOST, &part, 0) == CURLUE_OK) {
    address.host = part;
    curl_free(part);
  }
  if (curl_url_get(url, CURLUPART_PORT, &part, CURLU_DEFAULT_PORT) == CURLUE_OK) {
    address.port = std::atoi(part);
    curl_free(part);
  }
  if (curl_url_get(url, CURLUPART_PATH, &part, 0) == CURLUE_OK) {
    address.path = part;
    curl_free(part);
  }
  curl_url_cleanup(url);
  return address;
}

}  // namespace vorn::linuxtest
