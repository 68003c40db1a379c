// The window's costs, offscreen with the scripted device open: the tick with 0, 1 and 100
// pending frames, appending to a log view that already holds 100,000 or 1,000,000 lines, and
// the resident memory that 100,000 lines take (measured first, before the other runs have
// grown the heap).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <malloc.h>
#include <memory>
#include <string>

#include "Application.h"
#include "Connection.h"
#include "FakeHidPort.h"
#include "Main_file.h"
#include "ResidentMemory.h"

namespace {

devlink::ReportFrame LogFrame(const std::string& text) {
  return devlink::BuildIncomingFrame(
      devlink::kLogText, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

// A typical device line and the longest one a frame can carry.
const devlink::ReportFrame kShortLine = LogFrame("ADC ch3 = 1234 mV");
const devlink::ReportFrame kLongLine = LogFrame(std::string(55, 'w'));

// The window shown on a link with the device open, so that lines stay in the log view.
struct Window {
  Window(bool open = true) {
    form = std::make_unique<TForm1>(link);
    form->show();
    QApplication::processEvents();
    if (open) {
      port.Plug();
      form->Button1Click();
      devlink::testing::FakeHidPort::WaitFor([&] { return port.WaitingReads() == 1; });
      form->Timer1Timer();
    }
  }
  ~Window() {
    port.Unplug();
    form.reset();
  }
  void Post(const devlink::ReportFrame& frame, int count) {
    for (int i = 0; i < count; ++i) link.Mailbox().PostReport({frame, {}});
  }
  // The tick and the repaint of the log view that follows it in the event loop.
  void TickAndPaint() {
    form->Timer1Timer();
    form->Memo1->viewport()->repaint();
  }

  devlink::testing::FakeHidPort port;
  devlink::DeviceLink link{port};
  std::unique_ptr<TForm1> form;
};

// Resident memory for 100,000 lines appended through the tick, 100 per tick, each tick painted.
void BM_ResidentPer100kLines(benchmark::State& state) {
  const devlink::ReportFrame& line = state.range(0) == 0 ? kShortLine : kLongLine;
  for (auto _ : state) {
    Window window;
    malloc_trim(0);  // so that memory freed earlier is not simply reused
    const double before = ResidentMiB();
    for (int tick = 0; tick < 1000; ++tick) {
      window.Post(line, 100);
      window.TickAndPaint();
    }
    state.counters["MiB_per_100k_lines"] = ResidentMiB() - before;
    state.counters["chars_per_line"] = window.form->Memo1->document()->firstBlock().length() - 1;
  }
}
BENCHMARK(BM_ResidentPer100kLines)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_Tick(benchmark::State& state) {
  Window window;
  const int pending = static_cast<int>(state.range(0));
  for (auto _ : state) {
    if (pending > 0) {
      state.PauseTiming();
      window.Post(kShortLine, pending);
      if (window.form->Memo1->document()->blockCount() > 100'000) window.form->Memo1->clear();
      state.ResumeTiming();
    }
    window.form->Timer1Timer();
  }
  state.SetItemsProcessed(state.iterations() * pending);
}
BENCHMARK(BM_Tick)->Arg(0)->Arg(1)->Arg(100);

void BM_TickAndPaint(benchmark::State& state) {
  Window window;
  const int pending = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    window.Post(kShortLine, pending);
    if (window.form->Memo1->document()->blockCount() > 100'000) window.form->Memo1->clear();
    state.ResumeTiming();
    window.TickAndPaint();
  }
}
BENCHMARK(BM_TickAndPaint)->Arg(0)->Arg(1)->Arg(100);

// No device: every tick keeps the already blank fields blank.
void BM_TickWithoutDevice(benchmark::State& state) {
  Window window(false);
  for (auto _ : state) window.form->Timer1Timer();
}
BENCHMARK(BM_TickWithoutDevice);

void BM_AppendToFullLog(benchmark::State& state) {
  Window window;
  const int lines = static_cast<int>(state.range(0));
  QStringList text;
  for (int i = 0; i < lines; ++i) text.append(QStringLiteral("ADC ch3 = %1 mV").arg(i));
  window.form->Memo1->setPlainText(text.join(QLatin1Char('\n')));
  window.TickAndPaint();
  for (auto _ : state) {
    state.PauseTiming();
    window.Post(kShortLine, 1);
    state.ResumeTiming();
    window.TickAndPaint();
  }
  state.counters["lines"] = window.form->Memo1->document()->blockCount();
}
BENCHMARK(BM_AppendToFullLog)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMicrosecond);


}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  auto* app = new zodivo::Application(argc, argv);
  zodivo::ConfigureApplication();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  delete app;
  return 0;
}
