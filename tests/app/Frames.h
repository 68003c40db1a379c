// Device-to-tool frames for the window's tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "ReportFrame.h"

namespace zodivo::testing {

inline devlink::ReportFrame LogFrame(std::string_view text) {
  return devlink::BuildIncomingFrame(
      devlink::kLogText, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

inline devlink::ReportFrame LogFrame(std::initializer_list<std::uint8_t> bytes) {
  return devlink::BuildIncomingFrame(devlink::kLogText, std::vector<std::uint8_t>(bytes));
}

// An identity reply whose identifier bytes are first, first + 1, ... first + 11.
inline devlink::ReportFrame IdentityFrame(std::uint8_t first) {
  std::vector<std::uint8_t> payload(13, 0);
  for (std::uint8_t i = 0; i < 12; ++i) payload[1 + i] = static_cast<std::uint8_t>(first + i);
  return devlink::BuildIncomingFrame(devlink::kIdentityReply, payload);
}

}  // namespace zodivo::testing
