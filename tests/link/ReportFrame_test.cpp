#include "ReportFrame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "BitwiseChecksum.h"

namespace devlink {
namespace {

using testing::BitwiseChecksum;

ReportFrame FrameOf(std::initializer_list<std::uint8_t> head, std::initializer_list<std::uint8_t> checksum) {
  ReportFrame frame{};
  std::copy(head.begin(), head.end(), frame.begin());
  std::copy(checksum.begin(), checksum.end(), frame.begin() + kChecksumOffset);
  return frame;
}

TEST(ReportChecksum, MatchesKnownValues) {
  const std::vector<std::uint8_t> four_zeros(4, 0);
  const std::vector<std::uint8_t> sixty_zeros(60, 0);
  EXPECT_EQ(ReportChecksum(four_zeros), 0xC704DD7Bu);
  EXPECT_EQ(ReportChecksum(sixty_zeros), 0xEF6EB7DFu);
  static_assert(ReportChecksum(std::span<const std::uint8_t>{}) == 0xFFFFFFFF);
}

TEST(ReportChecksum, TableFormAgreesWithBitwiseFormOnRandomData) {
  std::mt19937 random(20261206);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int round = 0; round < 20000; ++round) {
    std::vector<std::uint8_t> data(4 * (round % 17));
    for (auto& value : data) value = static_cast<std::uint8_t>(byte(random));
    ASSERT_EQ(ReportChecksum(data), BitwiseChecksum(data)) << "round " << round;
  }
}

TEST(ReportFrame, IdentityRequestIsByteExact) {
  ReportFrame expected = FrameOf({0x01, 0xF0, 0x0F, 0xAB, 0xBC}, {0x0A, 0x69, 0x00, 0xE9});
  EXPECT_EQ(BuildOutgoingFrame(kIdentityRequest), expected);
  EXPECT_TRUE(IsValidFrame(expected));
}

TEST(ReportFrame, PayloadIsCopiedAndCutAt55Bytes) {
  const std::vector<std::uint8_t> payload(70, 0x5A);
  const ReportFrame frame = BuildOutgoingFrame(0x42, payload);
  EXPECT_EQ(frame[4], 0x42);
  EXPECT_EQ(frame[kPayloadOffset], 0x5A);
  EXPECT_EQ(frame[kChecksumOffset - 1], 0x5A);
  EXPECT_TRUE(IsValidFrame(frame));
}

TEST(ReportFrame, ValidationChecksTheBigEndianChecksumOverBytes0To59) {
  const ReportFrame log_ok = FrameOf({0x01, 0xF0, 0x0F, 0xE0, 0x0A, 'O', 'K'}, {0xB2, 0xF0, 0x7E, 0x35});
  EXPECT_TRUE(IsValidFrame(log_ok));
  EXPECT_EQ(FrameHeader(log_ok), kLogTextHeader);

  ReportFrame little_endian = log_ok;
  std::reverse(little_endian.begin() + kChecksumOffset, little_endian.end());
  EXPECT_FALSE(IsValidFrame(little_endian));

  ReportFrame other_byte0 = log_ok;
  other_byte0[0] = 0x02;
  EXPECT_FALSE(IsValidFrame(other_byte0)) << "byte 0 is covered by the checksum";

  EXPECT_FALSE(IsValidFrame(ReportFrame{}));
}

}  // namespace
}  // namespace devlink
