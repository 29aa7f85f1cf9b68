// The end-of-message callback and the replies.
//
// smf_eom lets a verified notification through unscanned (its hash header removed),
// otherwise has the spooled message scanned and decided (zv_mailscan.h), turns the
// decided action into the libmilter status with its custom reply, hands a cured body back
// to sendmail, adds the X-Antivirus headers and ends the message. It runs on the
// connection's thread and may block for the daemon's time-outs and for mail submission;
// it takes no lock of its own.
#pragma once

#include <libmilter/mfapi.h>
#include <sys/types.h>

sfsistat smf_eom(SMFICTX* ctx);

// Hands the bytes of the file `path` from `offset` to its end to sendmail as the new
// body. 0 on success, non-zero otherwise (logged at Verbose, errno kept).
[[nodiscard]] int replace_body(SMFICTX* ctx, const char* path, off_t offset);
