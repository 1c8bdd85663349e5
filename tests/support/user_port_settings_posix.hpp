// Settings a user (or another program) left on a serial port, for the
// tests that check whoever opens the port puts them back: 4800 Bd,
// VMIN 3 and VTIME 7, none of which our serial code would choose.
#pragma once

#include <gtest/gtest.h>
#include <termios.h>

#include <functional>

namespace testing_support {

inline constexpr cc_t kUserVmin = 3;
inline constexpr cc_t kUserVtime = 7;

// Leaves the user's settings on `fd`, with whatever `more` changes beside
// them, and reads back into `settled` what the port then holds.
inline ::testing::AssertionResult leave_user_settings(int fd, termios& settled,
                                                      const std::function<void(termios&)>& more = {}) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return ::testing::AssertionFailure() << "tcgetattr failed";
  cfsetispeed(&t, B4800);
  cfsetospeed(&t, B4800);
  t.c_cc[VMIN] = kUserVmin;
  t.c_cc[VTIME] = kUserVtime;
  if (more) more(t);
  if (tcsetattr(fd, TCSANOW, &t) != 0) return ::testing::AssertionFailure() << "tcsetattr failed";
  if (tcgetattr(fd, &settled) != 0) return ::testing::AssertionFailure() << "tcgetattr failed";
  return ::testing::AssertionSuccess();
}

// The port holds again what leave_user_settings left on it.
inline void expect_user_settings_back(int fd, const termios& settled) {
  termios after{};
  ASSERT_EQ(tcgetattr(fd, &after), 0);
  EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&settled));
  EXPECT_EQ(cfgetispeed(&after), cfgetispeed(&settled));
  EXPECT_EQ(after.c_cc[VMIN], kUserVmin);
  EXPECT_EQ(after.c_cc[VTIME], kUserVtime);
  EXPECT_EQ(after.c_cflag, settled.c_cflag);
  EXPECT_EQ(after.c_lflag, settled.c_lflag);
  EXPECT_EQ(after.c_iflag, settled.c_iflag);
  EXPECT_EQ(after.c_oflag, settled.c_oflag);
}

}  // namespace testing_support
