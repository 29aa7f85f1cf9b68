// Time-out budget bookkeeping: see zvc_timo.h.
#include "zvc_timo.h"

#include <ctime>

#include "zvc_codes.h"

namespace timo {

timeval now() {
  timeval tv{};
  if (gettimeofday(&tv, nullptr) != 0) {
    tv.tv_sec = time(nullptr);
    tv.tv_usec = 0;
  }
  return tv;
}

namespace {
long long elapsed_whole_ms(const timeval& start, const timeval& end) {
  long long sec = static_cast<long long>(end.tv_sec) - start.tv_sec;
  long long usec = static_cast<long long>(end.tv_usec) - start.tv_usec;
  return sec * 1000 + usec / 1000;
}
}  // namespace

int spend(int budget_ms, const timeval& start) {
  if (budget_ms == kIpcBudgetUnlimited) return kIpcBudgetUnlimited;
  if (budget_ms < 0) return kIpcBudgetUsedUp;
  long long elapsed = elapsed_whole_ms(start, now());
  if (elapsed < 0 || elapsed >= budget_ms) return kIpcBudgetUsedUp;
  return static_cast<int>(budget_ms - elapsed);
}

double elapsed_ms(const timeval& start) {
  timeval end = now();
  double sec = static_cast<double>(end.tv_sec - start.tv_sec);
  double usec = static_cast<double>(end.tv_usec - start.tv_usec);
  return sec * 1000 + usec / 1000.0;
}

}  // namespace timo
