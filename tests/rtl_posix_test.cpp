// The message queue driven from another event loop through its pollable
// descriptor (POSIX: the descriptor is an eventfd or a pipe).
#include <gtest/gtest.h>
#include <poll.h>

#include <thread>

#include "rtl/messages.hpp"
#include "rtl/window_api.hpp"

TEST(MessageQueue, PollableDescriptorSignalsPendingWorkAndClearsWhenDrained) {
  int delivered = 0;
  HWND wnd = AllocateHWnd([&](TMessage&) { ++delivered; });
  const int fd = MessageQueueFd();
  ASSERT_GE(fd, 0);
  ProcessMessages();
  pollfd p{fd, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0);
  std::thread poster([&] {
    for (int i = 0; i < 3; ++i) PostMessage(wnd, 0x400, 0, 0);
  });
  poster.join();
  p.revents = 0;
  ASSERT_EQ(poll(&p, 1, 5000), 1);  // three posts, one wake-up
  EXPECT_EQ(ProcessMessages(), 3);
  EXPECT_EQ(delivered, 3);
  p.revents = 0;
  EXPECT_EQ(poll(&p, 1, 0), 0);
  DeallocateHWnd(wnd);
}

