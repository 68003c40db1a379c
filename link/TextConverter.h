// One direction of a character-set conversion, through the C library's iconv: no other library
// is needed for it, and every program of the project converts the same way.
#pragma once

#include <iconv.h>

#include <string>
#include <string_view>

namespace devlink {

class TextConverter {
 public:
  // From `from` to `to`, as iconv names them. What cannot be converted, a byte that is invalid in
  // `from` or a character that `to` lacks, becomes `replacement`, already in `to`; one
  // replacement for each byte of the input that it stands for. Throws when the C library has no
  // such conversion.
  TextConverter(const char* to, const char* from, std::string replacement);
  ~TextConverter();
  TextConverter(const TextConverter&) = delete;
  TextConverter& operator=(const TextConverter&) = delete;

  std::string Convert(std::string_view input);

 private:
  iconv_t converter_;
  const std::string replacement_;
};

// Code page 1251, the device's 8-bit text, to UTF-8: the byte 0x98, which the code page leaves
// undefined, becomes U+FFFD.
TextConverter Cp1251Decoder();
// UTF-8 to code page 1251: characters the code page lacks are transliterated where possible,
// else become '?', as do bytes that are not valid UTF-8.
TextConverter Cp1251Encoder();

}  // namespace devlink
