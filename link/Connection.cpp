#include "Connection.h"

#include <algorithm>
#include <utility>
#include <vector>

#include <sys/stat.h>

#include "ReportFrame.h"

namespace devlink {
namespace {

dev_t DeviceNumberOf(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISCHR(status.st_mode) ? status.st_rdev : 0;
}

}  // namespace

UnitChoice UnitChoice::Named(std::string name) {
  const dev_t device = DeviceNumberOf(name);
  return {std::move(name), device};
}

bool UnitChoice::Accepts(const ListedUnit& unit) const {
  return name.empty() || unit.path == name || unit.serial == name ||
         (device != 0 && DeviceNumberOf(unit.path) == device);
}

void DeviceLink::Connect(UnitChoice choice) {
  {
    std::lock_guard guard(mutex_);
    request_ = std::move(choice);
  }
  asked_.notify_all();
}

std::optional<UnitChoice> DeviceLink::NextTurn(std::stop_token stop, std::chrono::milliseconds idle) {
  std::unique_lock lock(mutex_);
  if (!DeviceHandle) {
    asked_.wait_for(lock, stop, idle, [this] { return request_.has_value(); });
  }
  return std::exchange(request_, std::nullopt);
}

void DeviceLink::CarryOut(const UnitChoice& choice) {
  static const ReportFrame request = BuildOutgoingFrame(kIdentityRequest);
  Connected connected;
  try {
    port_.Init();
    const std::vector<ListedUnit> units = port_.List(kVendorId, kProductId);
    const auto chosen = std::ranges::find_if(units, [&](const ListedUnit& unit) { return choice.Accepts(unit); });
    if (chosen == units.end()) {
      mailbox_.Post(ConnectFailed{});
      return;
    }
    connected = {*chosen, DeviceHandle && chosen->path == path_, std::chrono::system_clock::now()};
    if (!connected.kept) {
      std::error_code error;
      std::unique_ptr<HidDevice> opened = port_.Open(chosen->path, error);
      if (!opened) {
        mailbox_.Post(ConnectFailed{chosen->path, error, nullptr, {}});
        return;
      }
      // The replaced handle closes here: nothing it still holds is read.
      DeviceHandle = std::move(opened);
      path_ = chosen->path;
    }
  } catch (...) {
    mailbox_.Post(ConnectFailed{{}, {}, std::current_exception(), {}});
    return;
  }
  mailbox_.Post(std::move(connected));
  // A unit that refuses the request stays in use: only a failed read means that it is gone, and
  // a second handle on it would read every report twice.
  DeviceHandle->Write(request.data(), request.size());
}

void DeviceLink::ReadOnce(std::chrono::milliseconds limit) {
  ReportFrame buffer{};
  const int received = DeviceHandle->Read(buffer.data(), buffer.size(), limit);
  if (received < 0) {
    DeviceHandle.reset();
    mailbox_.Post(Lost{std::exchange(path_, {}), std::chrono::system_clock::now()});
    return;
  }
  if (received > 0 && IsValidFrame(buffer)) {
    mailbox_.PostReport({buffer, std::chrono::system_clock::now()});
  }
}

}  // namespace devlink
