#include "Read_tr.h"

#include "ReportFrame.h"

namespace devlink {

ReadThread::ReadThread(DeviceLink& link, LossNotification on_loss)
    : link_(link), on_loss_(std::move(on_loss)), thread_([this](std::stop_token stop) { Run(stop); }) {}

void ReadThread::Run(std::stop_token stop) {
  while (!stop.stop_requested()) {
    DeviceRef device = link_.CurrentDevice();
    if (!device) {
      std::this_thread::sleep_for(kIdleSleep);
      device = link_.CurrentDevice();
      if (!device) {
        continue;
      }
    }
    // The pass keeps reading this handle even if a connect replaces it meanwhile; holding it
    // keeps it open until the read returns.
    ReportFrame buffer{};
    const int received = device->Read(buffer.data(), buffer.size());
    if (received < 0) {
      if (link_.ForgetDevice(device) && on_loss_) {
        on_loss_();
      }
      continue;
    }
    if (received == 0 || !IsValidFrame(buffer)) {
      continue;
    }
    link_.Mailbox().Post(buffer);
  }
}

}  // namespace devlink
