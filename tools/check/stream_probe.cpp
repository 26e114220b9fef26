#include "tools/check/stream_probe.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <mutex>

namespace vorn::app {
namespace {

using IoOpen = int (*)(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**);

struct ProbeContext {
  std::chrono::steady_clock::time_point deadline;
  const ProbeOptions* options = nullptr;
  IoOpen defaultIoOpen = nullptr;
};

// The library's own messages say more than its error codes ("certificate verify failed" against
// a bare input/output error), so the last error a probe logs on its thread is kept for the report.
thread_local std::string* lastLoggedError = nullptr;

void captureLog(void* context, int level, const char* format, va_list arguments) {
  if (level > AV_LOG_ERROR || lastLoggedError == nullptr) {
    return;
  }
  char line[1024];
  int printPrefix = 0;
  av_log_format_line2(context, level, format, arguments, line, sizeof line, &printPrefix);
  std::string text(line);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  if (!text.empty()) {
    *lastLoggedError = text;
  }
}

int interrupted(void* opaque) {
  const auto* probe = static_cast<const ProbeContext*>(opaque);
  return std::chrono::steady_clock::now() > probe->deadline ? 1 : 0;
}

// Every resource a demuxer opens (an HLS master playlist, its variants, their segments) is
// verified against the same authorities, not just the first address.
int verifiedIoOpen(AVFormatContext* format, AVIOContext** io, const char* url, int flags,
                   AVDictionary** options) {
  const auto* probe = static_cast<const ProbeContext*>(format->opaque);
  AVDictionary* local = nullptr;
  AVDictionary** dictionary = options ? options : &local;
  av_dict_set(dictionary, "tls_verify", "1", 0);
  if (!probe->options->caFile.empty()) {
    av_dict_set(dictionary, "ca_file", probe->options->caFile.c_str(), 0);
  }
  const int64_t remaining = std::chrono::duration_cast<std::chrono::microseconds>(
                                probe->deadline - std::chrono::steady_clock::now())
                                .count();
  av_dict_set_int(dictionary, "rw_timeout", std::max<int64_t>(remaining, 1000), 0);
  const int result = probe->defaultIoOpen(format, io, url, flags, dictionary);
  av_dict_free(&local);
  return result;
}

std::string errorText(int code, const std::string& logged) {
  if (code == AVERROR_EXIT) {
    return "timed out";
  }
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  std::string message = text;
  // HTTP answers are already in words; for the rest the library's own last message says why.
  const bool http = code == AVERROR_HTTP_BAD_REQUEST || code == AVERROR_HTTP_UNAUTHORIZED ||
                    code == AVERROR_HTTP_FORBIDDEN || code == AVERROR_HTTP_NOT_FOUND ||
                    code == AVERROR_HTTP_OTHER_4XX || code == AVERROR_HTTP_SERVER_ERROR;
  if (!http && !logged.empty() && logged != message) {
    message += ": " + logged;
  }
  return message;
}

void collectVariants(const AVFormatContext* format, StreamProbe& probe) {
  const auto dimensions = [&](const unsigned* indices, unsigned count, StreamVariant& variant) {
    for (unsigned i = 0; i < count; ++i) {
      const AVStream* stream = format->streams[indices ? indices[i] : i];
      if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && stream->codecpar->width > 0) {
        variant.width = stream->codecpar->width;
        variant.height = stream->codecpar->height;
        return;
      }
    }
  };
  for (unsigned p = 0; p < format->nb_programs; ++p) {
    const AVProgram* program = format->programs[p];
    StreamVariant variant;
    if (const AVDictionaryEntry* rate =
            av_dict_get(program->metadata, "variant_bitrate", nullptr, 0)) {
      variant.bandwidth = std::strtoll(rate->value, nullptr, 10);
    }
    dimensions(program->stream_index, program->nb_stream_indexes, variant);
    probe.variants.push_back(variant);
  }
  if (probe.variants.empty()) {
    StreamVariant variant;
    variant.bandwidth = format->bit_rate > 0 ? format->bit_rate : 0;
    dimensions(nullptr, format->nb_streams, variant);
    if (variant.bandwidth > 0 || variant.width > 0) {
      probe.variants.push_back(variant);
    }
  }
}

}  // namespace

StreamProbe probeStream(const std::string& address, const ProbeOptions& options) {
  static std::once_flag setUp;
  std::call_once(setUp, [] {
    avformat_network_init();
    av_log_set_callback(captureLog);
  });

  StreamProbe probe;
  std::string logged;
  lastLoggedError = &logged;
  struct Restore {
    ~Restore() { lastLoggedError = nullptr; }
  } restore;

  ProbeContext context;
  context.deadline = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(static_cast<int64_t>(options.timeout * 1000.0));
  context.options = &options;

  AVFormatContext* format = avformat_alloc_context();
  if (!format) {
    probe.error = "out of memory";
    return probe;
  }
  context.defaultIoOpen = format->io_open;
  format->opaque = &context;
  format->io_open = verifiedIoOpen;
  format->interrupt_callback = {interrupted, &context};

  // On failure avformat_open_input frees the context itself.
  int result = avformat_open_input(&format, address.c_str(), nullptr, nullptr);
  if (result < 0) {
    probe.error = errorText(result, logged);
    return probe;
  }
  result = avformat_find_stream_info(format, nullptr);
  if (result < 0) {
    probe.error = errorText(result, logged);
    avformat_close_input(&format);
    return probe;
  }
  probe.reachable = true;
  if (format->duration != AV_NOPTS_VALUE && format->duration > 0) {
    probe.duration = static_cast<double>(format->duration) / AV_TIME_BASE;
  }
  collectVariants(format, probe);
  avformat_close_input(&format);
  return probe;
}

}  // namespace vorn::app
