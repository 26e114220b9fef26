// Url::parse answers ordinary web addresses itself and leaves every other text to curl: on any
// bytes it must reach curl's verdict and keep the same text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto quick = vorn::platform::Url::parse(text);
  const auto curl = vorn::platform::Url::parseWithCurl(text);
  if (quick.has_value() != curl.has_value()) {
    std::fprintf(stderr, "Url::parse %s a text curl %s\n", quick ? "accepts" : "refuses",
                 curl ? "accepts" : "refuses");
    std::abort();
  }
  if (quick && !(quick->text() == curl->text() && quick->text() == text)) {
    std::fprintf(stderr, "Url::parse and curl keep different texts\n");
    std::abort();
  }
  if (quick) {
    // What the channel asks of an address once it has one.
    const bool file = quick->isFileUrl();
    if (file) {
      (void)quick->filePath();
    }
    if (file != (quick->scheme() == "file")) {
      std::abort();
    }
  }
  return 0;
}
