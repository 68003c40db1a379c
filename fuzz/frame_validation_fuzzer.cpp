// Frame validation against the bitwise reference checksum, for any 64 bytes; and every frame the
// builders make is valid whatever the payload.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "BitwiseChecksum.h"
#include "ReportFrame.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace devlink;
  if (size < kFrameSize) {
    return -1;
  }
  ReportFrame frame;
  std::memcpy(frame.data(), data, kFrameSize);

  const std::uint32_t stored = std::uint32_t{frame[60]} << 24 | std::uint32_t{frame[61]} << 16 |
                               std::uint32_t{frame[62]} << 8 | std::uint32_t{frame[63]};
  const bool expected = testing::BitwiseChecksum(std::span(frame).first<kChecksumOffset>()) == stored;
  if (IsValidFrame(frame) != expected) {
    std::abort();
  }

  const std::span<const std::uint8_t> payload(data + kFrameSize, size - kFrameSize);
  if (!IsValidFrame(BuildIncomingFrame(frame[4], payload)) || !IsValidFrame(BuildOutgoingFrame(frame[4], payload))) {
    std::abort();
  }
  return 0;
}
