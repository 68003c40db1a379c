#include "TextConverter.h"

#include <cerrno>
#include <system_error>
#include <utility>

namespace devlink {

TextConverter::TextConverter(const char* to, const char* from, std::string replacement)
    : converter_(iconv_open(to, from)), replacement_(std::move(replacement)) {
  if (converter_ == reinterpret_cast<iconv_t>(-1)) {
    throw std::system_error(errno, std::generic_category(), std::string("iconv_open ") + from + " to " + to);
  }
}

TextConverter::~TextConverter() { iconv_close(converter_); }

std::string TextConverter::Convert(std::string_view input) {
  iconv(converter_, nullptr, nullptr, nullptr, nullptr);
  std::string output;
  char* in = const_cast<char*>(input.data());  // iconv's signature; it does not write through it
  std::size_t in_left = input.size();
  while (true) {
    char chunk[256];
    char* out = chunk;
    std::size_t out_left = sizeof chunk;
    const bool stopped = iconv(converter_, &in, &in_left, &out, &out_left) == static_cast<std::size_t>(-1);
    const int error = errno;
    output.append(chunk, static_cast<std::size_t>(out - chunk));
    if (!stopped) {
      return output;
    }
    if (error != E2BIG) {
      // An invalid or cut-off sequence, or a character the target lacks: one replacement for its
      // first byte, then carry on after it.
      output += replacement_;
      ++in;
      --in_left;
    }
  }
}

TextConverter Cp1251Decoder() { return TextConverter("UTF-8", "CP1251", "\xEF\xBF\xBD"); }

TextConverter Cp1251Encoder() { return TextConverter("CP1251//TRANSLIT", "UTF-8", "?"); }

}  // namespace devlink
