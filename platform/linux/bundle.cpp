#include "platform/linux/bundle.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace vorn::linuxbackend {

namespace fs = std::filesystem;

InstalledBundle::InstalledBundle(std::vector<std::string> folders) : folders_(std::move(folders)) {}

std::vector<std::string> InstalledBundle::foldersFor(const std::string& executablePath,
                                                     const char* dataDirOverride) {
  if (dataDirOverride && *dataDirOverride) {
    return {dataDirOverride};
  }
  if (executablePath.empty()) {
    return {};
  }
  fs::path exeDir = fs::path(executablePath).parent_path();
  return {(exeDir / ".." / "share" / "vorn").lexically_normal().string(),
          (exeDir / "share" / "vorn").string(), exeDir.string()};
}

InstalledBundle InstalledBundle::forThisProcess() {
  std::error_code error;
  fs::path exe = fs::read_symlink("/proc/self/exe", error);
  return InstalledBundle(
      foldersFor(error ? std::string() : exe.string(), std::getenv("VORN_DATA_DIR")));
}

std::optional<std::string> InstalledBundle::pathForResource(const std::string& name,
                                                            const std::string& type) const {
  // A name with a path separator could reach outside the data folder.
  if (name.empty() || name.find('/') != std::string::npos || type.find('/') != std::string::npos ||
      name == "." || name == "..") {
    return std::nullopt;
  }
  std::string fileName = type.empty() ? name : name + "." + type;
  for (const auto& folder : folders_) {
    fs::path candidate = fs::path(folder) / fileName;
    std::error_code error;
    if (fs::is_regular_file(candidate, error)) {
      return fs::absolute(candidate, error).lexically_normal().string();
    }
  }
  return std::nullopt;
}

}  // namespace vorn::linuxbackend
