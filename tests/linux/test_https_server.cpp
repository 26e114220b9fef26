#include "tests/linux/test_https_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "vorn/build_config.h"

namespace vorn::linuxtest {

TempDir::TempDir() : path_((std::filesystem::temp_directory_path() / "vorn-test-XXXXXX").string()) {
  if (!mkdtemp(path_.data())) {
    throw std::runtime_error("mkdtemp failed");
  }
}

TempDir::~TempDir() {
  std::error_code error;
  std::filesystem::remove_all(path_, error);
}

bool runCommand(const std::string& command) {
  return std::system(command.c_str()) == 0;
}

std::string commandOutput(const std::string& command) {
  std::string text;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    for (char buffer[256]; fgets(buffer, sizeof buffer, pipe);) {
      text += buffer;
    }
    pclose(pipe);
  }
  return text.erase(text.find_last_not_of('\n') + 1);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void writeFile(const std::string& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary) << contents;
}

bool makeHlsStream(const std::string& folder, int seconds, const std::string& size, int segment,
                   int gop) {
  const std::string length = std::to_string(seconds);
  return runCommand(
      "mkdir -p " + folder +
      " && ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=" + size +
      ":rate=25:duration=" + length +
      " -f lavfi -i sine=frequency=440:sample_rate=48000:duration=" + length +
      " -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g " + std::to_string(gop) +
      " -sc_threshold 0 -c:a aac -shortest -f hls -hls_time " + std::to_string(segment) +
      " -hls_playlist_type vod -hls_segment_filename " + folder + "/segment-%03d.ts " + folder +
      "/index.m3u8");
}

namespace {
const std::string kKeyOptions = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
}

TestCertificates TestCertificates::generate(const std::string& folder, const std::string& caName,
                                            const std::vector<std::string>& hosts) {
  TestCertificates authority{folder + "/" + caName + "-ca.pem", "", ""};
  std::string names = "IP:127.0.0.1";
  for (const auto& host : hosts) {
    names += ",DNS:" + host;
  }
  if (!runCommand("openssl req -x509 " + kKeyOptions + " -keyout " + folder + "/" + caName +
                  "-ca.key -out " + authority.caFile + " -days 2 -subj '/CN=" + caName +
                  " test authority'" + " -addext basicConstraints=critical,CA:TRUE" +
                  " -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null")) {
    throw std::runtime_error("openssl could not make the test authority");
  }
  return authority.sign(folder, caName, names, 2);
}

TestCertificates TestCertificates::sign(const std::string& folder, const std::string& name,
                                        const std::string& names, int days) const {
  const std::string base = folder + "/" + name;
  TestCertificates made{caFile, base + "-server.pem", base + "-server.key"};
  const std::string caKey = caFile.substr(0, caFile.size() - 7) + "-ca.key";
  writeFile(base + "-ext.cnf", "subjectAltName=" + names +
                                   "\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n");
  const bool ok =
      runCommand("openssl req " + kKeyOptions + " -keyout " + made.serverKey + " -out " + base +
                 "-server.csr -subj /CN=localhost 2>/dev/null") &&
      runCommand("openssl x509 -req -in " + base + "-server.csr -CA " + caFile + " -CAkey " +
                 caKey + " -CAcreateserial -days " + std::to_string(days) + " -out " +
                 made.serverCert + " -extfile " + base + "-ext.cnf 2>/dev/null");
  if (!ok) {
    throw std::runtime_error("openssl could not make the certificate " + name);
  }
  return made;
}

TestHttpsServer::TestHttpsServer()
    : server_(std::make_unique<httplib::Server>()), scheme_("http") {}

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
  port_ = port <= 0                                  ? server_->bind_to_any_port("127.0.0.1")
          : server_->bind_to_port("127.0.0.1", port) ? port
                                                     : -1;
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
  return scheme_ + "://127.0.0.1:" + std::to_string(port_) + path;
}

namespace {
// A TCP socket bound to a free port on 127.0.0.1 (-1 if none); `port` is set to it.
int boundLoopbackSocket(int& port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    return -1;
  }
  port = ntohs(address.sin_port);
  return fd;
}
}  // namespace

RawTcpServer::RawTcpServer(std::string reply, bool hang) : reply_(std::move(reply)), hang_(hang) {
  listener_ = boundLoopbackSocket(port_);
  if (listener_ < 0 || listen(listener_, 64) != 0) {
    throw std::runtime_error("the raw test server could not listen");
  }
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
    const int client = poll(&waiting, 1, 50) > 0 ? accept(listener_, nullptr, nullptr) : -1;
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
    char buffer[4096];
    if (poll(&incoming, 1, 1000) > 0) {
      (void)!recv(client, buffer, sizeof buffer, 0);
    }
    (void)!send(client, reply_.data(), reply_.size(), MSG_NOSIGNAL);
    close(client);
  }
}

int closedPort() {
  int port = 0;
  close(boundLoopbackSocket(port));  // bound but never listening: connections are refused
  return port;
}

RemoteAddress remotePlaylistAddress() {
  CURLU* url = curl_url();
  curl_url_set(url, CURLUPART_URL, build::kRemotePlaylistAddress, 0);
  const auto part = [url](CURLUPart which, unsigned flags) {
    char* text = nullptr;
    std::string value = curl_url_get(url, which, &text, flags) == CURLUE_OK ? text : "";
    curl_free(text);
    return value;
  };
  RemoteAddress address{part(CURLUPART_HOST, 0),
                        std::atoi(part(CURLUPART_PORT, CURLU_DEFAULT_PORT).c_str()),
                        part(CURLUPART_PATH, 0)};
  curl_url_cleanup(url);
  return address;
}

}  // namespace vorn::linuxtest
