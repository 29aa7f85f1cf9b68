// Time-out budget bookkeeping of the channels (module "time").
//
// A channel's budget is the time in milliseconds that its remaining transfers may take.
// Each transfer step takes the time before it and spends the elapsed whole milliseconds
// afterwards. Pure functions; no state, no lock.
#pragma once

#include <sys/time.h>

namespace timo {

// The current wall-clock time; whole seconds from time() when the clock cannot be read.
timeval now();
// The budget left after a step that started at `start`: -1 stays -1; otherwise the old
// budget minus the elapsed milliseconds, or -2 (used up) when the elapsed time is
// negative or not below the old budget.
int spend(int budget_ms, const timeval& start);
// Milliseconds (with fraction) since `start`, for the lifetime message.
double elapsed_ms(const timeval& start);

}  // namespace timo
