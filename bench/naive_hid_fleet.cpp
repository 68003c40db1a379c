// cli_bench's reference for monitor --all: the plainest program on the HID library that prints the
// log lines of every unit listed. It opens each unit, and a thread for each asks it for its
// identity as the link does and prints the text of every log report after the identifier, one
// line at a time under one lock, with no checksum and no conversion.
#include <hidapi/hidapi.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "DeviceIds.h"
#include "ReportFrame.h"

namespace {

std::mutex output;

void Follow(hid_device* unit) {
  const devlink::ReportFrame request = devlink::BuildOutgoingFrame(devlink::kIdentityRequest);
  hid_write(unit, request.data(), request.size());
  std::string identifier;
  devlink::ReportFrame frame{};
  char text[devlink::kPayloadSize + 1];
  while (hid_read(unit, frame.data(), frame.size()) > 0) {
    if (devlink::FrameHeader(frame) == devlink::kIdentityReplyHeader) {
      identifier = devlink::FormatHex(std::span(frame).subspan(devlink::kIdentityOffset, devlink::kIdentitySize));
      continue;
    }
    if (frame[devlink::kCodeOffset] != devlink::kLogText) continue;
    const auto* payload = frame.begin() + devlink::kPayloadOffset;
    *std::copy(payload, std::find(payload, payload + devlink::kPayloadSize, 0), text) = '\0';
    const std::lock_guard lock(output);
    std::printf("%s\t%s\n", identifier.c_str(), text);
    std::fflush(stdout);
  }
  hid_close(unit);
}

}  // namespace

int main() {
  hid_init();
  std::vector<hid_device*> units;
  hid_device_info* listed = hid_enumerate(devlink::kVendorId, devlink::kProductId);
  for (const hid_device_info* info = listed; info != nullptr; info = info->next) {
    if (hid_device* unit = hid_open_path(info->path)) units.push_back(unit);
  }
  hid_free_enumeration(listed);
  if (units.empty()) return 1;
  std::vector<std::thread> followers;
  for (hid_device* unit : units) followers.emplace_back(Follow, unit);
  for (std::thread& follower : followers) follower.join();
  return 1;
}
