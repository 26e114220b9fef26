#pragma once

#include <cstddef>

namespace vorn::testing {

// Counts the bytes asked of the global operator new on this thread while it lives: what a call
// builds shows up here whatever builds it, a parser's buffers and a document's blocks alike.
// Counts nest poorly by design: one at a time per thread.
class AllocationCount {
 public:
  AllocationCount();
  ~AllocationCount();
  AllocationCount(const AllocationCount&) = delete;
  AllocationCount& operator=(const AllocationCount&) = delete;

  size_t bytes() const { return bytes_; }

 private:
  size_t bytes_ = 0;
};

}  // namespace vorn::testing
