// A model of the rewrite for the unit test and the fuzzer: the same job
// done the slow and obvious way, on the whole text at once.  Split at LF,
// drop one CR before it, stamp by find(), join with CR LF.  Test code only.
#ifndef AUTHORSTAMP_REWRITE_STAMP_TEST_MODEL_H_
#define AUTHORSTAMP_REWRITE_STAMP_TEST_MODEL_H_

#include <string>
#include <string_view>
#include <vector>

#include "rewrite/stamp.h"

namespace stamp_model {

struct Expected {
  bool refused = false;  // UTF-16 byte-order mark: no output at all
  std::string out;
  std::vector<std::string> traces;
};

inline void Rewrite(std::string_view text, std::string_view user,
                    Expected* want) {
  Expected& e = *want;
  e.refused = false;
  e.out.clear();
  e.traces.clear();
  if (text.starts_with("\xff\xfe") || text.starts_with("\xfe\xff")) {
    e.refused = true;
    return;
  }
  const std::string stamped = std::string(stamp::kAuthorTag) +
                              std::string(user) +
                              std::string(stamp::kClosingTag);
  size_t start = 0;
  while (start < text.size()) {
    const size_t lf = text.find('\n', start);
    const size_t end = lf == std::string_view::npos ? text.size() : lf;
    std::string_view line = text.substr(start, end - start);
    if (lf != std::string_view::npos && line.ends_with('\r'))
      line.remove_suffix(1);
    const size_t tag = line.find(stamp::kAuthorTag);
    if (tag == std::string_view::npos) {
      e.out += line;
    } else {
      const std::string_view before = line.substr(0, tag);
      e.out += before;
      e.out += stamped;
      std::string trace(before.substr(0, stamp::kTracePrefixLimit));
      if (before.size() > stamp::kTracePrefixLimit) {
        trace += "[... " +
                 std::to_string(before.size() - stamp::kTracePrefixLimit) +
                 " bytes not shown ...]";
      }
      e.traces.push_back(trace + stamped);
    }
    e.out += "\r\n";
    if (lf == std::string_view::npos)
      break;
    start = lf + 1;
  }
}

inline Expected Rewrite(std::string_view text, std::string_view user) {
  Expected e;
  Rewrite(text, user, &e);
  return e;
}

}  // namespace stamp_model

#endif  // AUTHORSTAMP_REWRITE_STAMP_TEST_MODEL_H_
