#include "Read_tr.h"

#include <pthread.h>
#include <signal.h>

namespace devlink {

void BlockAsynchronousSignals() {
  sigset_t signals;
  sigfillset(&signals);
  for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT}) sigdelset(&signals, fault);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

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
