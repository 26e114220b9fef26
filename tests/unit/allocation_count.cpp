#include "allocation_count.h"

#include <cstdlib>
#include <new>

// The replaced global allocation functions, for the whole test program. Kept in a file of their
// own: where a compiler sees them beside their callers it takes them for a mismatched pair.
namespace {
thread_local size_t* counted = nullptr;
}  // namespace

void* operator new(std::size_t bytes) {
  if (counted != nullptr) {
    *counted += bytes;
  }
  if (void* memory = std::malloc(bytes == 0 ? 1 : bytes)) {
    return memory;
  }
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept {
  std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}

namespace vorn::testing {

AllocationCount::AllocationCount() {
  counted = &bytes_;
}
AllocationCount::~AllocationCount() {
  counted = nullptr;
}

}  // namespace vorn::testing
