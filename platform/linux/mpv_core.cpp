#include "platform/linux/mpv_core.h"

#include <cstring>
#include <deque>

namespace vorn::linuxbackend {

namespace {

// Owns the storage behind an mpv_node tree built from MpvArgs; nodes point into it.
class NodeArena {
 public:
  mpv_node build(const MpvMap& map) {
    mpv_node node{};
    node.format = MPV_FORMAT_NODE_MAP;
    auto& list = lists_.emplace_back();
    auto& keys = keyArrays_.emplace_back();
    auto& values = valueArrays_.emplace_back();
    for (const auto& arg : map) {
      keys.push_back(const_cast<char*>(arg.key.c_str()));
      values.push_back(buildValue(arg.value));
    }
    list.num = static_cast<int>(map.size());
    list.keys = keys.data();
    list.values = values.data();
    node.u.list = &list;
    return node;
  }

 private:
  mpv_node buildValue(const std::variant<std::string, int64_t, double, bool, MpvMap>& value) {
    mpv_node node{};
    if (const auto* text = std::get_if<std::string>(&value)) {
      node.format = MPV_FORMAT_STRING;
      node.u.string = const_cast<char*>(text->c_str());
    } else if (const auto* integer = std::get_if<int64_t>(&value)) {
      node.format = MPV_FORMAT_INT64;
      node.u.int64 = *integer;
    } else if (const auto* number = std::get_if<double>(&value)) {
      node.format = MPV_FORMAT_DOUBLE;
      node.u.double_ = *number;
    } else if (const auto* flag = std::get_if<bool>(&value)) {
      node.format = MPV_FORMAT_FLAG;
      node.u.flag = *flag ? 1 : 0;
    } else {
      node = build(std::get<MpvMap>(value));
    }
    return node;
  }

  // deques keep element addresses stable while more are added.
  std::deque<mpv_node_list> lists_;
  std::deque<std::vector<char*>> keyArrays_;
  std::deque<std::vector<mpv_node>> valueArrays_;
};

const mpv_node* findKey(const mpv_node& node, const char* key) {
  if (node.format != MPV_FORMAT_NODE_MAP || node.u.list == nullptr) {
    return nullptr;
  }
  for (int i = 0; i < node.u.list->num; ++i) {
    if (std::strcmp(node.u.list->keys[i], key) == 0) {
      return &node.u.list->values[i];
    }
  }
  return nullptr;
}

}  // namespace

MpvResult::~MpvResult() {
  if (valid_) {
    mpv_free_node_contents(&node_);
  }
}

MpvResult::MpvResult(MpvResult&& other) noexcept : node_(other.node_), valid_(other.valid_) {
  other.valid_ = false;
}

MpvResult& MpvResult::operator=(MpvResult&& other) noexcept {
  if (this != &other) {
    if (valid_) {
      mpv_free_node_contents(&node_);
    }
    node_ = other.node_;
    valid_ = other.valid_;
    other.valid_ = false;
  }
  return *this;
}

std::optional<double> MpvResult::number(const char* key) const {
  if (!valid_) {
    return std::nullopt;
  }
  const mpv_node* value = findKey(node_, key);
  if (value == nullptr) {
    return std::nullopt;
  }
  if (value->format == MPV_FORMAT_DOUBLE) {
    return value->u.double_;
  }
  if (value->format == MPV_FORMAT_INT64) {
    return static_cast<double>(value->u.int64);
  }
  return std::nullopt;
}

std::optional<int64_t> MpvResult::integer(const char* key) const {
  if (!valid_) {
    return std::nullopt;
  }
  const mpv_node* value = findKey(node_, key);
  if (value != nullptr && value->format == MPV_FORMAT_INT64) {
    return value->u.int64;
  }
  return std::nullopt;
}

std::pair<int, MpvResult> MpvCore::command(const MpvMap& args) {
  NodeArena arena;
  mpv_node node = arena.build(args);
  mpv_node result{};
  const int error = mpv_command_node(handle_, &node, &result);
  if (error < 0) {
    return {error, MpvResult()};
  }
  return {error, MpvResult(result)};
}

int MpvCore::commandStrings(std::vector<std::string> args) {
  std::vector<const char*> argv;
  argv.reserve(args.size() + 1);
  for (const auto& arg : args) {
    argv.push_back(arg.c_str());
  }
  argv.push_back(nullptr);
  return mpv_command(handle_, argv.data());
}

int MpvCore::setString(const char* name, const std::string& value) {
  return mpv_set_property_string(handle_, name, value.c_str());
}

int MpvCore::setFlag(const char* name, bool value) {
  int flag = value ? 1 : 0;
  return mpv_set_property(handle_, name, MPV_FORMAT_FLAG, &flag);
}

std::optional<double> MpvCore::getDouble(const char* name) const {
  double value = 0.0;
  if (mpv_get_property(handle_, name, MPV_FORMAT_DOUBLE, &value) < 0) {
    return std::nullopt;
  }
  return value;
}

std::optional<int64_t> MpvCore::getInt(const char* name) const {
  int64_t value = 0;
  if (mpv_get_property(handle_, name, MPV_FORMAT_INT64, &value) < 0) {
    return std::nullopt;
  }
  return value;
}

std::optional<bool> MpvCore::getFlag(const char* name) const {
  int value = 0;
  if (mpv_get_property(handle_, name, MPV_FORMAT_FLAG, &value) < 0) {
    return std::nullopt;
  }
  return value != 0;
}

}  // namespace vorn::linuxbackend
