// tavrix-zodivo-cli's commands on scripted units: what each prints, and when and how it ends.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <functional>
#include <future>
#include <sstream>

#include <nlohmann/json.hpp>

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

  // Runs a command line in the background on the scripted units, its output into a pipe, whose
  // buffer in the program keeps `output_bound` bytes at most.
  void Start(std::vector<std::string> words, std::size_t output_bound = 64 << 10) {
    words.insert(words.begin(), "tavrix-zodivo-cli");
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    optind = 0;
    options_ = *ParseCliOptions(static_cast<int>(argv.size()), argv.data());
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    from_ = ends[0];
    out_ = ends[1];
    output_.clear();
    print_.emplace(out_, err_, options_.json ? Output::kJson : Output::kText, options_.timestamps, options_.all,
                   output_bound);
    fleet_.emplace(port_, port_, FleetFor(options_));
    const auto command = options_.command == CliOptions::Command::kList ? RunList : RunMonitor;
    stop_ = {};
    running_ = std::async(std::launch::async, [this, command] { return command(*fleet_, options_, *print_, stop_.get_token()); });
  }
  // Waits for the command to end by itself: its status, -1 if it did not within 10 s.
  int Status() {
    if (running_.wait_for(10s) != std::future_status::ready) return -1;
    int status = running_.get();
    if (!print_->Drain()) status = print_->OutputFailure();
    print_.reset();
    close(out_);
    LinesOut(-1);
    close(from_);
    return status;
  }
  int Stop() { return stop_.request_stop(), Status(); }
  // Reads the output until it holds this many lines, or to its end.
  bool LinesOut(long lines) {
    char bytes[4096];
    pollfd readable{from_, POLLIN, 0};
    while (lines < 0 || std::ranges::count(output_, '\n') < lines) {
      const ssize_t got = poll(&readable, 1, 5000) == 1 ? read(from_, bytes, sizeof bytes) : 0;
      if (got <= 0) return lines < 0;
      output_.append(bytes, static_cast<std::size_t>(got));
    }
    return true;
  }
  // Sends a report and waits until the unit's readers have taken it.
  void Send(const devlink::ReportFrame& frame, const char* unit = kA) {
    port_.Send(frame, unit);
    EXPECT_TRUE(Taken());
  }
  // Waits until the units' readers have taken every report sent.
  bool Taken() { return port_.WaitFor([&] { return port_.WaitingReads() == port_.LiveHandles(); }); }
  bool AskedTimes(std::size_t times) { return port_.WaitFor([&] { return port_.Asked().size() == times; }); }
  // Reads JSON events until `done(events)` holds for all read so far; false if the output ran dry.
  bool EventsUntil(const std::function<bool(const std::vector<nlohmann::json>&)>& done) {
    events_.clear();
    for (std::size_t parsed = 0; !done(events_);) {
      if (!LinesOut(static_cast<long>(events_.size()) + 1)) return false;
      for (std::size_t end; (end = output_.find('\n', parsed)) != std::string::npos; parsed = end + 1) {
        events_.push_back(nlohmann::json::parse(output_.substr(parsed, end - parsed)));
      }
    }
    return true;
  }
  FakeHidPort port_;
  std::optional<devlink::UnitFleet> fleet_;
  CliOptions options_;
  int from_ = -1;
  int out_ = -1;
  std::FILE* const err_ = std::fopen("/dev/null", "w");
  std::optional<EventPrinter> print_;
  std::stop_source stop_;
  std::future<int> running_;
  std::string output_;
  std::vector<nlohmann::json> events_;
};

// Linux holds every open while a write to any hidraw node is under way, as the scripted port does;
// each unit's second still starts only once its own request has gone out. After news of units was
// lost, they are listed again, so that none that came is missed.
TEST_F(CliTest, ListShowsEveryAnswerBesideAUnitThatHoldsItsRequestUpAndListsAgainAfterLostNews) {
  for (const char* unit : {kA, kB}) port_.Plug(unit);
  port_.SetIdentity(kB, kIdB);
  port_.SetIdentity(kC, kIdC);
  port_.SetWriteTime(1500ms, kA);
  Start({"list", "--watch"});
  ASSERT_TRUE(LinesOut(2));
  port_.LoseNews();
  port_.Plug(kC);
  ASSERT_TRUE(LinesOut(3));
  EXPECT_EQ(Stop(), 0);
  EXPECT_EQ(output_, std::string(kA) + "\tSN" + kA + "\tusb\t?\n" + kB + "\tSN" + kB + "\tusb\t" + devlink::FormatHex(kIdB) + "\n" +
                             kC + "\tSN" + kC + "\tusb\t" + devlink::FormatHex(kIdC) + "\n");
}

// After a loss, another unit present is not taken for the unit lost: where the units have no serial
// number, by the identifier it answers with, before any of its lines is shown. (By serial number:
// in the test guest.)
TEST_F(CliTest, ReconnectTakesOnlyTheUnitThatAnswersWithTheSameIdentifier) {
  for (const char* unit : {kA, kB}) port_.SetSerial(unit, "");
  for (const char* unit : {kA, kB}) port_.Plug(unit);
  port_.SetIdentity(kA, kIdA);
  Start({"monitor", "--reconnect"});
  ASSERT_TRUE(AskedTimes(1));
  Send(Line("a1"));
  port_.Unplug(kA);
  ASSERT_TRUE(AskedTimes(2));
  Send(Line("b1"), kB);
  port_.Send(FakeHidPort::IdentityReply(kIdB), kB);
  port_.Plug(kA);
  ASSERT_TRUE(AskedTimes(3));
  Send(Line("a2"));
  ASSERT_TRUE(LinesOut(2));
  EXPECT_EQ(Stop(), 0);
  EXPECT_EQ(output_, "a1\na2\n");
  EXPECT_EQ(port_.Asked(), std::vector<std::string>({kA, kB, kA}));
}

// A unit that floods the held-up output fills only its own queue: a slow unit beside it loses
// nothing, and the drops are told for the flooding unit alone. Meanwhile a unit plugged in is
// opened and asked at once, and one that takes its node after it is never credited with its
// identifier. An identity reply that did not come is asked for again.
TEST_F(CliTest, MonitorAllKeepsEveryUnitApartWhileOneFloodsTheHeldUpOutput) {
  port_.Plug(kA);
  port_.Plug(kC);
  Start({"monitor", "--all", "--json"});
  ASSERT_TRUE(AskedTimes(2));
  port_.SetIdentity(kA, kIdA);
  constexpr int kFlood = 2000;
  for (int i = 0; i < kFlood; ++i) {
    port_.Send(Line("c"), kC);
    // Never faster than the fleet reads: what the kernel would drop is not the program's.
    if (i % 100 == 99) {
      ASSERT_TRUE(Taken());
    }
  }
  const auto asked = [&](const char* unit, long times) {
    return port_.WaitFor([&] { return std::ranges::count(port_.Asked(), std::string(unit)) == times; });
  };
  for (const auto& [identifier, line] : {std::pair{kIdB, "b1"}, std::pair{kIdC, "c1"}}) {
    port_.Unplug(kB);
    port_.SetIdentity(kB, identifier);
    port_.Plug(kB);
    ASSERT_TRUE(asked(kB, line[0] == 'b' ? 1 : 2)) << "a unit plugged in while the output was held up was not asked";
    Send(Line(line), kB);
  }
  ASSERT_TRUE(asked(kA, 2)) << "not asked again";
  for (int i = 0; i < 10; ++i) port_.Send(Line("a" + std::to_string(i)), kA);
  int flooded = 0;
  ASSERT_TRUE(EventsUntil([&](const auto& events) {
    flooded = 0;
    for (const auto& event : events) {
      const bool dropped = event["event"] == "dropped" && event["unit"] == kC;
      flooded += dropped ? event["count"].template get<int>() : event.value("text", "") == "c";
    }
    return flooded == kFlood && std::ranges::any_of(events, [](const auto& event) { return event.value("text", "") == "a9"; });
  })) << flooded << " of the flood told";
  EXPECT_EQ(Stop(), 0);
  std::string slow;
  for (const auto& event : events_) {
    if (event["event"] == "log" && event["text"] != "c") {
      slow += event["text"].get<std::string>() + "=" + (event["identifier"].is_null() ? "?" : event["identifier"].get<std::string>().substr(0, 2)) + " ";
    }
  }
  EXPECT_EQ(slow, "b1=0B c1=0C a0=0A a1=0A a2=0A a3=0A a4=0A a5=0A a6=0A a7=0A a8=0A a9=0A ");
  EXPECT_EQ(port_.Opens(), 4);
}

// While standard output's reader is held up, the units are read on: the lines wait in memory,
// beyond what the pipe holds, and none is lost. The output's own flags, which the shell that
// started the program shares, stay as they were.
TEST_F(CliTest, MonitorAllLosesNoLineWhileTheOutputIsHeldUp) {
  port_.Plug(kA);
  port_.SetIdentity(kA, kIdA);
  Start({"monitor", "--all"}, StandardOutput::kBound);
  ASSERT_TRUE(AskedTimes(1));
  constexpr int kLines = 10000;
  std::string expected;
  for (int i = 0; i < kLines; ++i) {
    port_.Send(Line(std::to_string(i)), kA);
    expected += devlink::FormatHex(kIdA) + ' ' + std::to_string(i) + '\n';
    if (i % 100 == 99) {
      ASSERT_TRUE(Taken());
    }
  }
  EXPECT_EQ(fcntl(out_, F_GETFL) & O_NONBLOCK, 0);
  ASSERT_TRUE(LinesOut(kLines));
  EXPECT_EQ(Stop(), 0);
  EXPECT_EQ(output_, expected);
}

// The line that ends the monitor is the last one shown; a timeout ends it as timeout(1) does.
TEST_F(CliTest, MonitorEndsAtAMatchingLineOrAtItsTimeout) {
  struct Case {
    std::vector<std::string> options;
    int status;
    std::string shown;
  };
  for (const Case& expected : {Case{{"monitor", "--until", "ПРО.ДЕН"}, 0, "boot\nтест ПРОЙДЕН\n"},
                               Case{{"monitor", "--fail-on", "FAIL|ERROR", "--until", "ПРОЙДЕН"}, 3, "boot\nERROR 5\n"},
                               Case{{"monitor", "--timeout", "0.3"}, 124, "boot\n"}}) {
    port_.Plug(kA);
    const auto started = std::chrono::steady_clock::now();
    Start(expected.options);
    ASSERT_TRUE(port_.WaitFor([&] { return port_.WaitingReads() == 1; }));
    for (const char* text : {"boot", expected.status == 3 ? "ERROR 5" : "тест ПРОЙДЕН", "after"}) {
      if (expected.status != 124 || std::string(text) == "boot") port_.Send(Line(text));
    }
    EXPECT_EQ(Status(), expected.status) << expected.options[1];
    EXPECT_EQ(output_, expected.shown);
    EXPECT_TRUE(expected.status != 124 || std::chrono::steady_clock::now() - started < 500ms) << "not ended in time";
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
  const auto sealed = [](devlink::ReportFrame frame, std::size_t at, std::uint8_t value) {
    frame[at] = value;
    devlink::SealFrame(frame);
    return frame;
  };
  for (const auto& frame : {Line("x"), FakeHidPort::IdentityReply(kIdA), corrupt,
                            sealed(Line("x"), devlink::kSignatureOffset, 0),
                            sealed(Line("x"), devlink::kSignatureOffset + 2, devlink::kToDevice),
                            sealed(Line("x"), devlink::kCodeOffset, 0x7E)}) {
    Send(frame);
  }
  port_.Send(Line("x"), kA, 10);
  ASSERT_TRUE(LinesOut(7));
  EXPECT_EQ(Stop(), 0);
  std::vector<std::string> verdicts;
  std::istringstream lines(output_);
  for (std::string line; std::getline(lines, line);) verdicts.push_back(line.substr(line.find(' ') + 1));
  const std::uint32_t want = devlink::CheckFrame(corrupt).computed_checksum;
  char checksums[64];
  std::snprintf(checksums, sizeof checksums, "bad checksum (got %08X, want %08X)", want ^ 1, want);
  EXPECT_EQ(verdicts, (std::vector<std::string>{"log", "identity", checksums, "wrong signature", "wrong direction",
                                                "unknown code 0x7E", "short report (10 bytes)"}));
  EXPECT_EQ(output_.substr(0, 2 * devlink::kFrameSize), devlink::FormatHex(Line("x")));
}

// What a printer with --timestamps writes to `stream` (0: standard output, 1: standard error).
std::string Printed(int stream, const std::function<void(EventPrinter&)>& print, Output output = Output::kText) {
  const int out = memfd_create("printed", MFD_CLOEXEC);
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* err = open_memstream(&text, &size);
  {
    EventPrinter printer(out, err, output, true);
    print(printer);
    printer.Drain();
  }
  std::fclose(err);
  std::string printed(text, size);
  std::free(text);
  if (stream == 0) {
    printed.assign(static_cast<std::size_t>(lseek(out, 0, SEEK_END)), '\0');
    (void)!pread(out, printed.data(), printed.size(), 0);
  }
  close(out);
  return printed;
}

// A unit lost before it answered is told with the times the connect and the loss happened.
TEST(EventPrinter, TellsAnUnansweredConnectWithTheTimeOfTheConnect) {
  const FollowedUnit unit{{kA, "", true, {}}, ""};
  const Time connected = std::chrono::system_clock::now();
  EXPECT_EQ(Printed(1, [&](EventPrinter& print) {
              print.Connected(1, unit, connected);
              print.Lost(1, unit, connected + 300ms);
            }),
            LocalTime(connected) + " connected /dev/hidraw-a, no answer to the identity request\n" +
                LocalTime(connected + 300ms) + " lost /dev/hidraw-a\n");
}

// A serial number comes from the unit: it must neither move the terminal's cursor nor add a column.
TEST(EventPrinter, EscapesControlCharactersOfASerialNumber) {
  EXPECT_EQ(Printed(0, [](EventPrinter& print) { print.Unit({kA, "S\x1B[2J\tN", true, {}}, {}, ""); }),
            std::string(kA) + "\tS\\x1B[2J\\x09N\tusb\t?\n");
}

// Whatever a line holds, its JSON event reads back as the very text.
TEST(EventPrinter, WritesAJsonEventThatReadsBackAsTheLinesText) {
  const FollowedUnit unit{{kA, "", true, {}}, ""};
  for (const std::string text : {"plain 42", "a \"quoted\" word", "C:\\path", "тест\x7F", "bad \xFF byte"}) {
    const std::string printed = Printed(0, [&](EventPrinter& print) { print.LogLine(unit, {}, text); }, Output::kJson);
    const auto event = nlohmann::json::parse(printed);
    EXPECT_EQ(event["text"], text == "bad \xFF byte" ? "bad \uFFFD byte" : text) << printed;
  }
}

}  // namespace
}  // namespace zodivo_cli
