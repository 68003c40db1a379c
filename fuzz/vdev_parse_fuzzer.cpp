// The virtual device, which runs as root, judging whatever the tool writes to it: any length, any
// bytes. It answers exactly the whole, valid frames that start like the identity request, and
// finds nothing wrong with the request itself.
#include <algorithm>
#include <cstdlib>

#include "DeviceProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const devlink::ReportFrame request = devlink::BuildOutgoingFrame(devlink::kIdentityRequest);
  const vdev::ToolReport verdict = vdev::ReadToolReport({data, size});
  devlink::ReportFrame frame{};
  std::copy_n(data, std::min(size, frame.size()), frame.begin());
  const bool whole = size == frame.size() && devlink::IsValidFrame(frame);
  if (verdict.identity_request != (whole && std::equal(request.begin(), request.begin() + devlink::kPayloadOffset, data)) ||
      (whole && frame == request && !verdict.problems.empty())) {
    std::abort();
  }
  return 0;
}
