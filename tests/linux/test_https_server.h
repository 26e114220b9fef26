#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vorn::linuxtest {

// A fresh temporary folder, removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Runs a shell command; true when it exited with status 0.
bool runCommand(const std::string& command);
// What a shell command writes on its standard output, without the final line feeds.
std::string commandOutput(const std::string& command);
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& contents);

// An HLS stream made by ffmpeg in `folder` (created): index.m3u8 over segments of `segment`
// seconds, a test card of `size` at 25 frames a second with a keyframe every `gop` frames, and a
// tone.
bool makeHlsStream(const std::string& folder, int seconds, const std::string& size = "160x90",
                   int segment = 2, int gop = 25);

// A certificate authority made for one test run with the openssl command, and a server
// certificate it signed for `hosts` (DNS names, and 127.0.0.1 as an IP address).
struct TestCertificates {
  std::string caFile;      // PEM of the authority: what a client trusts
  std::string serverCert;  // PEM chain of the server
  std::string serverKey;
  static TestCertificates generate(const std::string& folder, const std::string& caName,
                                   const std::vector<std::string>& hosts);
  // Another server certificate of this authority, `name` in `folder`, for the subject alternative
  // names `names` (as openssl writes them), valid for `days` (-1: its validity ended a day ago).
  TestCertificates sign(const std::string& folder, const std::string& name,
                        const std::string& names, int days) const;
};

// cpp-httplib's server on 127.0.0.1 on a free port, serving from its own thread: over TLS with
// `certificates`, or plain HTTP without.
class TestHttpsServer {
 public:
  TestHttpsServer();
  explicit TestHttpsServer(const TestCertificates& certificates);
  ~TestHttpsServer();
  httplib::Server& server() { return *server_; }
  // Starts listening, on `port` when given (a server back where an earlier one was); routes must
  // be added before.
  void start(int port = 0);
  void stop();
  int port() const { return port_; }
  std::string url(const std::string& path) const;

 private:
  std::unique_ptr<httplib::Server> server_;
  std::string scheme_ = "https";
  int port_ = 0;
  std::thread thread_;
};

// A plain TCP listener on 127.0.0.1 that answers every connection with `reply` and then closes it,
// or, with hang set, accepts and says nothing until stopped.
class RawTcpServer {
 public:
  RawTcpServer(std::string reply, bool hang);
  ~RawTcpServer();
  int port() const { return port_; }
  int connections() const { return connections_.load(); }

 private:
  void serve();
  std::string reply_;
  bool hang_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::vector<int> held_;
  std::thread thread_;
};

// Holds the requests of server handlers while closed, as a stream server that stops answering
// mid-stream does; opening (or destroying the gate) lets them all go on. Declare it after the
// server it holds, so that it opens before the server waits for its handlers.
class RequestGate {
 public:
  ~RequestGate() { open(); }
  void close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  void open() {
    std::lock_guard lock(mutex_);
    closed_ = false;
    opened_.notify_all();
  }
  // In a handler: returns at once while open, otherwise once opened.
  void pass() {
    std::unique_lock lock(mutex_);
    opened_.wait(lock, [this] { return !closed_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool closed_ = false;
};

// A port on 127.0.0.1 on which nothing listens.
int closedPort();

// The built-in remote playlist address, taken apart: what VORN_CONNECT_TO redirects to loopback.
struct RemoteAddress {
  std::string host;
  int port = 443;
  std::string path;
};
RemoteAddress remotePlaylistAddress();

}  // namespace vorn::linuxtest
