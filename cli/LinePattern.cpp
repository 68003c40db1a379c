#include "LinePattern.h"

namespace zodivo_cli {

std::shared_ptr<const LinePattern> LinePattern::Compile(const std::string& expression, std::string& error) {
  std::shared_ptr<LinePattern> pattern(new LinePattern);
  if (const int failed = regcomp(&pattern->regex_, expression.c_str(), REG_EXTENDED | REG_NOSUB); failed != 0) {
    char words[256];
    regerror(failed, &pattern->regex_, words, sizeof words);
    error = words;
    return nullptr;
  }
  pattern->compiled_ = true;
  return pattern;
}

}  // namespace zodivo_cli
