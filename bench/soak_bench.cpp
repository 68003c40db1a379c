// Soak run: the link and the window's tick against a scripted device sending 1000 log lines a
// second, for 10 minutes unless a number of seconds is given. Prints frames sent and shown, drops,
// lines out of order, resident memory at start and end, and the tick's time percentiles.
#include <QApplication>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "Application.h"
#include "FakeHidPort.h"
#include "Main_file.h"
#include "ResidentMemory.h"

namespace {

using Clock = std::chrono::steady_clock;

// Times every timer event delivered to one object: for the window's timer, that is the whole tick.
class TimingApplication : public QApplication {
 public:
  using QApplication::QApplication;
  QObject* timed = nullptr;
  std::vector<double> tick_microseconds;

  bool notify(QObject* receiver, QEvent* event) override {
    if (receiver != timed || event->type() != QEvent::Timer) {
      return QApplication::notify(receiver, event);
    }
    const auto start = Clock::now();
    const bool handled = QApplication::notify(receiver, event);
    tick_microseconds.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    return handled;
  }
};

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index), values.end());
  return values[index];
}

}  // namespace

int main(int argc, char* argv[]) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 600;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  TimingApplication app(argc, argv);
  zodivo::ConfigureApplication();

  devlink::testing::FakeHidPort port;
  devlink::DeviceLink link(port);
  auto form = std::make_unique<TForm1>(link);
  app.timed = form->Timer1;
  form->show();
  port.Plug();
  form->Button1Click();
  devlink::testing::FakeHidPort::WaitFor([&] { return port.WaitingReads() == 1; });
  const double rss_start = ResidentMiB();

  std::atomic<bool> stop{false};
  std::atomic<long> sent{0};
  std::thread device([&] {
    const auto start = Clock::now();
    for (long i = 0; !stop; ++i) {
      std::this_thread::sleep_until(start + std::chrono::milliseconds(i));
      const std::string text = std::to_string(i);
      port.Send(devlink::BuildIncomingFrame(
          devlink::kLogText, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())));
      sent = i + 1;
    }
  });
  QTimer::singleShot(std::chrono::seconds(seconds), &app, [&] {
    stop = true;
    device.join();
    // Let the last frames through the reader and one more tick.
    QTimer::singleShot(std::chrono::milliseconds(200), &app, &QApplication::quit);
  });
  app.exec();

  long shown = 0, out_of_order = 0;
  for (QTextBlock block = form->Memo1->document()->begin(); block.isValid(); block = block.next()) {
    if (block.text().isEmpty()) continue;
    if (block.text().toLong() != shown) ++out_of_order;
    ++shown;
  }
  std::printf("seconds              %d\n", seconds);
  std::printf("frames sent          %ld\n", sent.load());
  std::printf("frames shown         %ld\n", shown);
  std::printf("lines out of order   %ld\n", out_of_order);
  std::printf("dropped by mailbox   %llu\n", static_cast<unsigned long long>(link.Mailbox().DroppedCount()));
  std::printf("resident MiB         %.1f at start, %.1f at end\n", rss_start, ResidentMiB());
  std::printf("ticks                %zu\n", app.tick_microseconds.size());
  std::printf("tick p50 / p99 / max %.0f / %.0f / %.0f us\n", Percentile(app.tick_microseconds, 0.5),
              Percentile(app.tick_microseconds, 0.99), Percentile(app.tick_microseconds, 1.0));
  std::fflush(stdout);
  port.Unplug();
  form.reset();
  return 0;
}
