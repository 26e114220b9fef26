#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/system_log.h"

namespace vorn::linuxbackend {

// Whether `fd` is the journal's stream: systemd names its device and inode in JOURNAL_STREAM.
bool journalOwns(int fd);

// The system log on standard error, one line per record, as a system log shows it:
// "Dec  6 14:28:09.123 vorn[1234]: <record>". Under systemd (JOURNAL_STREAM names our stderr) the
// journal adds time and process itself, so the line is "<N><record>" with the priority N (3 for
// the logic's error records and the process's own "vorn: cannot ..." failures, 7 for debug
// records, 6 otherwise). Control characters inside a
// record are written as
// "#ooo" (octal), so a record never spans lines. Thread-safe.
class StderrSystemLog : public platform::SystemLog {
 public:
  // `fd` is where lines go (standard error by default); `processName` defaults to the program's.
  explicit StderrSystemLog(int fd = 2, std::string processName = {});

  void write(std::string_view record) override;
  // A record at a priority of its own (the journal's: 3 error, 4 warning, 6 info, 7 debug),
  // whatever its text: operator events and the player's messages.
  void write(std::string_view record, int priority);

  // The line for `record` as written (without the newline), at time `unixSeconds`; the priority
  // follows from the record's text when not given.
  std::string formatLine(std::string_view record, double unixSeconds,
                         std::optional<int> priority = std::nullopt) const;
  bool writesToJournal() const { return journal_; }
  // Where lines go; useFd points the log at another descriptor (one that stands for the same
  // stream, see StderrCapture).
  int fd() const;
  void useFd(int fd);

 private:
  int fd_;  // guarded by mutex_
  std::string processName_;
  long pid_;
  bool journal_;
  mutable std::mutex mutex_;
};

}  // namespace vorn::linuxbackend
