// The narrow seam between the link and the system's news of devices coming and going: a
// descriptor to wait on, and what it told. The real one (UdevHotplugMonitor) listens to udev;
// tests script it.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace devlink {

// A hidraw node that appeared or went away.
struct HotplugNotice {
  std::string node;  // such as /dev/hidraw3
  bool added = false;
};

class HotplugMonitor {
 public:
  virtual ~HotplugMonitor() = default;
  // Becomes readable when there is news; stays open as long as the monitor lives.
  virtual int Descriptor() const = 0;
  // Takes every notice that has come, oldest first, without waiting.
  virtual std::vector<HotplugNotice> Take() = 0;
};

// The system's monitor, subscribed before this returns: no node that appears afterwards goes
// unnoticed. Throws std::system_error when it cannot be made.
std::unique_ptr<HotplugMonitor> SystemHotplugMonitor();

}  // namespace devlink
