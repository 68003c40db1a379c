// From one frame to what the window shows, without a window.
#include <gtest/gtest.h>

#include "Frames.h"
#include "IncomingMessages.h"

namespace zodivo {
namespace {

using testing::IdentityFrame;
using testing::LogFrame;

class IncomingMessagesTest : public ::testing::Test {
 protected:
  // The log line the frame becomes, or "<none>" when it changes nothing.
  QString LineOf(const devlink::ReportFrame& frame) {
    const DisplayChange change = messages.Handle(frame, false);
    if (const auto* line = std::get_if<AppendLogLine>(&change)) return line->text;
    return QStringLiteral("<none>");
  }

  IncomingMessages messages;
};

TEST_F(IncomingMessagesTest, LogTextBecomesOneLineUnlessPaused) {
  ASSERT_TRUE(messages.IsValid());
  // The frame exactly as the device sends it.
  devlink::ReportFrame ok{0x01, 0xF0, 0x0F, 0xE0, 0x0A, 0x4F, 0x4B};
  ok[60] = 0xB2, ok[61] = 0xF0, ok[62] = 0x7E, ok[63] = 0x35;
  EXPECT_EQ(LineOf(ok), "OK");
  EXPECT_TRUE(std::holds_alternative<std::monostate>(messages.Handle(ok, true)));

  EXPECT_EQ(LineOf(LogFrame("")), "");
  EXPECT_EQ(LineOf(LogFrame({'a', 'b', 0, 'c'})), "ab");
  // Without a terminating zero all 55 payload bytes are text, and the checksum never is.
  const std::string full(55, 'x');
  EXPECT_EQ(LineOf(LogFrame(full)), QString::fromStdString(full));
}

TEST_F(IncomingMessagesTest, TextIsCodePage1251) {
  EXPECT_EQ(LineOf(LogFrame({0xCF, 0xF0, 0xE8, 0xE2, 0xE5, 0xF2, 0x20, 0xB9, 0x35, 0x20, 0x88})),
            QString::fromUtf8("Привет №5 €"));
  // 0x98 is undefined in the code page.
  EXPECT_EQ(LineOf(LogFrame({'a', 0x98, 'b'})), QString::fromUtf8("a\uFFFDb"));
}

TEST_F(IncomingMessagesTest, ControlCharactersBecomeBlanks) {
  EXPECT_EQ(LineOf(LogFrame({'a', '\r', '\n', 'b', '\t', 'c', 0x01, 0x1F, 0x7F, 'd'})), "a  b c   d");
}

TEST_F(IncomingMessagesTest, IdentityReplyShowsTheIdentifierAlsoWhilePaused) {
  for (const bool paused : {false, true}) {
    const DisplayChange change = messages.Handle(IdentityFrame(0x00), paused);
    const auto* shown = std::get_if<ShowIdentity>(&change);
    ASSERT_NE(shown, nullptr);
    EXPECT_EQ(shown->status, "CONNECTED Tavrix Omrin M3");
    EXPECT_EQ(shown->identity, "Unique ID: 000102030405060708090A0B");
  }
  const DisplayChange high = messages.Handle(IdentityFrame(0xF4), false);
  EXPECT_EQ(std::get<ShowIdentity>(high).identity, "Unique ID: F4F5F6F7F8F9FAFBFCFDFEFF");
}

TEST_F(IncomingMessagesTest, EverythingElseChangesNothing) {
  devlink::ReportFrame bad_checksum = LogFrame("hi");
  bad_checksum[0] ^= 1;  // byte 0 is only covered by the checksum
  EXPECT_EQ(LineOf(bad_checksum), "<none>");

  // The tool's own direction: a valid frame, but no message.
  const auto outgoing = devlink::BuildOutgoingFrame(devlink::kLogText, std::vector<std::uint8_t>{'h', 'i'});
  ASSERT_TRUE(devlink::IsValidFrame(outgoing));
  EXPECT_EQ(LineOf(outgoing), "<none>");

  for (int code = 0; code < 256; ++code) {
    if (code == devlink::kLogText || code == devlink::kIdentityReply) continue;
    const auto frame = devlink::BuildIncomingFrame(static_cast<std::uint8_t>(code), std::vector<std::uint8_t>(13, 1));
    EXPECT_TRUE(std::holds_alternative<std::monostate>(messages.Handle(frame, false))) << "code " << code;
  }
}

}  // namespace
}  // namespace zodivo
