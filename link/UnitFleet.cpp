#include "UnitFleet.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

#include "Read_tr.h"

namespace devlink {
namespace {

using Clock = std::chrono::steady_clock;

// udev gives a new node its group and mode a moment after the node appears: a unit followed by
// the fleet itself that may not be opened yet is tried again this often, quietly for this long.
constexpr std::chrono::milliseconds kRetryPeriod{100};
constexpr std::chrono::seconds kQuietRetries{2};

int MakeEventFd() {
  const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  return fd;
}

bool Refused(const std::error_code& error) { return error.value() == EACCES || error.value() == EPERM; }

Time Now() { return std::chrono::system_clock::now(); }

}  // namespace

struct UnitFleet::Retry {
  ListedUnit unit;
  Clock::time_point next;
  Clock::time_point quiet_until;
};

UnitFleet::UnitFleet(HidPort& port, HotplugMonitor& units, FleetOptions options)
    : port_(port),
      units_(units),
      options_(std::move(options)),
      wake_(MakeEventFd()),
      thread_([this](std::stop_token stop) { Run(stop); }) {}

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
    listed_ = units_.List();
  } catch (...) {
    mailbox_.Post(ConnectFailed{{}, {}, std::current_exception(), {}});
  }
  mailbox_.Post(UnitsPresent{listed_});
  if (options_.follow && options_.follow->present) {
    for (const ListedUnit& unit : std::vector(listed_)) FollowItself(unit);
  }
  pollfd watched[] = {{wake_, POLLIN, 0}, {options_.watch ? units_.Descriptor() : -1, POLLIN, 0}};
  while (!stop.stop_requested()) {
    int timeout = -1;
    if (!retries_.empty()) {
      const auto next = std::ranges::min(retries_, {}, &Retry::next).next;
      timeout = static_cast<int>(std::max<long>(0, std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count()));
    }
    if (poll(watched, 2, timeout) < 0) continue;  // EINTR cannot come: every signal is blocked here
    std::uint64_t count;
    (void)!read(wake_, &count, sizeof count);
    if (stop.stop_requested()) break;
    if (watched[1].revents != 0) {
      if (HotplugNews news = units_.Take(); news.lost) {
        Relist();
      } else {
        for (const std::string& node : news.nodes) Reconcile(node);
      }
    }
    decltype(requests_) requests;
    {
      std::lock_guard guard(mutex_);
      requests.swap(requests_);
    }
    for (const auto& [unit, options] : requests) Open(unit, options, false);
    const auto now = Clock::now();
    for (const Retry& retry : std::exchange(retries_, {})) {
      if (retry.next > now) {
        retries_.push_back(retry);
      } else {
        OpenFollowed(retry.unit, retry.quiet_until);
      }
    }
    std::erase_if(readers_, [](const std::unique_ptr<UnitReader>& reader) { return reader->Ended(); });
  }
}

bool UnitFleet::Listed(const ListedUnit& unit) const {
  return std::ranges::any_of(listed_, [&](const ListedUnit& listed) { return listed.instance == unit.instance; });
}

void UnitFleet::Arrived(const ListedUnit& unit, Time at) {
  listed_.push_back(unit);
  mailbox_.Post(UnitArrived{unit, at});
  FollowItself(unit);
}

void UnitFleet::FollowItself(const ListedUnit& unit) {
  if (!options_.follow || (options_.follow->accepts && !options_.follow->accepts(unit))) return;
  OpenFollowed(unit, Clock::now() + kQuietRetries);
}

void UnitFleet::OpenFollowed(const ListedUnit& unit, std::chrono::steady_clock::time_point quiet_until) {
  if (!Open(unit, options_.follow->reading, Clock::now() < quiet_until)) {
    retries_.push_back({unit, Clock::now() + kRetryPeriod, quiet_until});
  }
}

void UnitFleet::Left(const ListedUnit& unit, Time at) {
  std::erase_if(listed_, [&](const ListedUnit& listed) { return listed.instance == unit.instance; });
  std::erase_if(retries_, [&](const Retry& retry) { return retry.unit.instance == unit.instance; });
  mailbox_.Post(UnitLeft{unit, at});
}

// What `node` holds now against what it held: a unit that went, one that came, or both.
void UnitFleet::Reconcile(const std::string& node) {
  const std::optional<ListedUnit> now = units_.At(node);
  const auto held = std::ranges::find(listed_, node, &ListedUnit::path);
  const auto at = Now();
  if (held != listed_.end() && (!now || now->instance != held->instance)) Left(ListedUnit(*held), at);
  if (now && !Listed(*now)) Arrived(*now, at);
}

// After news was lost: every unit that went, and every one that came.
void UnitFleet::Relist() {
  const std::vector<ListedUnit> now = units_.List();
  const auto at = Now();
  for (const ListedUnit& unit : std::vector(listed_)) {
    if (std::ranges::find(now, unit.instance, &ListedUnit::instance) == now.end()) Left(unit, at);
  }
  for (const ListedUnit& unit : now) {
    if (!Listed(unit)) Arrived(unit, at);
  }
}

bool UnitFleet::Open(const ListedUnit& unit, const ReaderOptions& options, bool quiet_refusal) {
  const auto failed = [&](std::error_code error, std::exception_ptr exception = nullptr) {
    mailbox_.Post(ConnectFailed{unit.path, error, std::move(exception), unit.instance});
    return true;
  };
  const std::error_code gone = std::make_error_code(std::errc::no_such_device);
  // A unit that has gone is never opened: its node may hold another by now.
  if (!Listed(unit)) return failed(gone);
  std::error_code error;
  std::unique_ptr<HidDevice> device;
  try {
    device = port_.Open(unit.path, error);
  } catch (...) {
    return failed({}, std::current_exception());
  }
  if (!device) return quiet_refusal && Refused(error) ? false : failed(error);
  // Opened by its node, which another unit may have taken meanwhile: the node must still hold the
  // very unit listed. As instances never come back, a node that holds it now held it at the open.
  if (const std::optional<ListedUnit> now = units_.At(unit.path); !now || now->instance != unit.instance) {
    device.reset();
    return failed(gone);
  }
  const Session session = ++last_session_;
  mailbox_.Post(Connected{unit, false, Now(), session});
  readers_.push_back(std::make_unique<UnitReader>(port_, std::move(device), unit.path, session, mailbox_, options,
                                                  [this] { Wake(); }));
  return true;
}

}  // namespace devlink
