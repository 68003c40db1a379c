// Turns a line of UTF-8 text into the device's 8-bit code page 1251.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include <iconv.h>

namespace vdev {

class Cp1251Encoder {
 public:
  Cp1251Encoder();
  ~Cp1251Encoder();
  Cp1251Encoder(const Cp1251Encoder&) = delete;
  Cp1251Encoder& operator=(const Cp1251Encoder&) = delete;

  // Characters the code page lacks are transliterated where possible, else become '?';
  // so do bytes that are not valid UTF-8. The result may be longer than a frame holds.
  std::vector<std::uint8_t> Encode(std::string_view utf8);

 private:
  iconv_t converter_;
};

}  // namespace vdev
