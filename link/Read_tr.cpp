#include "Read_tr.h"

#include "ReportFrame.h"

namespace devlink {

ReadThread::ReadThread(DeviceLink& link, LossNotification on_loss)
    : link_(link), on_loss_(std::move(on_loss)), thread_([this](std::stop_token stop) { Run(stop); }) {}

void ReadThread::Run(std::stop_token stop) {
  static const ReportFrame request = BuildOutgoingFrame(kIdentityRequest);
  while (!stop.stop_requested()) {
    DeviceLink::Turn turn = link_.NextTurn(stop, kIdleSleep);
    turn.replaced.clear();  // closes the handles that connects replaced, here, before any other call
    if (!turn.device) {
      continue;
    }
    if (turn.request != DeviceLink::Request::kNone && turn.device->Write(request.data(), request.size()) < 0 &&
        turn.request == DeviceLink::Request::kIdentifyKeptHandle) {
      link_.RequestFailedOnKeptHandle(turn.device);
    }
    ReportFrame buffer{};
    const int received = turn.device->Read(buffer.data(), buffer.size(), kReadPeriod);
    if (received < 0) {
      if (link_.ForgetDevice(turn.device) && on_loss_) {
        on_loss_();
      }
      continue;
    }
    // A handle that a connect replaced may still deliver: a unit no longer in use, or a second
    // copy of what the new handle of the same unit receives.
    if (received == 0 || !IsValidFrame(buffer) || !link_.IsCurrent(turn.device)) {
      continue;
    }
    link_.Mailbox().Post(buffer);
  }
}

}  // namespace devlink
