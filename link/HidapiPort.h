// The hidapi-backed port's one piece of logic that tests can reach without a device.
#pragma once

#include <vector>

#include "HidPort.h"

struct hid_device_info;

namespace devlink {

// The units of a hidapi device list, in its order. An entry without a path cannot be opened and
// is left out.
std::vector<ListedUnit> ListedUnits(const hid_device_info* list);

}  // namespace devlink
