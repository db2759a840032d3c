#include "daemon/descriptor_limit.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

namespace {

// Sets the soft descriptor limit for the test and puts the old one back.
class SoftLimit {
 public:
  SoftLimit() { getrlimit(RLIMIT_NOFILE, &saved_); }
  ~SoftLimit() { setrlimit(RLIMIT_NOFILE, &saved_); }
  bool Set(rlim_t soft) {
    struct rlimit l = saved_;
    l.rlim_cur = soft;
    return setrlimit(RLIMIT_NOFILE, &l) == 0;
  }
  rlim_t Hard() const { return saved_.rlim_max; }

 private:
  struct rlimit saved_ {};
};

TEST(DescriptorLimit, SoftLimitIsRaisedToTheHardLimit) {
  SoftLimit guard;
  ASSERT_GT(guard.Hard(), 64u) << "the hard limit leaves nothing to raise";
  ASSERT_TRUE(guard.Set(64));
  EXPECT_EQ(RaiseDescriptorLimit(), static_cast<long long>(guard.Hard()));
  struct rlimit now;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &now), 0);
  EXPECT_EQ(now.rlim_cur, guard.Hard());
  EXPECT_EQ(now.rlim_max, guard.Hard()) << "the hard limit must stay as it was";

  // Already at the hard limit: nothing changes.
  EXPECT_EQ(RaiseDescriptorLimit(), static_cast<long long>(guard.Hard()));
}

}  // namespace
