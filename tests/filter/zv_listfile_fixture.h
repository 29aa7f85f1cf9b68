// Helpers shared by the tests of the three list files (deny list, non-notified viruses,
// non-notified addresses): the regcomp error text a failed entry names, the log lines
// other than the mutexes' own, and a race of querying threads against reloads.
#pragma once

#include <regex.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/zv_test_support.h"

namespace listfile_fixture {

// The system's text for the error of compiling `pattern` the way the lists compile a
// case-insensitive expression.
inline std::string regerror_text(const char* pattern) {
  regex_t re;
  const int code = regcomp(&re, pattern, REG_EXTENDED | REG_NOSUB | REG_ICASE);
  char text[256];
  regerror(code, &re, text, sizeof text);
  return text;
}

// The logged texts, without the lines about the list's mutex ("zvlib: mutex:").
inline std::vector<std::string> without_mutex_lines(const zvtest::CaptureLog& log) {
  std::vector<std::string> out;
  for (const std::string& t : log.texts())
    if (t.rfind("zvlib: mutex:", 0) != 0) out.push_back(t);
  return out;
}

struct RaceCount {
  int wrong = 0;           // answers a query gave wrongly
  int failed_reloads = 0;  // reloads that did not give 1
};

// Three threads each take a query from `make_query()` and ask it (true: a wrong answer)
// until this thread has reloaded the list 100 times through `reload(path)`, alternating
// `second` and `first`; the last reload is of `first`.
template <typename MakeQuery, typename Reload>
RaceCount race_queries_with_reloads(MakeQuery make_query, Reload reload, const std::string& first,
                                    const std::string& second) {
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> matchers;
  for (int t = 0; t < 3; ++t) {
    matchers.emplace_back([&] {
      auto query = make_query();
      while (!done.load()) {
        if (query()) ++wrong;
      }
    });
  }
  RaceCount count;
  for (int i = 0; i < 100; ++i) {
    if (reload((i % 2 == 0 ? second : first).c_str()) != 1) ++count.failed_reloads;
  }
  done = true;
  for (auto& t : matchers) t.join();
  count.wrong = wrong.load();
  return count;
}

}  // namespace listfile_fixture
