#include "allocation_count.h"

#include <cstdlib>
#include <new>

// The replaced global allocation functions, for the whole test program: every form but the
// over-aligned ones, so that whatever one form allocates another frees alike (with malloc and free,
// which sanitizers watch). Kept in a file of their own: where a compiler sees them beside their
// callers it takes them for a mismatched pair.
namespace {

thread_local size_t* counted = nullptr;

void* allocate(std::size_t bytes) noexcept {
  if (counted != nullptr) {
    *counted += bytes;
  }
  return std::malloc(bytes == 0 ? 1 : bytes);
}

void* allocateOrThrow(std::size_t bytes) {
  if (void* memory = allocate(bytes)) {
    return memory;
  }
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t bytes) {
  return allocateOrThrow(bytes);
}
void* operator new[](std::size_t bytes) {
  return allocateOrThrow(bytes);
}
void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept {
  return allocate(bytes);
}
void* operator new[](std::size_t bytes, const std::nothrow_t&) noexcept {
  return allocate(bytes);
}
void operator delete(void* memory) noexcept {
  std::free(memory);
}
void operator delete[](void* memory) noexcept {
  std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
  std::free(memory);
}
void operator delete(void* memory, const std::nothrow_t&) noexcept {
  std::free(memory);
}
void operator delete[](void* memory, const std::nothrow_t&) noexcept {
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
