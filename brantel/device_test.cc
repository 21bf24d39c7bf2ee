#include "brantel/device.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "gtest/gtest.h"

namespace brantel {
namespace {

// The wait reports readability of the one descriptor it was given, and a time-out as 0.
TEST(DeviceInterface, WaitReadable) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  DeviceInterface device;
  bool readable = true;
  timeval limit{0, 1000};
  EXPECT_EQ(device.WaitReadable(fds[0], &limit, &readable), 0);
  EXPECT_FALSE(readable);

  ASSERT_EQ(write(fds[1], "x", 1), 1);
  limit = timeval{1, 0};
  EXPECT_EQ(device.WaitReadable(fds[0], &limit, &readable), 1);
  EXPECT_TRUE(readable);

  EXPECT_EQ(device.WaitReadable(-1, &limit, &readable), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_FALSE(readable);
  close(fds[0]);
  close(fds[1]);
}

TEST(DeviceInterface, OpenReportsErrno) {
  DeviceInterface device;
  EXPECT_EQ(device.Open("/nonexistent/ostel0", O_RDWR), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST(DeviceInterface, AllocateClearedIsZeroFilled) {
  DeviceInterface device;
  HeapBytes bytes = device.AllocateCleared(4096);
  ASSERT_NE(bytes, nullptr);
  for (size_t i = 0; i < 4096; ++i) ASSERT_EQ(bytes[i], 0) << i;
  EXPECT_NE(device.AllocateCleared(0), nullptr);
}

}  // namespace
}  // namespace brantel
