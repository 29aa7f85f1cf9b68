// SIGHUP: the list reload and the hook that libmilter's signal thread runs for it.
//
// libmilter's signal thread waits for SIGHUP, SIGTERM and SIGINT with sigwait() and stops
// the filter on SIGHUP. This module interposes sigwait() for the whole process: a SIGHUP
// that comes back from the C library's sigwait() runs the hook registered with
// smfi_sethuphook(), and when the hook answers 0 or 3 the wait simply starts again; any
// other answer, and every other signal, is handed back to the caller as it came. So
// libmilter keeps its own stop (SIGTERM, or a failed reload) and abort (SIGINT) paths.
// For this to work no thread may exist before smfi_main() with the three signals
// unblocked: libmilter blocks them before it starts its threads.
//
// The hook, the failed-reload mark and the C library's sigwait() are atomics written once on the main thread
// before smfi_main(). smf_reload() runs on the signal thread; each list loader takes that
// list's own mutex.
#pragma once

// Reloads the deny list and the two non-notification lists from their configured paths.
// 0 when every configured list was reloaded, 1 when one failed (the later ones are then
// left as they were, and libmilter stops the filter).
int smf_reload();

// Whether a reload has failed, which is why libmilter's loop ended: the program then ends
// with a failure status, so that a service manager restarts it.
bool smf_reload_failed();

// Registers the routine run on SIGHUP. 0, or -1 for a null hook.
extern "C" int smfi_sethuphook(int (*hook)());
