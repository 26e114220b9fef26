#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/linux/audio_session.h"
#include "platform/linux/bundle.h"
#include "platform/linux/system_log.h"
#include "tests/linux/test_https_server.h"

namespace vorn::linuxbackend {
namespace {

using linuxtest::TempDir;

TEST(StderrSystemLog, lines_carry_time_process_and_id_and_never_split_a_record) {
  unsetenv("JOURNAL_STREAM");
  TempDir folder;
  std::string path = folder.file("log.txt");
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  ASSERT_GE(fd, 0);
  {
    StderrSystemLog log(fd, "vorn");
    EXPECT_FALSE(log.writesToJournal());
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
      writers.emplace_back([&log, t] {
        for (int i = 0; i < 250; ++i) {
          log.write("DEBUG: VornViewController: writer " + std::to_string(t) + " line " +
                    std::to_string(i) + " %@ %s");
        }
      });
    }
    for (auto& writer : writers) {
      writer.join();
    }
    log.write("Solvane TV - Paused\nNow playing:\n");
  }
  ::close(fd);
  std::istringstream lines(linuxtest::readFile(path));
  std::regex shape(
      R"(^[A-Z][a-z]{2} [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9]\.[0-9]{3} vorn\[)" +
      std::to_string(getpid()) + R"(\]: (.*)$)");
  std::string line;
  int count = 0;
  std::string last;
  while (std::getline(lines, line)) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, shape)) << line;
    last = match[1];
    ++count;
  }
  EXPECT_EQ(count, 1001);
  EXPECT_EQ(last, "Solvane TV - Paused#012Now playing:#012");
}

TEST(StderrSystemLog, under_the_journal_lines_carry_a_priority_instead_of_a_time_stamp) {
  TempDir folder;
  std::string path = folder.file("journal.txt");
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0600);
  struct stat info {};
  ASSERT_EQ(fstat(fd, &info), 0);
  std::string stream = std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
  setenv("JOURNAL_STREAM", stream.c_str(), 1);
  StderrSystemLog journal(fd, "vorn");
  unsetenv("JOURNAL_STREAM");
  StderrSystemLog terminal(fd, "vorn");
  ::close(fd);
  EXPECT_TRUE(journal.writesToJournal());
  EXPECT_FALSE(terminal.writesToJournal());
  // The process's own failures are errors, whatever part of it writes them; only a leading level
  // counts, and a record cannot forge a priority of its own.
  for (const auto& [priority, record] : std::vector<std::pair<char, std::string>>{
           {'7', "DEBUG: AppDelegate: applicationDidBecomeActive: "},
           {'3', "ERROR: AppDelegate: Alert: x"},
           {'6', "MPRIS: no media control on the session bus: x"},
           {'3', "vorn: cannot start: the application class \"X\" is missing"},
           {'3', "vorn: cannot draw the overlay: x"},
           {'6', "vorn: the overlay cannot be drawn"},
           {'6', "vorn: DEBUG: ERROR: x"}}) {
    EXPECT_EQ(journal.formatLine(record, 0), std::string("<") + priority + ">" + record);
  }
  EXPECT_EQ(journal.formatLine("DEBUG: x\n<0>ERROR: y", 0), "<7>DEBUG: x#012<0>ERROR: y");
  EXPECT_EQ(terminal.formatLine("vorn: cannot start: x", 0).find('<'), std::string::npos);
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(terminal.formatLine("DEBUG: x", 1796559489.123),
            "Dec  6 12:18:09.123 vorn[" + std::to_string(getpid()) + "]: DEBUG: x");
}

TEST(InstalledBundle, resources_are_found_in_the_data_folder_or_the_build_tree_only_if_present) {
  TempDir root;
  std::filesystem::create_directories(root.file("bin/share/vorn"));
  std::filesystem::create_directories(root.file("share/vorn"));
  linuxtest::writeFile(root.file("share/vorn/vorn-vimeo-playlist.json"), "[]");
  // A build tree keeps its data folder beside the executable, or the file itself.
  linuxtest::writeFile(root.file("bin/share/vorn/beside.json"), "[]");
  linuxtest::writeFile(root.file("bin/only-in-build-tree.json"), "[]");
  std::string exe = root.file("bin/vorn");

  InstalledBundle installed(InstalledBundle::foldersFor(exe, nullptr));
  EXPECT_EQ(installed.pathForResource("vorn-vimeo-playlist", "json"),
            root.file("share/vorn/vorn-vimeo-playlist.json"));
  EXPECT_EQ(installed.pathForResource("beside", "json"), root.file("bin/share/vorn/beside.json"));
  EXPECT_EQ(installed.pathForResource("only-in-build-tree", "json"),
            root.file("bin/only-in-build-tree.json"));
  EXPECT_EQ(installed.pathForResource("vorn-vimeo-playlist", "xml"), std::nullopt);
  EXPECT_EQ(installed.pathForResource("../share/vorn/vorn-vimeo-playlist", "json"), std::nullopt);
  EXPECT_EQ(installed.pathForResource("", "json"), std::nullopt);

  // The override is the only folder searched.
  TempDir other;
  InstalledBundle overridden(InstalledBundle::foldersFor(exe, other.path().c_str()));
  EXPECT_EQ(overridden.pathForResource("vorn-vimeo-playlist", "json"), std::nullopt);
  linuxtest::writeFile(other.file("vorn-vimeo-playlist.json"), "[]");
  EXPECT_EQ(overridden.pathForResource("vorn-vimeo-playlist", "json"),
            other.file("vorn-vimeo-playlist.json"));

  // A folder of the resource's name is not a resource.
  std::filesystem::create_directories(other.file("folder.json"));
  EXPECT_EQ(overridden.pathForResource("folder", "json"), std::nullopt);

  // This test binary's own bundle looks around its own location.
  unsetenv("VORN_DATA_DIR");
  auto own = InstalledBundle::forThisProcess();
  ASSERT_EQ(own.folders().size(), 3u);
  EXPECT_EQ(own.folders()[2],
            std::filesystem::read_symlink("/proc/self/exe").parent_path().string());
}

TEST(LinuxAudioSession, activation_needs_the_playback_category_first) {
  LinuxAudioSession session(false);
  auto refused = session.setActive(true);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->domain(), platform::kAudioErrorDomain);
  EXPECT_FALSE(session.isActive());
  EXPECT_EQ(session.streamRole(), "");

  EXPECT_EQ(session.setCategoryPlayback(), nullptr);
  EXPECT_EQ(session.category(), "playback");
  EXPECT_EQ(session.streamRole(), "video");
  EXPECT_EQ(session.setActive(true), nullptr);
  EXPECT_TRUE(session.isActive());
  EXPECT_EQ(session.setActive(false), nullptr);
  EXPECT_FALSE(session.isActive());
}

}  // namespace
}  // namespace vorn::linuxbackend
