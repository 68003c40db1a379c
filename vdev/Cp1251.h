// Turns a line of UTF-8 text into the device's 8-bit code page 1251.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "TextConverter.h"

namespace vdev {

class Cp1251Encoder {
 public:
  // The result may be longer than a frame holds.
  std::vector<std::uint8_t> Encode(std::string_view utf8) {
    const std::string encoded = converter_.Convert(utf8);
    return {encoded.begin(), encoded.end()};
  }

 private:
  devlink::TextConverter converter_ = devlink::Cp1251Encoder();
};

}  // namespace vdev
