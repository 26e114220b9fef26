#pragma once

#include <mutex>
#include <string>

#include "platform/state_store.h"

namespace vorn::common {

// The state store on a real folder, one file per blob. A write goes to a temporary file in the
// same folder, is flushed to the disk, renamed over the blob and the folder flushed, so the name
// always points at a whole blob. The folder is made (with its parents) on the first write. An
// empty folder name stores nothing: reads find nothing, writes do nothing.
class FileStateStore : public platform::StateStore {
 public:
  explicit FileStateStore(std::string folder);

  ReadResult read(const std::string& name) override;
  std::shared_ptr<platform::Error> write(const std::string& name, std::string_view bytes) override;
  std::string location(const std::string& name) const override;

 private:
  std::string folder_;  // ends with '/' unless empty
  std::mutex mutex_;    // one write at a time: they share the temporary name
};

}  // namespace vorn::common
