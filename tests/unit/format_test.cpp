#include "package/format.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(FormatTest, Le32RoundTripsIndependentOfHostOrder) {
  struct Case {
    std::uint32_t value;
    unsigned char bytes[4];
  };
  const Case cases[] = {
      {0, {0, 0, 0, 0}},
      {1, {1, 0, 0, 0}},
      {0x12345678u, {0x78, 0x56, 0x34, 0x12}},
      {0xFFFFFFFFu, {0xFF, 0xFF, 0xFF, 0xFF}},
      {65535, {0xFF, 0xFF, 0, 0}},
  };
  for (const Case& c : cases) {
    unsigned char out[4] = {};
    format::writeLe32(out, c.value);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(out[i], c.bytes[i]) << c.value;
    EXPECT_EQ(format::readLe32(c.bytes), c.value);
  }
}

TEST(FormatTest, SignedFieldsDecodeNegativeValues) {
  struct Case {
    unsigned char bytes[4];
    std::int32_t value;
  };
  const Case cases[] = {
      {{0xFF, 0xFF, 0xFF, 0xFF}, -1},
      {{0x00, 0x00, 0x00, 0x80}, INT32_MIN},
      {{0xFF, 0xFF, 0xFF, 0x7F}, INT32_MAX},
      {{0x9C, 0xFF, 0xFF, 0xFF}, -100},
  };
  for (const Case& c : cases)
    EXPECT_EQ(format::readLe32Signed(c.bytes), c.value);
}

}  // namespace
