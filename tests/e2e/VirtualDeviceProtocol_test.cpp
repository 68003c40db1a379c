// The virtual device's own logic: how it judges what the tool writes, and what it sends back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Cp1251.h"
#include "DeviceProtocol.h"

namespace vdev {
namespace {

std::vector<std::uint8_t> IdentityRequest() {
  const auto frame = devlink::BuildOutgoingFrame(devlink::kIdentityRequest);
  return {frame.begin(), frame.end()};
}

// Sets byte `index` and restores a good checksum, so that only the byte itself is wrong.
std::vector<std::uint8_t> WithByte(std::size_t index, std::uint8_t value) {
  devlink::ReportFrame frame = devlink::BuildOutgoingFrame(devlink::kIdentityRequest);
  frame[index] = value;
  devlink::SealFrame(frame);
  return {frame.begin(), frame.end()};
}

struct Case {
  const char* what;
  std::vector<std::uint8_t> report;
  bool answered;
  const char* problem;  // a fragment of the one complaint, or empty for none
};

TEST(VirtualDeviceProtocolTest, JudgesWhatTheToolWrites) {
  auto short_report = IdentityRequest();
  short_report.pop_back();
  auto bad_checksum = IdentityRequest();
  bad_checksum[63] ^= 0x01;
  const Case cases[] = {
      {"the identity request", IdentityRequest(), true, ""},
      {"63 bytes", short_report, false, "wrong length: 63 bytes"},
      {"report ID 2", WithByte(0, 0x02), false, "wrong report ID 0x02"},
      {"a bad checksum", bad_checksum, false, "bad checksum"},
      {"the device's own signature", WithByte(3, 0xE0), false, "signature"},
      {"another command", WithByte(4, 0x0A), false, "unknown command 0x0A"},
      {"a payload byte", WithByte(20, 0x01), true, "non-zero payload"},
      {"nothing", {}, false, "empty"},
  };
  for (const Case& c : cases) {
    const ToolReport verdict = ReadToolReport(c.report);
    EXPECT_EQ(verdict.identity_request, c.answered) << c.what;
    if (*c.problem == '\0') {
      EXPECT_TRUE(verdict.problems.empty()) << c.what;
    } else {
      ASSERT_EQ(verdict.problems.size(), 1u) << c.what;
      EXPECT_NE(verdict.problems[0].find(c.problem), std::string::npos) << c.what << ": " << verdict.problems[0];
    }
  }
}

// The end-to-end tests see the identity reply whole, but no line too long for a frame and no
// malformed identifier.
TEST(VirtualDeviceProtocolTest, CutsLongLinesAndRefusesBadIdentifiers) {
  EXPECT_EQ(FormatHex(*ParseIdentifier("000102030405060708090a0B")), "000102030405060708090A0B");
  const std::vector<std::uint8_t> long_text(70, 'x');
  const auto line = LogTextFrame(long_text);
  EXPECT_TRUE(devlink::IsValidFrame(line));
  EXPECT_EQ(devlink::FrameHeader(line), devlink::kLogTextHeader);
  EXPECT_EQ(line[devlink::kPayloadOffset + 54], 'x');

  EXPECT_FALSE(ParseIdentifier("00010203040506070809 0A0B").has_value());
  EXPECT_FALSE(ParseIdentifier("000102030405060708090A0").has_value());
  EXPECT_FALSE(ParseIdentifier("000102030405060708090A0G").has_value());
}

TEST(VirtualDeviceProtocolTest, EncodesInputLinesInCodePage1251) {
  Cp1251Encoder encoder;
  using Bytes = std::vector<std::uint8_t>;
  EXPECT_EQ(encoder.Encode("OK"), (Bytes{'O', 'K'}));
  EXPECT_EQ(encoder.Encode("Привет €"), (Bytes{0xCF, 0xF0, 0xE8, 0xE2, 0xE5, 0xF2, ' ', 0x88}));
  // Not valid UTF-8, cut off in the middle of a character, and a character the code page lacks.
  EXPECT_EQ(encoder.Encode("a\xFF" "b"), (Bytes{'a', '?', 'b'}));
  EXPECT_EQ(encoder.Encode("a\xD0"), (Bytes{'a', '?'}));
  EXPECT_EQ(encoder.Encode("\xE4\xB8\xAD"), (Bytes{'?'}));
  EXPECT_EQ(encoder.Encode(std::string(100, 'y')).size(), 100u);
}

}  // namespace
}  // namespace vdev
