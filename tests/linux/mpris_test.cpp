#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/main_loop.h"
#include "platform/linux/mpris.h"
#include "tests/linux/test_https_server.h"

namespace vorn::linuxbackend {
namespace {

using linuxtest::commandOutput;
using platform::RemoteCommandKind;

// Mpris writes only while it starts, on the caller's thread.
struct RecordingLog : platform::SystemLog {
  void write(std::string_view record) override { records.emplace_back(record); }
  std::vector<std::string> records;
};

// Runs the main queue until every block posted so far has run.
void drain(MainLoop& loop) {
  loop.post([&loop] { loop.stop(); });
  loop.run();
}

TEST(Mpris, playerctl_drives_the_remote_commands_and_without_a_bus_the_channel_says_so_once) {
  MainLoop loop;
  RecordingLog log;
  const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const std::string saved = bus ? bus : "";
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/vorn-test-bus", 1);
  EXPECT_FALSE(Mpris::start(loop, log, [](RemoteCommandKind) {}));
  saved.empty() ? unsetenv("DBUS_SESSION_BUS_ADDRESS")
                : setenv("DBUS_SESSION_BUS_ADDRESS", saved.c_str(), 1);
  ASSERT_EQ(log.records.size(), 1u);
  EXPECT_EQ(log.records[0].rfind("MPRIS: no media control on the session bus", 0), 0u)
      << log.records[0];
  if (saved.empty()) {
    GTEST_SKIP() << "needs a session bus: run under dbus-run-session";
  }
  log.records.clear();

  std::vector<RemoteCommandKind> received;
  bool onMainThread = true;
  std::vector<double> volumes;
  auto mpris = Mpris::start(
      loop, log,
      [&](RemoteCommandKind kind) {
        onMainThread = onMainThread && loop.isMainThread();
        received.push_back(kind);
      },
      [&](double volume) {
        onMainThread = onMainThread && loop.isMainThread();
        volumes.push_back(volume);
      });
  ASSERT_TRUE(mpris) << (log.records.empty() ? "" : log.records.front());
  EXPECT_TRUE(log.records.empty());

  EXPECT_EQ(commandOutput("playerctl -p vorn status 2>&1"), "Stopped");
  mpris->update(Mpris::Status::playing, "Harbour at dawn, by A. Person");
  EXPECT_EQ(commandOutput("playerctl -p vorn status 2>&1"), "Playing");
  EXPECT_EQ(commandOutput("playerctl -p vorn metadata xesam:title 2>&1"),
            "Harbour at dawn, by A. Person");
  mpris->update(Mpris::Status::paused, "Harbour at dawn, by A. Person");
  EXPECT_EQ(commandOutput("playerctl -p vorn status 2>&1"), "Paused");

  for (const char* verb : {"play", "pause", "play-pause", "stop"}) {
    EXPECT_EQ(std::system(("playerctl -p vorn " + std::string(verb)).c_str()), 0) << verb;
  }
  // The clock decides what plays: the desktop is told it cannot skip.
  EXPECT_NE(std::system("playerctl -p vorn next 2>/dev/null"), 0);
  drain(loop);
  EXPECT_EQ(received, (std::vector<RemoteCommandKind>{
                          RemoteCommandKind::play, RemoteCommandKind::pause,
                          RemoteCommandKind::togglePlayPause, RemoteCommandKind::stop}));
  EXPECT_TRUE(onMainThread);

  // The root interface identifies the channel.
  EXPECT_NE(commandOutput("dbus-send --session --print-reply --dest=org.mpris.MediaPlayer2.vorn "
                          "/org/mpris/MediaPlayer2 org.freedesktop.DBus.Properties.Get "
                          "string:org.mpris.MediaPlayer2 string:Identity")
                .find("Vorn Channel"),
            std::string::npos);

  // What plays, as the desktop reads it: the item's address and length, and a position that
  // moves on by itself while it plays and stands while paused.
  mpris->update(
      {Mpris::Status::playing, "Beta by Bo", "https://streams.invalid/b/index.m3u8", 300.0, 12.5});
  EXPECT_EQ(commandOutput("playerctl -p vorn metadata xesam:title"), "Beta by Bo");
  EXPECT_EQ(commandOutput("playerctl -p vorn metadata xesam:url"),
            "https://streams.invalid/b/index.m3u8");
  EXPECT_EQ(commandOutput("playerctl -p vorn metadata mpris:length"), "300000000");
  const auto trackid = commandOutput("playerctl -p vorn metadata mpris:trackid");
  EXPECT_NE(trackid.find("/org/mpris/MediaPlayer2/vorn/track/"), std::string::npos) << trackid;
  const double first = std::stod(commandOutput("playerctl -p vorn position"));
  EXPECT_GE(first, 12.5);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_GE(std::stod(commandOutput("playerctl -p vorn position")), first + 0.25);
  mpris->update(
      {Mpris::Status::paused, "Beta by Bo", "https://streams.invalid/b/index.m3u8", 300.0, 20.0});
  EXPECT_EQ(commandOutput("playerctl -p vorn status"), "Paused");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(commandOutput("playerctl -p vorn position"), "20.000000");
  // The next item is another track.
  mpris->update(
      {Mpris::Status::playing, "Slate: itemStalled", "https://streams.invalid/c.m3u8", 600.0, 1.0});
  EXPECT_NE(commandOutput("playerctl -p vorn metadata mpris:trackid"), trackid);

  // The volume is the player's to set: a new one goes to the main thread, and reads back once the
  // player has taken it.
  EXPECT_EQ(commandOutput("playerctl -p vorn volume"), "1.000000");
  EXPECT_EQ(std::system("playerctl -p vorn volume 0.4"), 0);
  drain(loop);
  ASSERT_EQ(volumes.size(), 1u);
  EXPECT_DOUBLE_EQ(volumes[0], 0.4);
  EXPECT_TRUE(onMainThread);
  mpris->setVolume(volumes[0]);
  EXPECT_EQ(commandOutput("playerctl -p vorn volume"), "0.400000");
  EXPECT_NE(commandOutput("dbus-send --session --print-reply --dest=org.mpris.MediaPlayer2.vorn "
                          "/org/mpris/MediaPlayer2 org.freedesktop.DBus.Properties.Get "
                          "string:org.mpris.MediaPlayer2 string:DesktopEntry")
                .find("\"vorn\""),
            std::string::npos);

  // A command that arrives while the object is going away is dropped, not run on a dead object.
  EXPECT_EQ(std::system("playerctl -p vorn play"), 0);
  mpris.reset();
  drain(loop);
  EXPECT_EQ(received.size(), 4u);
  EXPECT_NE(commandOutput("playerctl -p vorn status 2>&1"), "Paused");
}

}  // namespace
}  // namespace vorn::linuxbackend
