// The narrow seam between the fleet and the system's knowledge of units: which units are plugged
// in, which one a node holds now, and a descriptor that wakes when a node may have changed hands.
// The real one (UdevHotplugMonitor) asks libudev and watches udev's events and /dev; tests script
// it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HidPort.h"

namespace devlink {

// What has happened since it was last asked.
struct HotplugNews {
  std::vector<std::string> nodes;  // hidraw nodes that appeared, went away or changed hands
  bool lost = false;               // some news was lost: any unit may have come or gone
};

class HotplugMonitor {
 public:
  virtual ~HotplugMonitor() = default;
  // Becomes readable when there is news; stays open as long as the monitor lives.
  virtual int Descriptor() const = 0;
  // Takes what has come, without waiting.
  virtual HotplugNews Take() = 0;
  // Every unit with the tool's ids plugged in now, in the system's order, each with its instance.
  virtual std::vector<ListedUnit> List() = 0;
  // The unit that `node` holds now, if one with the tool's ids.
  virtual std::optional<ListedUnit> At(const std::string& node) = 0;
};

// The system's monitor, watching before this returns: no node that appears afterwards goes
// unnoticed. Throws std::system_error when it can neither watch udev nor /dev.
std::unique_ptr<HotplugMonitor> SystemHotplugMonitor();

}  // namespace devlink
