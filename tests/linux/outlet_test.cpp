// What the real backend tells the operator apart from the channel's own log: libmpv's messages
// at their priority, and the kernel's word on the clock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/timex.h>
#include <unistd.h>

#include "platform/linux/mpv_log.h"
#include "platform/linux/status_outlet.h"
#include "platform/linux/stderr_capture.h"
#include "tests/linux/test_https_server.h"

namespace vorn::linuxbackend {
namespace {

TEST(MpvLog, errors_and_warnings_pass_at_their_priority_and_probing_noise_stays_debug) {
  struct Case {
    const char* level;
    const char* prefix;
    const char* text;
    std::optional<int> quiet;    // without --verbose
    std::optional<int> verbose;  // with it
  };
  const Case cases[] = {
      {"fatal", "cplayer", "No video or audio streams selected.\n", 3, 3},
      {"error", "file", "Cannot open file 'x': No such file or directory\n", 3, 3},
      {"warn", "ffmpeg/demuxer", "hls: Failed to open segment 3\n", 4, 4},
      {"info", "cplayer", "Playing: x\n", std::nullopt, 7},
      {"v", "lavf", "select track 0\n", std::nullopt, 7},
      {"debug", "demux", "Trying demuxers\n", std::nullopt, 7},
      // Hardware decoders and audio servers this machine lacks, tried and passed over.
      {"error", "ffmpeg", "Cannot load libcuda.so.1\n", std::nullopt, 7},
      {"error", "vo/gpu", "Failed to open VDPAU backend libvdpau_nvidia.so\n", std::nullopt, 7},
      {"warn", "vd", "Could not create device: vaapi\n", std::nullopt, 7},
      {"warn", "ao/pipewire", "Could not connect to context\n", std::nullopt, 7},
      {"error", "vaapi", "libva: vaGetDriverNameByIndex() failed\n", std::nullopt, 7},
      {"error", "ao/alsa", "Playback open error: No such file or directory\n", std::nullopt, 7},
      {"error", "ao", "Failed to initialize audio driver 'alsa'\n", 3, 3},
      {"warn", "vo/gpu/opengl", "Suspected software renderer or indirect context.\n", 4, 4},
      // The same words from a stream are the stream's trouble, not a probe.
      {"error", "stream", "Failed to open https://cuda.invalid/a.m3u8\n", 3, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.prefix) + ": " + c.text);
    EXPECT_EQ(mpvLogPriority(c.level, c.prefix, c.text, false), c.quiet);
    EXPECT_EQ(mpvLogPriority(c.level, c.prefix, c.text, true), c.verbose);
  }
  EXPECT_EQ(mpvLogRecord("file", "Cannot open file 'x'\n"), "mpv: [file] Cannot open file 'x'");
}

TEST(ClockSync, the_kernels_error_state_or_unsync_flag_means_not_synchronised) {
  using platform::ClockSync;
  EXPECT_EQ(clockSyncFrom(TIME_OK, 0), ClockSync::yes);
  EXPECT_EQ(clockSyncFrom(TIME_INS, STA_PLL), ClockSync::yes);
  EXPECT_EQ(clockSyncFrom(TIME_OK, STA_UNSYNC), ClockSync::no);
  EXPECT_EQ(clockSyncFrom(TIME_OK, STA_PLL | STA_UNSYNC), ClockSync::no);
  EXPECT_EQ(clockSyncFrom(TIME_ERROR, 0), ClockSync::no);
  EXPECT_EQ(clockSyncFrom(-1, 0), ClockSync::unknown);
  // The machine's own answer agrees with a reading taken here.
  struct timex state {};
  const int result = adjtimex(&state);
  EXPECT_EQ(kernelClockSync(), clockSyncFrom(result, state.status));
}

}  // namespace
}  // namespace vorn::linuxbackend

namespace vorn::linuxbackend {
namespace {

// Under the journal, a library's own line on standard error is filed at debug, not at info,
// while the log's records keep their priority and go where they went before.
TEST(StderrCapture, foreign_lines_go_through_the_log_at_debug_and_the_descriptor_comes_back) {
  linuxtest::TempDir folder;
  const std::string path = folder.file("journal");
  const int journal = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(journal, 0);
  // The stand-in for standard error: a descriptor of its own, so the test's output stays.
  const int standIn = ::dup(journal);
  struct stat info {};
  fstat(journal, &info);
  const std::string stream = std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
  setenv("JOURNAL_STREAM", stream.c_str(), 1);
  {
    StderrSystemLog log(standIn, "vorn");
    unsetenv("JOURNAL_STREAM");
    ASSERT_TRUE(log.writesToJournal());
    auto capture = StderrCapture::start(log, standIn);
    ASSERT_TRUE(capture);
    EXPECT_NE(log.fd(), standIn);
    const std::string foreign =
        "Failed to open VDPAU backend libvdpau_nvidia.so: cannot open shared object file\n"
        "[pw.conf] can't load config client.conf\npartial";
    ASSERT_EQ(::write(standIn, foreign.data(), foreign.size()), ssize_t(foreign.size()));
    log.write("EVENT: slate shown: itemStalled until 14:02:00", 4);
    capture.reset();
    EXPECT_EQ(log.fd(), standIn);
    log.write("DEBUG: VorniOSViewController: after");
  }
  const std::string text = linuxtest::readFile(path);
  for (const char* line :
       {"<4>EVENT: slate shown: itemStalled until 14:02:00\n",
        "<7>stderr: Failed to open VDPAU backend libvdpau_nvidia.so: cannot open shared object "
        "file\n",
        "<7>stderr: [pw.conf] can't load config client.conf\n", "<7>stderr: partial\n",
        "<7>DEBUG: VorniOSViewController: after\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }
  EXPECT_EQ(text.find("\nFailed"), std::string::npos) << text;
  ::close(standIn);
  ::close(journal);
}

}  // namespace
}  // namespace vorn::linuxbackend
