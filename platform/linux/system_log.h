#pragma once

#include <mutex>
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

  // The line for `record` as written (without the newline), at time `unixSeconds`.
  std::string formatLine(std::string_view record, double unixSeconds) const;
  bool writesToJournal() const { return journal_; }

 private:
  int fd_;
  std::string processName_;
  long pid_;
  bool journal_;
  std::mutex mutex_;
};

}  // namespace vorn::linuxbackend
