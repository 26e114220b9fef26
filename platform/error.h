#pragma once

#include <memory>
#include <string>

#include "platform/object.h"

namespace vorn::platform {

// A typed failure: a domain (category), a code within it and a message for people.
class Error : public Object {
 public:
  Error(std::string domain, long code, std::string message)
      : domain_(std::move(domain)), code_(code), message_(std::move(message)) {}
  static std::shared_ptr<Error> make(std::string domain, long code, std::string message) {
    return std::make_shared<Error>(std::move(domain), code, std::move(message));
  }
  const std::string& domain() const { return domain_; }
  long code() const { return code_; }
  const std::string& message() const { return message_; }
  // Error Domain=<domain> Code=<code> "<message>"
  std::string description() const override {
    return "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" + message_ + "\"";
  }

 private:
  std::string domain_;
  long code_;
  std::string message_;
};

// Domains used by the backends.
inline constexpr const char* kUrlErrorDomain = "VornURLErrorDomain";
inline constexpr const char* kJsonErrorDomain = "VornJSONErrorDomain";
inline constexpr const char* kAudioErrorDomain = "VornAudioSessionErrorDomain";

}  // namespace vorn::platform
