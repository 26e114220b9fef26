#pragma once

#include <memory>
#include <utility>

namespace vorn::linuxbackend {

// The one way the backend lets posted blocks, callbacks and dependants reach an object that may
// go before them: the object owns a Guard, the others keep a Guard::Weak and ask it for the object
// when they run, on the main thread. Once the guard is released (at the latest when the object
// goes), they find nothing. A Weak may be copied on any thread.
template <typename T>
class Guard {
 public:
  class Weak {
   public:
    Weak() = default;
    // The object, or null once the guard was released. Main thread.
    T* get() const {
      const auto cell = cell_.lock();
      return cell ? *cell : nullptr;
    }

   private:
    friend class Guard;
    explicit Weak(std::weak_ptr<T*> cell) : cell_(std::move(cell)) {}
    std::weak_ptr<T*> cell_;
  };

  explicit Guard(T& target) : cell_(std::make_shared<T*>(&target)) {}
  ~Guard() { release(); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

  Weak weak() const { return Weak(cell_); }
  // From now on every Weak finds nothing. Main thread.
  void release() { cell_.reset(); }

 private:
  std::shared_ptr<T*> cell_;
};

}  // namespace vorn::linuxbackend
