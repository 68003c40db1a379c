// Connects to the device, waits for its identity reply, says "ready" and returns from main when
// its input ends, while its reader sits in a read that never returns. As in the tool, neither the
// reader nor the link is ever destroyed.
#include <cstdio>
#include <thread>

#include "Connection.h"
#include "HidPort.h"
#include "Read_tr.h"

int main() {
  auto* link = new devlink::DeviceLink(devlink::SystemHidPort());
  new devlink::ReadThread(*link, nullptr);
  if (!link->Connect()) {
    return 2;
  }
  std::vector<devlink::ReportFrame> frames;
  for (int wait = 0; wait < 10000; ++wait) {
    link->Mailbox().TakeAll(frames);
    if (!frames.empty()) {
      std::puts("ready");
      std::fflush(stdout);
      while (std::getchar() != EOF) {
      }
      return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return 3;
}
