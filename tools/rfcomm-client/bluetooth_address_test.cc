#include "bluetooth_address.h"

#include <gtest/gtest.h>

#include <string>

namespace harlo {
namespace {

// Text maps to the kernel's byte order (least significant first), either case.
TEST(BluetoothAddress, ParsesIntoKernelByteOrder) {
  auto address = parseBluetoothAddress("01:23:45:67:89:aB");
  ASSERT_TRUE(address.has_value());
  EXPECT_EQ(*address, (BluetoothAddress{0xAB, 0x89, 0x67, 0x45, 0x23, 0x01}));
}

// Formatting is the inverse of parsing, in upper case.
TEST(BluetoothAddress, FormatsBackToText) {
  auto address = parseBluetoothAddress("00:aa:01:00:00:2f");
  ASSERT_TRUE(address.has_value());
  EXPECT_EQ(formatBluetoothAddress(*address), "00:AA:01:00:00:2F");
}

// Malformed texts are refused rather than half-parsed.
TEST(BluetoothAddress, RefusesMalformedText) {
  const std::string cases[] = {
      "",
      "01:23:45:67:89",        // five groups
      "01:23:45:67:89:AB:CD",  // seven groups
      "01-23-45-67-89-AB",     // wrong separator
      "01:23:45:67:89:AG",     // not a hex digit
      "1:23:45:67:89:AB:",     // misplaced separator
      "01:23:45:67:89:AB ",    // trailing space
      "+1:23:45:67:89:AB",     // sign
  };
  for (const auto& text : cases) {
    EXPECT_FALSE(parseBluetoothAddress(text).has_value()) << text;
  }
}

}  // namespace
}  // namespace harlo
