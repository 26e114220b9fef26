#pragma once

#include <mpv/client.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace vorn::linuxbackend {

// A value for a named-argument mpv command: text, integer, number, flag or a nested map.
struct MpvArg;
using MpvMap = std::vector<MpvArg>;
struct MpvArg {
  std::string key;
  std::variant<std::string, int64_t, double, bool, MpvMap> value;
};

// Numbers read back from an mpv result map.
class MpvResult {
 public:
  MpvResult() = default;
  explicit MpvResult(mpv_node node) : node_(node), valid_(true) {}
  ~MpvResult();
  MpvResult(MpvResult&& other) noexcept;
  MpvResult& operator=(MpvResult&& other) noexcept;
  MpvResult(const MpvResult&) = delete;
  MpvResult& operator=(const MpvResult&) = delete;

  std::optional<double> number(const char* key) const;
  std::optional<int64_t> integer(const char* key) const;

 private:
  mpv_node node_{};
  bool valid_ = false;
};

// The thin, main-thread wrapper around one mpv_handle that the backend's parts share.
class MpvCore {
 public:
  explicit MpvCore(mpv_handle* handle) : handle_(handle) {}
  mpv_handle* handle() const { return handle_; }

  // Runs a named-argument command; the error code (>= 0 on success) and its result.
  std::pair<int, MpvResult> command(const MpvMap& args);
  int commandStrings(std::vector<std::string> args);
  int setString(const char* name, const std::string& value);
  int setFlag(const char* name, bool value);
  std::optional<double> getDouble(const char* name) const;
  std::optional<int64_t> getInt(const char* name) const;
  std::optional<bool> getFlag(const char* name) const;

 private:
  mpv_handle* handle_;
};

}  // namespace vorn::linuxbackend
