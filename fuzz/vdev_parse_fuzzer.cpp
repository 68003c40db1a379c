// The virtual device's judgement of whatever the tool writes to it: any length, any bytes. It
// must answer only a well-formed identity request, and find nothing wrong with the exact one.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "DeviceProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace devlink;
  const std::span<const std::uint8_t> report(data, size);
  const vdev::ToolReport verdict = vdev::ReadToolReport(report);

  if (verdict.identity_request) {
    ReportFrame frame;
    if (size != kFrameSize) std::abort();
    std::copy_n(data, kFrameSize, frame.begin());
    if (frame[0] != 0x01 || !IsValidFrame(frame) || FrameHeader(frame) != 0xF00FABBC) std::abort();
  }
  static const ReportFrame request = BuildOutgoingFrame(kIdentityRequest);
  if (std::equal(report.begin(), report.end(), request.begin(), request.end()) &&
      (!verdict.identity_request || !verdict.problems.empty())) {
    std::abort();
  }
  return 0;
}
