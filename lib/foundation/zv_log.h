// Logging for every module: the logger of zv_logcore.h (included here, so one include
// gives a module zv_log() and the error text), its set-up, and the system error text.
//
// stdlib_error() turns an errno value into the C library's text. That routine may use a
// shared buffer, so the text is copied under the "ZvLib::StdlibError" named mutex into
// a per-thread buffer. The mutex is created by zv_log_setup() and destroyed by the
// client library's shutdown; while it does not exist the text is taken unguarded.
// This module sits above both the logger proper and the named mutexes, which make their
// own failure texts, so neither of them ever calls back into it.
#pragma once

#include "zv_logcore.h"

// Sets the logger up (zv_log_configure()) and creates the error-text mutex when it does
// not exist yet; a failed creation is logged and retried by the next set-up.
void zv_log_setup(const char* target, int level, int facility, int priority, const char* ident);

// The system's text for an errno value, safe from any thread. The text stays valid on
// the calling thread until its next stdlib_error() call; the caller does not free it.
const char* stdlib_error(int errnum);

// Short form used by the descriptor operations: the text of the current errno.
const char* stdlib_errno_text();

// Destroys the error-text mutex (client library shutdown). stdlib_error() runs
// unguarded afterwards; a later zv_log_setup() creates the mutex again.
void zv_log_destroy_error_mutex();
