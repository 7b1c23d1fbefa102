// The text of a system error, also where the C library has none.
#include <gtest/gtest.h>

#include <errno.h>

#include <string>

#include "ktsys.h"

TEST(KtReasonTest, AKnownErrorIsTheSystemsTextAndAnyOtherIsItsNumber) {
  EXPECT_STREQ("Invalid argument", ktReason(EINVAL));
  EXPECT_STREQ("error 123456", ktReason(123456));
  EXPECT_STREQ("error -3", ktReason(-3));
  EXPECT_STREQ("error 2147483647", ktReason(2147483647));
  EXPECT_STREQ("error -2147483648", ktReason(-2147483647 - 1));
}
