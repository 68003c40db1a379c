#include "UnitFleet.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "DeviceIds.h"
#include "Read_tr.h"

namespace devlink {
namespace {

int MakeEventFd() {
  const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  return fd;
}

bool Listed(const std::vector<ListedUnit>& units, const std::string& path) {
  return std::ranges::any_of(units, [&](const ListedUnit& unit) { return unit.path == path; });
}

}  // namespace

UnitFleet::UnitFleet(HidPort& port, HotplugMonitor* hotplug)
    : port_(port), hotplug_(hotplug), wake_(MakeEventFd()), thread_([this](std::stop_token stop) { Run(stop); }) {}

UnitFleet::~UnitFleet() {
  thread_.request_stop();
  Wake();
  thread_.join();
  readers_.clear();
  close(wake_);
}

void UnitFleet::Follow(const ListedUnit& unit, ReaderOptions options) {
  {
    std::lock_guard guard(mutex_);
    requests_.emplace_back(unit, std::move(options));
  }
  Wake();
}

void UnitFleet::Wake() {
  const std::uint64_t one = 1;
  // A full counter already wakes the fleet.
  (void)!write(wake_, &one, sizeof one);
}

void UnitFleet::Run(std::stop_token stop) {
  BlockAsynchronousSignals();
  try {
    port_.Init();
    listed_ = port_.List(kVendorId, kProductId);
    mailbox_.Post(UnitsPresent{listed_});
  } catch (...) {
    mailbox_.Post(ConnectFailed{{}, {}, std::current_exception()});
  }
  pollfd watched[] = {{wake_, POLLIN, 0}, {hotplug_ != nullptr ? hotplug_->Descriptor() : -1, POLLIN, 0}};
  while (!stop.stop_requested()) {
    if (poll(watched, 2, -1) < 0) continue;  // EINTR cannot come: every signal is blocked here
    std::uint64_t count;
    (void)!read(wake_, &count, sizeof count);
    if (stop.stop_requested()) break;
    if (watched[1].revents != 0) {
      bool added = false;
      for (const HotplugNotice& notice : hotplug_->Take()) {
        added |= notice.added;
        // The node is gone even where the kernel still lists it for a moment.
        if (!notice.added && Listed(listed_, notice.node)) {
          std::erase_if(listed_, [&](const ListedUnit& unit) { return unit.path == notice.node; });
          mailbox_.Post(UnitLeft{notice.node, std::chrono::system_clock::now()});
        }
      }
      if (added) Relist();
    }
    decltype(requests_) requests;
    {
      std::lock_guard guard(mutex_);
      requests.swap(requests_);
    }
    for (auto& [unit, options] : requests) Open(unit, std::move(options));
    std::erase_if(readers_, [](const std::unique_ptr<UnitReader>& reader) { return reader->Ended(); });
  }
}

void UnitFleet::Relist() {
  std::vector<ListedUnit> now;
  try {
    now = port_.List(kVendorId, kProductId);
  } catch (...) {
    mailbox_.Post(ConnectFailed{{}, {}, std::current_exception()});
    return;
  }
  const auto at = std::chrono::system_clock::now();
  for (const ListedUnit& unit : listed_) {
    if (!Listed(now, unit.path)) mailbox_.Post(UnitLeft{unit.path, at});
  }
  for (const ListedUnit& unit : now) {
    if (!Listed(listed_, unit.path)) mailbox_.Post(UnitArrived{unit, at});
  }
  listed_ = std::move(now);
}

void UnitFleet::Open(const ListedUnit& unit, ReaderOptions options) {
  std::error_code error;
  std::unique_ptr<HidDevice> device;
  try {
    device = port_.Open(unit.path, error);
  } catch (...) {
    mailbox_.Post(ConnectFailed{unit.path, {}, std::current_exception()});
    return;
  }
  if (!device) {
    mailbox_.Post(ConnectFailed{unit.path, error, nullptr});
    return;
  }
  const Session session = ++last_session_;
  mailbox_.Post(Connected{unit, false, std::chrono::system_clock::now(), session});
  readers_.push_back(std::make_unique<UnitReader>(port_, std::move(device), unit.path, session, mailbox_,
                                                  std::move(options), [this] { Wake(); }));
}

}  // namespace devlink
