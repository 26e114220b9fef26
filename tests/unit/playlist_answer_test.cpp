#include "channel_fixture.h"

namespace vorn::testing {
namespace {

constexpr const char* kMirror = "https://mirror.invalid/playlists/moved.json";

class PlaylistAnswer : public ChannelTest {
 protected:
  std::shared_ptr<VornViewController> controller_ = makeController();

  std::vector<std::string> loadedLines(size_t since) const {
    std::vector<std::string> loaded;
    for (const auto& line : recordsSince(since)) {
      if (line.find("Loaded playlist from ") != std::string::npos) {
        loaded.push_back(line);
      }
    }
    return loaded;
  }
};

TEST_F(PlaylistAnswer, the_log_names_the_address_that_answered_not_the_one_asked) {
  // Redirected: the document came from elsewhere, and the log says where.
  world_.network().serveOnce(kRemote, {.data = workedExamplePlaylist(), .answeredFrom = kMirror});
  const size_t before = mark();
  controller_->viewDidAppear(false);
  world_.scheduler().runUntilIdle();
  EXPECT_EQ(loadedLines(before),
            (std::vector<std::string>{"DEBUG: VornViewController: Loaded playlist from Optional(" +
                                      std::string(kMirror) + ")"}));
  EXPECT_EQ(world_.network().requests(), (std::vector<std::string>{kRemote}));
  ASSERT_TRUE(controller_->playlist());
  EXPECT_FALSE(currentUrl().empty());
}

}  // namespace
}  // namespace vorn::testing
