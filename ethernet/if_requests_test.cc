#include "ethernet/if_requests.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The results callers rely on: 22 for a missing name, 2 for any failed
// request (whatever the kernel said), 0 flags for unreadable flags.
TEST(IfRequests, ErrorResultsAndErrno) {
  int sock = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(sock, 0);
  for (const char* missing : {static_cast<const char*>(nullptr), ""}) {
    errno = 0;
    EXPECT_EQ(GetIfFlags(sock, missing), EINVAL);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(SetIfUp(sock, missing, true), EINVAL);
    EXPECT_EQ(RenameIf(sock, missing, "x"), EINVAL);
    EXPECT_EQ(RenameIf(sock, "x", missing), EINVAL);
    EXPECT_FALSE(IsIfUp(sock, missing));  // 22 has IFF_UP clear
  }
  const char* absent = "e1nosuchif0";
  EXPECT_EQ(GetIfFlags(sock, absent), 0);
  EXPECT_EQ(errno, ENODEV);  // as the kernel left it
  EXPECT_FALSE(IsIfUp(sock, absent));
  EXPECT_EQ(SetIfUp(sock, absent, false), ENOENT);
  EXPECT_EQ(errno, ENOENT);
  errno = 0;
  EXPECT_EQ(RenameIf(sock, absent, "e1other0"), ENOENT);
  EXPECT_EQ(errno, ENOENT);
  // Names longer than the 16-byte field are cut, not overrun.
  EXPECT_EQ(GetIfFlags(sock, "a-name-much-longer-than-sixteen"), 0);
  close(sock);
}

}  // namespace
