// The guard around every Milter callback: what escapes a callback's body becomes the
// ProcessingErrors answer and a log line, never an exception inside libmilter.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "smf_guard.h"
#include "smf_message.h"
#include "support/zv_test_support.h"
#include "zv_options.h"

namespace {

sfsistat throws_runtime_error(SMFICTX*, char*) {
  throw std::runtime_error("spool text too long");
}
sfsistat throws_bad_alloc(SMFICTX*) {
  throw std::bad_alloc();
}
sfsistat throws_something_else(SMFICTX*) {
  throw 42;
}
sfsistat answers_accept(SMFICTX*) {
  return SMFIS_ACCEPT;
}

TEST(CallbackGuard, WhatABodyThrowsBecomesTheProcessingErrorsStatusAndALogLine) {
  struct Case {
    const char* name;
    sfsistat (*callback)(SMFICTX*);
    int processing_errors;
    sfsistat status;
    std::string line;  // empty: nothing logged at Errors
  };
  auto runtime = [](SMFICTX* ctx) {
    char argument[] = "helo.example";
    return guarded<throws_runtime_error>(ctx, argument);
  };
  const std::string prefix = "[???]: FATAL ERROR: unexpected failure in a Milter callback - ";
  const Case cases[] = {
      {"runtime_error, tempfail", runtime, ACTION_TEMPFAIL, SMFIS_TEMPFAIL,
       prefix + "spool text too long"},
      {"bad_alloc, quarantine", guarded<throws_bad_alloc>, ACTION_QUARANTINE, SMFIS_DISCARD,
       prefix + "std::bad_alloc"},
      {"not a std::exception, reject", guarded<throws_something_else>, ACTION_REJECT, SMFIS_REJECT,
       prefix + "unknown exception"},
      {"the close callback", guarded<throws_something_else, true>, ACTION_REJECT, SMFIS_CONTINUE,
       prefix + "unknown exception"},
      {"nothing thrown", guarded<answers_accept>, ACTION_TEMPFAIL, SMFIS_ACCEPT, ""},
  };
  ActionsConfig& actions = filter_config()->actions;
  const ActionsConfig saved = actions;
  actions.use_custom_reply = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zvtest::CaptureLog log(ZV_LOG_ERRORS);
    actions.processing_errors = c.processing_errors;
    // No context: libmilter's accessors answer null, as for a connection without a record.
    EXPECT_EQ(c.callback(nullptr), c.status);
    if (c.line.empty()) {
      EXPECT_TRUE(log.texts().empty()) << ::testing::PrintToString(log.texts());
    } else {
      EXPECT_TRUE(log.has(c.line)) << ::testing::PrintToString(log.texts());
    }
  }
  actions = saved;
}

}  // namespace
