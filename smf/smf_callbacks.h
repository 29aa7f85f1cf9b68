// The Milter callbacks from connection to body, abort and close.
//
// They keep one private record per connection (smf_message.h), spool each message into
// a uniquely named file as it arrives - a "Return-Path:" line, a synthesised
// "Received:" header, every header, the empty line and the body chunks written straight
// to the file, so a message is never held in memory - apply the deny list under the
// configured deny mode, and recognise the filter's own notifications by their secure
// hash header. The end of the message is smf_eom (smf_eom.h).
//
// Each callback runs on a libmilter connection thread, reads only the configuration
// (read-only after start-up) and its own record; the deny list is queried under its own
// mutex.
#pragma once

#include <libmilter/mfapi.h>

sfsistat smf_connect(SMFICTX* ctx, char* host, _SOCK_ADDR* address);
sfsistat smf_helo(SMFICTX* ctx, char* name);
sfsistat smf_envfrom(SMFICTX* ctx, char** argv);
sfsistat smf_envrcpt(SMFICTX* ctx, char** argv);
sfsistat smf_header(SMFICTX* ctx, char* name, char* value);
sfsistat smf_eoh(SMFICTX* ctx);
sfsistat smf_body(SMFICTX* ctx, unsigned char* chunk, size_t length);
sfsistat smf_abort(SMFICTX* ctx);
sfsistat smf_close(SMFICTX* ctx);
