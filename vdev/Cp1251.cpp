#include "Cp1251.h"

#include <cerrno>
#include <system_error>

namespace vdev {

Cp1251Encoder::Cp1251Encoder() : converter_(iconv_open("CP1251//TRANSLIT", "UTF-8")) {
  if (converter_ == reinterpret_cast<iconv_t>(-1)) {
    throw std::system_error(errno, std::generic_category(), "iconv_open UTF-8 to CP1251");
  }
}

Cp1251Encoder::~Cp1251Encoder() { iconv_close(converter_); }

std::vector<std::uint8_t> Cp1251Encoder::Encode(std::string_view utf8) {
  iconv(converter_, nullptr, nullptr, nullptr, nullptr);
  // One output byte per input byte at most, plus room for a transliteration that grows.
  std::vector<std::uint8_t> encoded(2 * utf8.size() + 8);
  char* in = const_cast<char*>(utf8.data());  // iconv's signature; it does not write through it
  std::size_t in_left = utf8.size();
  char* out = reinterpret_cast<char*>(encoded.data());
  std::size_t out_left = encoded.size();
  const auto grow = [&] {
    const std::size_t used = encoded.size() - out_left;
    encoded.resize(2 * encoded.size());
    out = reinterpret_cast<char*>(encoded.data()) + used;
    out_left = encoded.size() - used;
  };
  while (in_left > 0) {
    if (iconv(converter_, &in, &in_left, &out, &out_left) != static_cast<std::size_t>(-1)) {
      break;
    }
    if (errno == E2BIG || out_left == 0) {
      grow();
      continue;
    }
    // An invalid or cut-off sequence: one '?' for its first byte, then carry on after it.
    *out++ = '?';
    --out_left;
    ++in;
    --in_left;
  }
  encoded.resize(encoded.size() - out_left);
  return encoded;
}

}  // namespace vdev
