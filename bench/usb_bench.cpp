// Figures for the USB path, run in the test guest as root (`guest/run-in-guest build/test/guest
// build/test/bench/usb_bench`): the virtual device as a USB gadget, the link on the real HID
// library with its reader, and a consumer that drains the mailbox the way the window's tick does.
// Prints the reader's CPU use with no device and with a silent device open; the time from a
// connect to the identity request on the wire, for the first connect and for connects while the
// device is open; and, for lines sent back to back and at fixed rates, how many arrived and the
// time from the write to the gadget's /dev/hidgN to the frame's arrival in the mailbox.
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "Connection.h"
#include "CpuShare.h"
#include "DeviceProtocol.h"
#include "HidPort.h"
#include "Read_tr.h"
#include "Transport.h"

namespace {

using Clock = std::chrono::steady_clock;

devlink::ReportFrame Numbered(unsigned number) {
  const std::string text = std::to_string(number);
  return vdev::LogTextFrame(std::vector<std::uint8_t>(text.begin(), text.end()));
}

// Sends `count` numbered lines, one every `period` (back to back when zero), and prints how many
// the mailbox received and how long each took from the write to the mailbox.
void Run(vdev::Transport& gadget, devlink::DeviceLink& link, unsigned count, std::chrono::microseconds period) {
  std::vector<Clock::time_point> written(count), arrived(count);
  std::atomic<bool> done{false};
  std::thread consumer([&] {
    std::vector<devlink::LinkEvent> events;
    while (!done) {
      link.Mailbox().TakeAll(events);
      const auto now = Clock::now();
      for (const auto& event : events) {
        const auto* report = std::get_if<devlink::ReceivedReport>(&event);
        if (report == nullptr) continue;
        const devlink::ReportFrame& frame = report->frame;
        const auto number = std::stoul(reinterpret_cast<const char*>(&frame[devlink::kPayloadOffset]));
        if (number < count) arrived[number] = now;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  });
  const auto start = Clock::now();
  for (unsigned i = 0; i < count; ++i) {
    std::this_thread::sleep_until(start + i * period);
    const devlink::ReportFrame frame = Numbered(i);
    written[i] = Clock::now();
    while (!gadget.Send(frame)) {
      pollfd writable{gadget.Descriptor(), POLLOUT, 0};
      poll(&writable, 1, 100);
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  done = true;
  consumer.join();

  std::vector<double> latencies;
  for (unsigned i = 0; i < count; ++i) {
    if (arrived[i] != Clock::time_point{}) {
      latencies.push_back(std::chrono::duration<double, std::micro>(arrived[i] - written[i]).count());
    }
  }
  std::sort(latencies.begin(), latencies.end());
  const auto at = [&](double share) {
    const double last = static_cast<double>(latencies.size() - 1);
    return latencies.empty() ? 0.0 : latencies[static_cast<std::size_t>(share * last)];
  };
  std::printf("%-14s %6u sent in %5.2f s (%5.0f lines/s), %6zu arrived; write to mailbox p50 %5.0f us, p99 %6.0f us\n",
              period.count() == 0 ? "back to back" : (std::to_string(1000000 / period.count()) + " lines/s").c_str(),
              count, seconds, count / seconds, latencies.size(), at(0.5), at(0.99));
}

// Milliseconds from the connect to the gadget's receipt of the identity request.
double ConnectToRequest(vdev::Transport& gadget, devlink::DeviceLink& link) {
  const auto start = Clock::now();
  link.Connect();
  for (pollfd readable{gadget.Descriptor(), POLLIN, 0}; poll(&readable, 1, 1000) == 1;) {
    if (gadget.Read().kind == vdev::HostEvent::Kind::kReport) {
      return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    }
  }
  return -1;
}

}  // namespace

int main() {
  auto gadget = vdev::PlugUsbGadget("BENCH0000001");
  devlink::DeviceLink link(devlink::SystemHidPort());
  devlink::ReadThread reader(link);
  std::printf("reader CPU, no device: %.2f %% of a core\n", 100 * CpuShare(std::chrono::seconds(10)));
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  double first = -1;
  while ((first = ConnectToRequest(*gadget, link)) < 0) {
    if (Clock::now() > deadline) {
      std::fputs("usb_bench: the gadget was not listed\n", stderr);
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::vector<double> again;
  for (int i = 0; i < 50; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(37))) {
    again.push_back(ConnectToRequest(*gadget, link));
  }
  std::sort(again.begin(), again.end());
  std::printf("connect to request on the wire: first %.1f ms; device open, p50 %.1f ms, max %.1f ms\n", first,
              again[again.size() / 2], again.back());
  std::printf("reader CPU, device open and silent: %.2f %% of a core\n", 100 * CpuShare(std::chrono::seconds(10)));
  for (const unsigned rate : {250u, 500u, 1000u, 2000u}) {
    Run(*gadget, link, 2 * rate, std::chrono::microseconds(1000000 / rate));
  }
  Run(*gadget, link, 5000, std::chrono::microseconds(0));
  gadget.reset();  // the unplug ends the reader's read, so that it can stop
}
