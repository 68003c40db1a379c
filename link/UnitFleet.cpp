#include "UnitFleet.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <system_error>
#include <utility>

#include "Read_tr.h"

namespace devlink {
namespace {

// udev gives a new node its group and mode a moment after the node appears: a unit followed by
// the fleet itself that may not be opened yet is tried again this often, quietly for this long.
constexpr std::chrono::milliseconds kRetryPeriod{100};
constexpr std::chrono::seconds kQuietRetries{2};

// What the reading thread's epoll tells apart; every other tag is a unit's session.
constexpr std::uint64_t kNewsTag = 0;
constexpr std::uint64_t kWritableTag = ~std::uint64_t{0};
// Reports taken from one unit at one wake-up at most: as many as hidraw keeps for a handle.
constexpr int kPassesPerWake = 64;

int Checked(int result, const char* call) {
  if (result < 0) throw std::system_error(errno, std::generic_category(), call);
  return result;
}

// The reading thread's epoll, watching `news` from the start.
int WatchingNews(int news) {
  const int ready = Checked(epoll_create1(EPOLL_CLOEXEC), "epoll_create1");
  epoll_event readable{EPOLLIN, {.u64 = kNewsTag}};
  epoll_ctl(ready, EPOLL_CTL_ADD, news, &readable);
  return ready;
}

void Signal(int eventfd) {
  const std::uint64_t one = 1;
  // A full counter already wakes its reader.
  (void)!write(eventfd, &one, sizeof one);
}

bool Refused(const std::error_code& error) { return error.value() == EACCES || error.value() == EPERM; }

Time Now() { return std::chrono::system_clock::now(); }

void Earliest(std::optional<UnitFleet::Clock::time_point>& earliest, std::optional<UnitFleet::Clock::time_point> other) {
  if (other && (!earliest || *other < *earliest)) earliest = other;
}

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
      wake_(Checked(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), "eventfd")),
      news_(Checked(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), "eventfd")),
      ready_(WatchingNews(news_)),
      thread_([this](std::stop_token stop) { Run(stop); }) {}

UnitFleet::~UnitFleet() {
  thread_.request_stop();
  Signal(wake_);
  thread_.join();
  for (const auto& [session, reader] : readers_) close(reader->Descriptor());
  std::unique_lock lock(mutex_);
  for (const int descriptor : to_close_) close(descriptor);
  for (const Posted& posted : posted_) {
    if (posted.descriptor >= 0) close(posted.descriptor);
  }
  requests_done_.wait(lock, [this] { return requests_under_way_ == 0; });
  close(ready_);
  close(news_);
  close(wake_);
}

void UnitFleet::Follow(const ListedUnit& unit, ReaderOptions options) {
  {
    std::lock_guard guard(mutex_);
    requests_.emplace_back(unit, std::move(options));
  }
  Signal(wake_);
}

void UnitFleet::Post(LinkEvent event, int descriptor, ReaderOptions options) {
  std::lock_guard guard(mutex_);
  posted_.push_back({std::move(event), descriptor, std::move(options)});
  Signal(news_);
}

// --- the fleet's thread ---------------------------------------------------------------------

void UnitFleet::Run(std::stop_token stop) {
  BlockAsynchronousSignals();
  try {
    listed_ = units_.List();
  } catch (...) {
    Post(ConnectFailed{{}, {}, std::current_exception(), {}});
  }
  Post(UnitsPresent{listed_});
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
    decltype(to_close_) closing;
    {
      std::lock_guard guard(mutex_);
      requests.swap(requests_);
      closing.swap(to_close_);
    }
    // Here rather than on the reading thread: a close waits for any write to a node under way.
    for (const int descriptor : closing) close(descriptor);
    for (const auto& [unit, options] : requests) Open(unit, options, false);
    const auto now = Clock::now();
    for (const Retry& retry : std::exchange(retries_, {})) {
      if (retry.next > now) {
        retries_.push_back(retry);
      } else {
        OpenFollowed(retry.unit, retry.quiet_until);
      }
    }
  }
}

bool UnitFleet::Listed(const ListedUnit& unit) const {
  return std::ranges::any_of(listed_, [&](const ListedUnit& listed) { return listed.instance == unit.instance; });
}

void UnitFleet::Arrived(const ListedUnit& unit, Time at) {
  listed_.push_back(unit);
  Post(UnitArrived{unit, at});
  FollowItself(unit);
}

void UnitFleet::FollowItself(const ListedUnit& unit) {
  if (!options_.follow || (options_.follow->accepts && !options_.follow->accepts(unit))) return;
  OpenFollowed(unit, Clock::now() + kQuietRetries);
}

void UnitFleet::OpenFollowed(const ListedUnit& unit, Clock::time_point quiet_until) {
  if (!Open(unit, options_.follow->reading, Clock::now() < quiet_until)) {
    retries_.push_back({unit, Clock::now() + kRetryPeriod, quiet_until});
  }
}

void UnitFleet::Left(const ListedUnit& unit, Time at) {
  std::erase_if(listed_, [&](const ListedUnit& listed) { return listed.instance == unit.instance; });
  std::erase_if(retries_, [&](const Retry& retry) { return retry.unit.instance == unit.instance; });
  Post(UnitLeft{unit, at});
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
  const auto failed = [&](std::error_code error) {
    Post(ConnectFailed{unit.path, error, nullptr, unit.instance});
    return true;
  };
  const std::error_code gone = std::make_error_code(std::errc::no_such_device);
  // A unit that has gone is never opened: its node may hold another by now.
  if (!Listed(unit)) return failed(gone);
  std::error_code error;
  const int descriptor = port_.OpenForReading(unit.path, error);
  if (descriptor < 0) return quiet_refusal && Refused(error) ? false : failed(error);
  // Opened by its node, which another unit may have taken meanwhile: the node must still hold the
  // very unit listed. As instances never come back, a node that holds it now held it at the open.
  if (const std::optional<ListedUnit> now = units_.At(unit.path); !now || now->instance != unit.instance) {
    close(descriptor);
    return failed(gone);
  }
  Post(Connected{unit, false, Now(), ++last_session_}, descriptor, options);
  return true;
}

// --- the reading thread ---------------------------------------------------------------------

bool UnitFleet::Next(std::stop_token stop, std::optional<Clock::time_point> deadline, std::vector<LinkEvent>& events,
                     int writable) {
  events.clear();
  const std::stop_callback wake_on_stop(stop, [this] { Signal(news_); });
  Watch(writable);
  epoll_event ready[64];
  while (!stop.stop_requested()) {
    std::optional<Clock::time_point> until = deadline;
    for (const auto& [session, reader] : readers_) Earliest(until, reader->Due());
    int timeout = -1;
    if (until) {
      timeout = static_cast<int>(
          std::max<long>(0, std::chrono::ceil<std::chrono::milliseconds>(*until - Clock::now()).count()));
    }
    bool can_write = false;
    // A report from each unit that has one, then again from those that still have, and so on: a
    // unit that floods never keeps the others waiting, and the kernel's word on which ones still
    // have reports costs less than a read from each that finds none.
    int count = epoll_wait(ready_, ready, static_cast<int>(std::size(ready)), timeout);
    for (int pass = 0; count > 0 && pass < kPassesPerWake; ++pass) {
      bool units_ready = false;
      // News first: a unit's Connected comes before anything it sent.
      for (int i = 0; i < count; ++i) {
        if (ready[i].data.u64 == kNewsTag) TakePosted(events);
        can_write |= ready[i].data.u64 == kWritableTag;
      }
      for (int i = 0; i < count; ++i) {
        // A copy: the kernel's epoll_event is packed, and its member no place for a reference.
        const Session session = ready[i].data.u64;
        if (const auto reader = readers_.find(session); reader != readers_.end() && !reader->second->Ended()) {
          reader->second->Read(events);
          units_ready = true;
        }
      }
      if (!units_ready) break;
      count = epoll_wait(ready_, ready, static_cast<int>(std::size(ready)), 0);
    }
    const auto now = Clock::now();
    for (const auto& [session, reader] : readers_) {
      if (const auto due = reader->Due(); due && now >= *due) reader->Tick(events);
    }
    Retire();
    if (!events.empty() || can_write || (deadline && now >= *deadline)) break;
  }
  return !stop.stop_requested();
}

void UnitFleet::TakePosted(std::vector<LinkEvent>& events) {
  std::uint64_t count;
  (void)!read(news_, &count, sizeof count);
  std::vector<Posted> posted;
  {
    std::lock_guard guard(mutex_);
    posted.swap(posted_);
  }
  for (Posted& item : posted) {
    if (item.descriptor >= 0) {
      const Connected& connected = std::get<Connected>(item.event);
      const Session session = connected.session;
      const std::string unit = connected.unit.path;
      events.push_back(std::move(item.event));
      epoll_event readable{EPOLLIN, {.u64 = session}};
      epoll_ctl(ready_, EPOLL_CTL_ADD, item.descriptor, &readable);
      readers_.emplace(session, std::make_unique<UnitReader>(item.descriptor, unit, session, std::move(item.options),
                                                             [this, session, unit] { Ask(session, unit); }));
    } else if (const auto* asked = std::get_if<Asked>(&item.event)) {
      if (const auto reader = readers_.find(asked->session); reader != readers_.end()) {
        reader->second->Asked(asked->taken, events);
      }
    } else {
      events.push_back(std::move(item.event));
    }
  }
}

void UnitFleet::Ask(Session session, const std::string& unit) {
  {
    std::lock_guard guard(mutex_);
    ++requests_under_way_;
  }
  std::thread([this, session, unit] {
    static const ReportFrame request = BuildOutgoingFrame(kIdentityRequest);
    BlockAsynchronousSignals();
    const bool taken = port_.SendReport(unit, request.data(), request.size()) == static_cast<int>(request.size());
    Post(Asked{session, Now(), taken});
    std::lock_guard guard(mutex_);
    --requests_under_way_;
    requests_done_.notify_all();
  }).detach();  // waited for by the destructor alone: a process may end with a write held up
}

void UnitFleet::Watch(int writable) {
  if (writable == writable_) return;
  if (writable_ >= 0) epoll_ctl(ready_, EPOLL_CTL_DEL, writable_, nullptr);
  epoll_event room{EPOLLOUT, {.u64 = kWritableTag}};
  if (writable >= 0) epoll_ctl(ready_, EPOLL_CTL_ADD, writable, &room);
  writable_ = writable;
}

void UnitFleet::Retire() {
  bool retired = false;
  for (auto reader = readers_.begin(); reader != readers_.end();) {
    if (!reader->second->Ended()) {
      ++reader;
      continue;
    }
    const int descriptor = reader->second->Descriptor();
    epoll_ctl(ready_, EPOLL_CTL_DEL, descriptor, nullptr);
    {
      std::lock_guard guard(mutex_);
      to_close_.push_back(descriptor);
    }
    retired = true;
    reader = readers_.erase(reader);
  }
  if (retired) Signal(wake_);
}

}  // namespace devlink
