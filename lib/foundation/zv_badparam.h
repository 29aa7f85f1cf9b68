// The "bad parameters" log lines. A function that refuses null or out-of-range
// arguments logs one line in one of four fixed forms, naming its label, a 0/1 per tested
// argument (1 when the test failed), and where the refusal sits: the source module (the
// base name of the file, without its extension) and the line. The location is taken at
// the call, so the text can never name a file or line other than the caller's.
// Lines go to zv_log() at the Errors level; no lock is taken here.
#pragma once

#include <source_location>
#include <string_view>

// "<label> bad parameters (a.b) were passed (<module>:<line>)"
void zv_log_bad_parameters(const char* label, bool a, bool b,
                           std::source_location where = std::source_location::current());
// "<label> bad parameters (a.b.c) were passed (<module>:<line>) " (the trailing blank is
// part of the text)
void zv_log_bad_parameters(const char* label, bool a, bool b, bool c,
                           std::source_location where = std::source_location::current());
// "<label> bad parameters (a.b.c.d) were passed (<module>:<line>)"
void zv_log_bad_parameters(const char* label, bool a, bool b, bool c, bool d,
                           std::source_location where = std::source_location::current());
// "<label> (<module>:<line>) bad parameter was passed"
void zv_log_bad_parameter(const char* label,
                          std::source_location where = std::source_location::current());

// The module name of a source path: "lib/foundation/zv_conf.cpp" gives "zv_conf".
std::string_view zv_source_module(const char* path);
