#include "platform/linux/bundle.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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
  InstalledBundle bundle(
      foldersFor(error ? std::string() : exe.string(), std::getenv("VORN_DATA_DIR")));
  bundle.setScreenIdentity(machineIdentity("/etc/machine-id"));
  return bundle;
}

std::optional<uint64_t> InstalledBundle::machineIdentity(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  // The id is 32 hexadecimal digits; a longer file is cut, as its start identifies well enough.
  char buffer[64];
  file.read(buffer, sizeof buffer);
  std::string text(buffer, static_cast<size_t>(std::max<std::streamsize>(0, file.gcount())));
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
    text.pop_back();
  }
  if (text.empty()) {
    return std::nullopt;
  }
  // FNV-1a: the same text gives the same number on every build.
  uint64_t hash = 14695981039346656037ull;
  for (const unsigned char c : text) {
    hash = (hash ^ c) * 1099511628211ull;
  }
  return hash;
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
