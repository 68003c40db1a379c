// A POSIX extended regular expression, as grep -E takes it, matched against decoded log lines in
// the locale's character set (UTF-8).
#pragma once

#include <regex.h>

#include <memory>
#include <string>

namespace zodivo_cli {

class LinePattern {
 public:
  // Nothing, after `error` is set to the C library's words, when `expression` is not valid.
  static std::shared_ptr<const LinePattern> Compile(const std::string& expression, std::string& error);
  ~LinePattern() {
    if (compiled_) regfree(&regex_);
  }
  LinePattern(const LinePattern&) = delete;
  LinePattern& operator=(const LinePattern&) = delete;

  bool Matches(const std::string& line) const { return regexec(&regex_, line.c_str(), 0, nullptr, 0) == 0; }

 private:
  LinePattern() = default;

  regex_t regex_{};
  bool compiled_ = false;  // regcomp frees what it took when it fails
};

}  // namespace zodivo_cli
