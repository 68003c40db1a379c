// The protocol as both ends speak it: the frame and its checksum, the tool's reading of what the
// device sends, and what the virtual device sends. Which frames are messages at all, and which
// reports the virtual device answers, is the fuzzers' to check.
#include <gtest/gtest.h>

#include <random>

#include "BitwiseChecksum.h"
#include "DeviceProtocol.h"
#include "IncomingMessages.h"
#include "TextConverter.h"

namespace {

using namespace devlink;
using Bytes = std::vector<std::uint8_t>;

ReportFrame FrameOf(std::initializer_list<std::uint8_t> head, std::initializer_list<std::uint8_t> checksum) {
  ReportFrame frame{};
  std::copy(head.begin(), head.end(), frame.begin());
  std::copy(checksum.begin(), checksum.end(), frame.begin() + kChecksumOffset);
  return frame;
}

TEST(ReportChecksum, MatchesKnownValuesAndTheBitwiseForm) {
  EXPECT_EQ(ReportChecksum(Bytes(4, 0)), 0xC704DD7Bu);
  EXPECT_EQ(ReportChecksum(Bytes(60, 0)), 0xEF6EB7DFu);
  std::mt19937 random(20261206);
  for (int round = 0; round < 5000; ++round) {
    Bytes data(4 * (round % 17));
    for (auto& value : data) value = static_cast<std::uint8_t>(random());
    ASSERT_EQ(ReportChecksum(data), devlink::testing::BitwiseChecksum(data)) << "round " << round;
  }
}

TEST(ReportFrame, TheRequestIsByteExactAndValidationReadsABigEndianChecksumOverBytes0To59) {
  EXPECT_EQ(BuildOutgoingFrame(kIdentityRequest), FrameOf({0x01, 0xF0, 0x0F, 0xAB, 0xBC}, {0x0A, 0x69, 0x00, 0xE9}));
  const ReportFrame log_ok = FrameOf({0x01, 0xF0, 0x0F, 0xE0, 0x0A, 'O', 'K'}, {0xB2, 0xF0, 0x7E, 0x35});
  EXPECT_TRUE(IsValidFrame(log_ok));
  EXPECT_EQ(FrameHeader(log_ok), kLogTextHeader);
  ReportFrame little_endian = log_ok;
  std::reverse(little_endian.begin() + kChecksumOffset, little_endian.end());
  ReportFrame other_byte0 = log_ok;
  other_byte0[0] = 0x02;  // covered by the checksum, though nothing else reads it
  for (const ReportFrame& invalid : {little_endian, other_byte0, ReportFrame{}}) EXPECT_FALSE(IsValidFrame(invalid));
}

TEST(IncomingMessages, LogTextBecomesOneLineOfCodePage1251) {
  zodivo::IncomingMessages messages;
  const auto log = [](std::string_view text) { return vdev::LogTextFrame(Bytes(text.begin(), text.end())); };
  const std::string full(55, 'x');
  const std::pair<ReportFrame, const char*> cases[] = {
      {FrameOf({0x01, 0xF0, 0x0F, 0xE0, 0x0A, 'O', 'K'}, {0xB2, 0xF0, 0x7E, 0x35}), "OK"},
      {log(""), ""},
      {log({"ab\0c", 4}), "ab"},
      {log(full), full.c_str()},  // no terminating zero: all 55 bytes, never the checksum
      {log("\xCF\xF0\xE8\xE2\xE5\xF2 \xB9\x35 \x88"), "Привет №5 €"},
      {log("a\x98" "b"), "a\uFFFDb"},  // 0x98 is undefined in the code page
      {log("a\r\nb\tc\x01\x1F\x7F" "d"), "a  b c   d"},
  };
  for (const auto& [frame, line] : cases) {
    const zodivo::DisplayChange change = messages.Handle(frame, false);
    ASSERT_TRUE(std::holds_alternative<zodivo::AppendLogLine>(change)) << line;
    EXPECT_EQ(std::get<zodivo::AppendLogLine>(change).text, QString::fromUtf8(line));
  }
  // The identifier sits after one unused payload byte.
  const ReportFrame reply = FrameOf({0x01, 0xF0, 0x0F, 0xE0, 0x0E, 0x00, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B,
                                     0xEC, 0xFD, 0x0E, 0xF0},
                                    {0x1E, 0xB6, 0x67, 0x96});
  const zodivo::DisplayChange shown = messages.Handle(reply, false);
  ASSERT_TRUE(std::holds_alternative<zodivo::ShowIdentity>(shown));
  EXPECT_EQ(std::get<zodivo::ShowIdentity>(shown).status, "CONNECTED Tavrix Omrin M3");
  EXPECT_EQ(std::get<zodivo::ShowIdentity>(shown).identity, "Unique ID: 0405060708090A0BECFD0EF0");
}

TEST(Cp1251Encoder, TurnsUtf8IntoTheDevicesCodePage) {
  TextConverter encoder = Cp1251Encoder();
  EXPECT_EQ(encoder.Convert("Привет €"), "\xCF\xF0\xE8\xE2\xE5\xF2 \x88");
  // Not valid UTF-8, cut off in the middle of a character, and a character the code page lacks.
  EXPECT_EQ(encoder.Convert("a\xFF" "b\xD0"), "a?b?");
  EXPECT_EQ(encoder.Convert("\xE4\xB8\xAD"), "?");
}

}  // namespace
