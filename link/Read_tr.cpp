#include "Read_tr.h"

#include <pthread.h>
#include <signal.h>

namespace devlink {
namespace {

// A signal that has a handler interrupts the HID library's wait for a report, which then reports
// a failed read: the unit would pass for lost. No asynchronous signal is delivered to this thread;
// the faults that only this thread can cause stay deliverable.
void BlockAsynchronousSignals() {
  sigset_t signals;
  sigfillset(&signals);
  for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT}) sigdelset(&signals, fault);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

}  // namespace

ReadThread::ReadThread(DeviceLink& link) : link_(link), thread_([this](std::stop_token stop) { Run(stop); }) {}

void ReadThread::Run(std::stop_token stop) {
  BlockAsynchronousSignals();
  while (!stop.stop_requested()) {
    if (const std::optional<UnitChoice> connect = link_.NextTurn(stop, kIdleSleep)) {
      link_.CarryOut(*connect);
    }
    if (link_.HasDevice()) {
      link_.ReadOnce(kReadPeriod);
    }
  }
  link_.Close();
}

}  // namespace devlink
