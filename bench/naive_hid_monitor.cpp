// cli_bench's reference: the plainest loop on the HID library that prints a unit's log lines. It
// opens the first unit listed, asks it for its identity as the link does, and prints the text of
// every log report, with no reader thread, no checksum and no conversion.
#include <hidapi/hidapi.h>

#include <algorithm>
#include <cstdio>

#include "DeviceIds.h"
#include "ReportFrame.h"

int main() {
  hid_init();
  hid_device_info* units = hid_enumerate(devlink::kVendorId, devlink::kProductId);
  hid_device* unit = units != nullptr ? hid_open_path(units->path) : nullptr;
  hid_free_enumeration(units);
  if (unit == nullptr) return 1;
  const devlink::ReportFrame request = devlink::BuildOutgoingFrame(devlink::kIdentityRequest);
  hid_write(unit, request.data(), request.size());
  devlink::ReportFrame frame{};
  char line[devlink::kPayloadSize + 2];
  while (hid_read(unit, frame.data(), frame.size()) > 0) {
    if (frame[devlink::kCodeOffset] != devlink::kLogText) continue;
    const auto* text = frame.begin() + devlink::kPayloadOffset;
    char* end = std::copy(text, std::find(text, text + devlink::kPayloadSize, 0), line);
    *end++ = '\n';
    *end = '\0';
    std::fputs(line, stdout);
    std::fflush(stdout);
  }
  hid_close(unit);
  return 1;
}
