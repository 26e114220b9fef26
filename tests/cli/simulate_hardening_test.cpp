#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/simulate.h"

namespace vorn::testing {
namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

Outcome simulate(const std::vector<std::string>& args) {
  std::ostringstream out;
  std::ostringstream err;
  Outcome outcome;
  outcome.status = app::runSimulateCommand(args, out, err);
  outcome.out = out.str();
  outcome.err = err.str();
  return outcome;
}

class SimulateHardening : public ::testing::Test {
 protected:
  SimulateHardening() {
    dir_ = fs::temp_directory_path() /
           ("vorn-simulate-hardening-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    playlist_ = (dir_ / "short.json").string();
    std::ofstream(playlist_)
        << R"([{"hls_url": "https://s.invalid/u1", "duration": 3}, {"hls_url": "u2/index.m3u8", "duration": 2}])";
  }
  ~SimulateHardening() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  fs::path dir_;
  std::string playlist_;
};

TEST_F(SimulateHardening, resize_sizes_past_any_screen_are_refused_with_one_line) {
  for (const char* size : {"1e308x1e308", "100001x10", "10x1e9", "infx10", "nanx10", "-5x10"}) {
    const auto outcome = simulate({"--playlist", playlist_, "--start", "01:00:00", "--for", "2",
                                   "--event", std::string("1:resize:") + size});
    EXPECT_EQ(outcome.status, 2) << size;
    EXPECT_EQ(outcome.out, "") << size;
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
    EXPECT_NE(outcome.err.find(size), std::string::npos) << outcome.err;
  }
  // The largest size still taken runs like any other.
  const auto largest = simulate({"--playlist", playlist_, "--start", "01:00:00", "--for", "2",
                                 "--event", "1:resize:100000x100000"});
  EXPECT_EQ(largest.status, 0) << largest.err;
}

TEST_F(SimulateHardening, odd_option_values_are_refused_on_one_line_with_status_2) {
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"--event", "1:resize:10x\n20"},
        std::vector<std::string>{"--start", "01:00\n:00"},
        std::vector<std::string>{"--volume", "5\n"}, std::vector<std::string>{"--no-such\noption"},
        // A flag's value that is not a truth word nor a whole number.
        std::vector<std::string>{"--developer-mode=/x"},
        std::vector<std::string>{"--developer-mode=99999999999999999999"}}) {
    std::vector<std::string> args = {"--playlist", playlist_, "--for", "2"};
    args.insert(args.end(), bad.begin(), bad.end());
    const auto outcome = simulate(args);
    EXPECT_EQ(outcome.status, 2) << bad.back();
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
    EXPECT_EQ(outcome.err.find("\\n") != std::string::npos,
              bad.back().find('\n') != std::string::npos)
        << outcome.err;
  }
}

TEST_F(SimulateHardening, a_relative_stream_address_plays_resolved_against_the_playlist_address) {
  const auto outcome =
      simulate({"--playlist", playlist_, "--start", "01:00:03", "--for", "1", "--trace"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  // The second entry is not dropped: at 01:00:03 the 5 s cycle is 3 s in, its start, and it
  // plays from the remote address's folder.
  const std::string resolved = "/playlists/u2/index.m3u8";
  const auto current = outcome.out.find("TRACE: current item: https://");
  ASSERT_NE(current, std::string::npos) << outcome.out;
  const auto line = outcome.out.substr(current, outcome.out.find('\n', current) - current);
  EXPECT_NE(line.find(resolved + " at 0.000"), std::string::npos) << line;
  EXPECT_NE(outcome.out.find(resolved + " to 0.000"), std::string::npos) << outcome.out;
}

}  // namespace
}  // namespace vorn::testing
