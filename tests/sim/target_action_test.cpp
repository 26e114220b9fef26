#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/target_action.h"

namespace vorn::platform {
namespace {

struct Base {
  virtual ~Base() = default;
  virtual int handle(const std::string& what) {
    seen.push_back("base " + what);
    return 1;
  }
  std::vector<std::string> seen;
};

struct Derived : Base {
  int handle(const std::string& what) override {
    seen.push_back("derived " + what);
    return 7;
  }
};

using Action = TargetAction<int, const std::string&>;

TEST(TargetAction, strong_keeps_its_target_weak_lets_it_go_and_both_dispatch_virtually) {
  std::shared_ptr<Base> target = std::make_shared<Derived>();
  std::weak_ptr<Base> watch = target;
  auto* raw = target.get();
  Action strong = Action::strong(target, "strong:", &Base::handle);
  Action weak = Action::weak(target, "weak:", &Base::handle);
  EXPECT_EQ(strong.selector, "strong:");
  EXPECT_EQ(weak.selector, "weak:");

  EXPECT_EQ(weak.call("a"), 7);
  target.reset();
  EXPECT_FALSE(watch.expired()) << "the strong action holds the target";
  EXPECT_EQ(weak.call("b"), 7);
  EXPECT_EQ(strong.call("c"), 7);
  EXPECT_EQ(raw->seen, (std::vector<std::string>{"derived a", "derived b", "derived c"}));

  strong = {};
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(weak.call("d"), 0) << "a gone target answers a value-initialised result";
}

}  // namespace
}  // namespace vorn::platform
