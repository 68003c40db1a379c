// tavrix-zodivo-cli's commands on scripted units: what each prints, and when and how it ends.
#include <gtest/gtest.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <future>
#include <nlohmann/json.hpp>
#include <mutex>
#include <sstream>
#include <thread>

#include "CliOptions.h"
#include "Commands.h"
#include "FakeHidPort.h"
#include "TextConverter.h"

namespace zodivo_cli {
namespace {

using namespace std::chrono_literals;
using devlink::testing::FakeHidPort;
using Identifier = std::array<std::uint8_t, devlink::kIdentitySize>;

constexpr char kA[] = "/dev/hidraw-a";
constexpr char kB[] = "/dev/hidraw-b";
constexpr char kC[] = "/dev/hidraw-c";
constexpr Identifier kIdA{0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
constexpr Identifier kIdB{0x0B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
constexpr Identifier kIdC{0x0C, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3};
const std::string kTextA = "0A0000000000000000000001";
const std::string kTextB = "0B0000000000000000000002";
const std::string kTextC = "0C0000000000000000000003";

// A log line as the unit sends it, in its code page.
devlink::ReportFrame Line(const std::string& text) {
  const std::string encoded = devlink::Cp1251Encoder().Convert(text);
  return devlink::BuildIncomingFrame(devlink::kLogText, std::span(reinterpret_cast<const std::uint8_t*>(encoded.data()), encoded.size()));
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override { std::setlocale(LC_ALL, "C.UTF-8"); }
  void TearDown() override {
    if (running_.valid()) Stop();
    for (const char* unit : {kA, kB, kC}) port_.Unplug(unit);
    fleet_.reset();
    EXPECT_EQ(port_.Misuses(), 0);
  }

  // Runs a command line in the background on the scripted units, its output into a pipe.
  void Start(std::vector<std::string> words) {
    words.insert(words.begin(), "tavrix-zodivo-cli");
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    optind = 0;
    options_ = *ParseCliOptions(static_cast<int>(argv.size()), argv.data());
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    out_ = fdopen(ends[1], "w");
    err_ = std::fopen("/dev/null", "w");
    collected_.clear();
    collector_ = std::jthread([this, from = ends[0]] {
      char bytes[4096];
      for (ssize_t got; (got = read(from, bytes, sizeof bytes)) > 0;) {
        std::lock_guard guard(collected_mutex_);
        collected_.append(bytes, static_cast<std::size_t>(got));
      }
      close(from);
    });
    print_.emplace(out_, err_, options_.json ? Output::kJson : Output::kText, options_.timestamps, options_.all);
    fleet_.emplace(port_, WatchesHotplug(options_) ? &port_ : nullptr);
    const auto command = options_.command == CliOptions::Command::kList ? RunList
                         : options_.command == CliOptions::Command::kId ? RunId
                                                                        : RunMonitor;
    stop_ = {};
    running_ = std::async(std::launch::async, [this, command] { return command(*fleet_, options_, *print_, stop_.get_token()); });
  }
  // Waits for the command to end by itself: its status, -1 if it did not within 10 s.
  int Status() {
    if (running_.wait_for(10s) != std::future_status::ready) return -1;
    const int status = running_.get();
    std::fclose(out_);
    collector_.join();
    std::fclose(err_);
    out_string_ = collected_;
    return status;
  }
  int Stop() {
    stop_.request_stop();
    return Status();
  }
  // Waits until the command has written this many lines.
  bool LinesOut(long lines) {
    return port_.WaitFor([&] {
      std::lock_guard guard(collected_mutex_);
      return std::ranges::count(collected_, '\n') >= lines;
    });
  }
  // Sends a report and waits until the unit's readers have taken it.
  void Send(const devlink::ReportFrame& frame, const char* unit = kA) {
    port_.Send(frame, unit);
    EXPECT_TRUE(port_.WaitFor([&] { return port_.WaitingReads() == port_.LiveHandles(); }));
  }
  bool AskedTimes(std::size_t times) { return port_.WaitFor([&] { return port_.Asked().size() == times; }); }
  std::vector<nlohmann::json> Events() const {
    std::vector<nlohmann::json> events;
    std::istringstream lines(out_string_);
    for (std::string line; std::getline(lines, line);) events.push_back(nlohmann::json::parse(line));
    return events;
  }

  FakeHidPort port_;
  std::optional<devlink::UnitFleet> fleet_;
  CliOptions options_;
  std::FILE* out_ = nullptr;
  std::FILE* err_ = nullptr;
  std::mutex collected_mutex_;
  std::string collected_;  // guarded by collected_mutex_
  std::jthread collector_;
  std::optional<EventPrinter> print_;
  std::stop_source stop_;
  std::future<int> running_;
  std::string out_string_;
};

// Linux holds every open while a write to any hidraw node is under way, as the scripted port does;
// each unit's second still starts only once its own request has gone out.
TEST_F(CliTest, ListShowsEveryAnswerBesideAUnitThatHoldsItsRequestUp) {
  for (const char* unit : {kA, kB, kC}) port_.Plug(unit);
  port_.SetIdentity(kB, kIdB);
  port_.SetIdentity(kC, kIdC);
  port_.SetWriteTime(1500ms, kA);
  Start({"list"});
  EXPECT_EQ(Status(), 0);
  EXPECT_EQ(out_string_, std::string(kA) + "\tSN" + kA + "\tusb\t?\n" + kB + "\tSN" + kB + "\tusb\t" + kTextB + "\n" +
                             kC + "\tSN" + kC + "\tusb\t" + kTextC + "\n");
}

// After a loss, another unit present is not taken for the unit lost: by its serial number, or, where
// the units have none, by the identifier it answers with, before any of its lines is shown.
class ReconnectTest : public CliTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ReconnectTest, FollowsOnlyTheSameUnit) {
  const bool serials = GetParam();
  for (const char* unit : {kA, kB}) {
    port_.Plug(unit);
    if (!serials) port_.SetSerial(unit, "");
  }
  port_.SetIdentity(kA, kIdA);
  Start({"monitor", "--reconnect"});
  ASSERT_TRUE(AskedTimes(1));
  Send(Line("a1"));
  port_.Unplug(kA);
  if (!serials) {
    ASSERT_TRUE(AskedTimes(2));
    Send(Line("b1"), kB);
    port_.Send(FakeHidPort::IdentityReply(kIdB), kB);
  }
  port_.Plug(kA);
  ASSERT_TRUE(port_.WaitFor([&] { return port_.Asked().back() == kA && port_.Asked().size() > 1; }));
  Send(Line("a2"));
  ASSERT_TRUE(LinesOut(2));
  EXPECT_EQ(Stop(), 0);
  EXPECT_EQ(out_string_, "a1\na2\n");
  const std::vector<std::string> asked = serials ? std::vector<std::string>{kA, kA} : std::vector<std::string>{kA, kB, kA};
  EXPECT_EQ(port_.Asked(), asked);
}

INSTANTIATE_TEST_SUITE_P(SerialOrIdentifier, ReconnectTest, ::testing::Bool());

// Unit A on a node is unplugged and unit B takes the node: none of B's lines carries A's identifier.
TEST_F(CliTest, MonitorAllNamesEachLineByItsOwnUnit) {
  port_.Plug(kA);
  port_.SetIdentity(kA, kIdA);
  Start({"monitor", "--all", "--json"});
  ASSERT_TRUE(AskedTimes(1));
  Send(Line("from A"));
  port_.Unplug(kA);
  port_.SetIdentity(kA, std::nullopt);
  port_.Plug(kA);
  ASSERT_TRUE(AskedTimes(2));
  Send(Line("from B"));
  Send(FakeHidPort::IdentityReply(kIdB));
  Send(Line("B again"));
  ASSERT_TRUE(LinesOut(8));
  EXPECT_EQ(Stop(), 0);
  std::vector<std::pair<std::string, nlohmann::json>> logs;
  for (const auto& event : Events()) {
    if (event["event"] == "log") logs.emplace_back(event["text"], event["identifier"]);
  }
  EXPECT_EQ(logs, (std::vector<std::pair<std::string, nlohmann::json>>{
                      {"from A", kTextA}, {"from B", nullptr}, {"B again", kTextB}}));
}

TEST_F(CliTest, ListWatchTellsEachArrivalWithItsIdentifierAndEachDeparture) {
  port_.Plug(kA);
  port_.SetIdentity(kB, kIdB);
  Start({"list", "--watch", "--json"});
  ASSERT_TRUE(AskedTimes(1));
  port_.Plug(kB);
  ASSERT_TRUE(AskedTimes(2));
  port_.Unplug(kA);
  ASSERT_TRUE(LinesOut(3));
  EXPECT_EQ(Stop(), 0);
  const auto events = Events();
  ASSERT_EQ(events.size(), 3u) << out_string_;
  EXPECT_EQ(events[0]["identifier"], nullptr);
  EXPECT_EQ(events[1]["event"], "unit");
  EXPECT_EQ(events[1]["identifier"], kTextB);
  EXPECT_EQ(events[2]["event"], "gone");
  EXPECT_EQ(events[2]["unit"], kA);
}

TEST_F(CliTest, IdNewTakesOnlyAUnitPluggedInAfterItStarted) {
  port_.Plug(kA);
  port_.SetIdentity(kA, kIdA);
  port_.SetIdentity(kB, kIdB);
  Start({"id", "--new"});
  ASSERT_TRUE(port_.WaitFor([&] { return port_.Listings() >= 1; }));
  port_.Plug(kB);
  EXPECT_EQ(Status(), 0);
  EXPECT_EQ(out_string_, kTextB + "\n");
}

// The line that ends the monitor is the last one shown; a timeout ends it as timeout(1) does.
TEST_F(CliTest, MonitorEndsAtAMatchingLineOrAtItsTimeout) {
  struct Case {
    std::vector<std::string> options;
    int status;
    std::string shown;
  };
  for (const Case& expected : {Case{{"--until", "ПРО.ДЕН"}, 0, "boot\nтест ПРОЙДЕН\n"},
                               Case{{"--fail-on", "FAIL|ERROR", "--until", "ПРОЙДЕН"}, 3, "boot\nERROR 5\n"},
                               Case{{"--timeout", "0.3"}, 124, "boot\n"}}) {
    port_.Plug(kA);
    std::vector<std::string> words{"monitor"};
    words.insert(words.end(), expected.options.begin(), expected.options.end());
    const auto started = std::chrono::steady_clock::now();
    Start(words);
    ASSERT_TRUE(port_.WaitFor([&] { return port_.WaitingReads() == 1; }));
    for (const char* text : {"boot", expected.status == 3 ? "ERROR 5" : "тест ПРОЙДЕН", "after"}) {
      if (expected.status != 124 || std::string(text) == "boot") port_.Send(Line(text));
    }
    EXPECT_EQ(Status(), expected.status) << expected.options[0];
    EXPECT_EQ(out_string_, expected.shown);
    if (expected.status == 124) {
      EXPECT_LT(std::chrono::steady_clock::now() - started, 500ms);
    }
    port_.Unplug(kA);
    ASSERT_TRUE(port_.WaitFor([&] { return port_.LiveHandles() == 0; }));
    fleet_.reset();
  }
}

TEST_F(CliTest, MonitorRawTellsWhatBecameOfEveryReport) {
  port_.Plug(kA);
  Start({"monitor", "--raw"});
  ASSERT_TRUE(port_.WaitFor([&] { return port_.WaitingReads() == 1; }));
  devlink::ReportFrame corrupt = Line("x");
  corrupt[devlink::kChecksumOffset + 3] ^= 1;
  devlink::ReportFrame foreign = Line("x");
  foreign[devlink::kSignatureOffset] = 0;
  devlink::SealFrame(foreign);
  const auto sealed = [](devlink::ReportFrame frame, std::size_t at, std::uint8_t value) {
    frame[at] = value;
    devlink::SealFrame(frame);
    return frame;
  };
  for (const auto& frame : {Line("x"), FakeHidPort::IdentityReply(kIdA), corrupt, foreign,
                            sealed(Line("x"), devlink::kSignatureOffset + 2, devlink::kToDevice),
                            sealed(Line("x"), devlink::kCodeOffset, 0x7E)}) {
    Send(frame);
  }
  port_.Send(Line("x"), kA, 10);
  ASSERT_TRUE(LinesOut(7));
  EXPECT_EQ(Stop(), 0);
  std::vector<std::string> verdicts;
  std::istringstream lines(out_string_);
  for (std::string line; std::getline(lines, line);) verdicts.push_back(line.substr(line.find(' ') + 1));
  const std::uint32_t want = devlink::CheckFrame(corrupt).computed_checksum;
  char checksums[64];
  std::snprintf(checksums, sizeof checksums, "bad checksum (got %08X, want %08X)", want ^ 1, want);
  EXPECT_EQ(verdicts, (std::vector<std::string>{"log", "identity", checksums, "wrong signature", "wrong direction",
                                                "unknown code 0x7E", "short report (10 bytes)"}));
  EXPECT_EQ(out_string_.substr(0, 2 * devlink::kFrameSize), devlink::FormatHex(Line("x")));
}

// A unit lost before it answered is told with the times the connect and the loss happened.
TEST(EventPrinter, TellsAnUnansweredConnectWithTheTimeOfTheConnect) {
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* err = open_memstream(&text, &size);
  EventPrinter print(stdout, err, Output::kText, true);
  const FollowedUnit unit{{kA, "", true}, ""};
  const Time connected = std::chrono::system_clock::now();
  print.Connected(1, unit, connected);
  print.Lost(1, unit, connected + 300ms);
  std::fclose(err);
  EXPECT_EQ(std::string(text, size), LocalTime(connected) + " connected /dev/hidraw-a, no answer to the identity request\n" +
                                         LocalTime(connected + 300ms) + " lost /dev/hidraw-a\n");
  std::free(text);
}

// A serial number comes from the unit: it must neither move the terminal's cursor nor add a column.
TEST(EventPrinter, EscapesControlCharactersOfASerialNumber) {
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  EventPrinter(out, stderr, Output::kText, false).Unit({kA, "S\x1B[2J\tN", true}, {}, "");
  std::fclose(out);
  EXPECT_EQ(std::string(text, size), std::string(kA) + "\tS\\x1B[2J\\x09N\tusb\t?\n");
  std::free(text);
}

TEST(UnitChoice, NamesANodeByAnyPathToIt) {
  const std::string link = ::testing::TempDir() + "zodivo-null";
  std::remove(link.c_str());
  ASSERT_EQ(symlink("/dev/null", link.c_str()), 0);
  EXPECT_TRUE(devlink::UnitChoice::Named(link).Accepts({"/dev/null", "", true}));
  EXPECT_FALSE(devlink::UnitChoice::Named(link).Accepts({"/dev/zero", "", true}));
  std::remove(link.c_str());
}

}  // namespace
}  // namespace zodivo_cli
