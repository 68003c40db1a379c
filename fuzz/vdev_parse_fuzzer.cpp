// The virtual device, which runs as root, judging whatever the tool writes to it: any length, any
// bytes. It answers exactly the whole, valid frames that start like the identity request, finds
// nothing wrong with the request itself, and says what is wrong with every report it does not
// answer. The first input byte steers the run: bit 0 seals a
// 64-byte report with a correct checksum, so that the judgement past the checksum is reached. The
// rest is the report.
#include <algorithm>
#include <cstdlib>

#include "DeviceProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const devlink::ReportFrame request = devlink::BuildOutgoingFrame(devlink::kIdentityRequest);
  if (size-- == 0) return -1;
  devlink::ReportFrame frame{};
  std::copy_n(data + 1, std::min(size, frame.size()), frame.begin());
  const bool whole = size == frame.size();
  if (whole && (data[0] & 1)) devlink::SealFrame(frame);
  const vdev::ToolReport verdict = vdev::ReadToolReport(whole ? std::span(frame) : std::span(data + 1, size));
  const bool valid = whole && devlink::IsValidFrame(frame);
  const bool answerable =
      valid && std::equal(request.begin(), request.begin() + devlink::kPayloadOffset, frame.begin());
  if (verdict.identity_request != answerable || (valid && frame == request && !verdict.problems.empty()) ||
      (!answerable && verdict.problems.empty())) {
    std::abort();
  }
  return 0;
}
