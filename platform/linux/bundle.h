#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/bundle.h"

namespace vorn::linuxbackend {

// The packaged resources, found relative to the executable: the installed data folder
// <exe dir>/../share/vorn/, then, for a build tree, <exe dir>/share/vorn/ and the executable's own
// folder. VORN_DATA_DIR, when set, is the only folder searched. A resource exists only if its file
// does.
class InstalledBundle : public platform::Bundle {
 public:
  // Folders to search, in order.
  explicit InstalledBundle(std::vector<std::string> folders);
  // The folders for this process (environment and executable location).
  static InstalledBundle forThisProcess();

  std::optional<std::string> pathForResource(const std::string& name,
                                             const std::string& type) const override;
  const std::vector<std::string>& folders() const { return folders_; }

  // The machine's identity read from `path` (the systemd machine id), as a number; nothing when
  // the file cannot be read or is empty.
  static std::optional<uint64_t> machineIdentity(const std::string& path);

  // The folders for an executable at `executablePath`, given VORN_DATA_DIR's value (if any).
  static std::vector<std::string> foldersFor(const std::string& executablePath,
                                             const char* dataDirOverride);

 private:
  std::vector<std::string> folders_;
};

}  // namespace vorn::linuxbackend
