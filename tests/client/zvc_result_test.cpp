// The scan result record, status texts and statistics texts.
#include "zvc_result.h"

#include <gtest/gtest.h>

#include <string>

#include "support/zv_test_support.h"

namespace {

using zvtest::CaptureLog;

TEST(StatusText, JoinsTheTextsOfTheSetBits) {
  struct Row {
    uint32_t status;
    const char* text;
  };
  const Row rows[] = {
      {0, "success"},
      {0x20, "known virus is found"},
      {0x20 | 0x100, "known virus is found, one (or more) object(s) has been cured"},
      {0x21, "read error, known virus is found"},
      {0x10000000, ""},
      {0x8000, "invalid call"},
      {0x4000000 | 0x100000,
       "after scanning/curing composite object is clean, a hacktool is found"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.status);
    EXPECT_EQ(status_text(r.status), r.text);
  }
}

TEST(ScanResultRecord, AccessorsAndNullRecord) {
  CaptureLog log(ZV_LOG_DEBUG);
  EXPECT_EQ(scanresult_status(nullptr), 0x8000u);
  EXPECT_TRUE(log.has("zvlib: try to get status from NULL pointer"));
  EXPECT_EQ(status_text(scanresult_status(nullptr)), "invalid call");
  EXPECT_STREQ(scanresult_report(nullptr), "FATAL ERROR: null pointer passed");
  EXPECT_EQ(scanresult_set_status(nullptr, 1), 0);
  EXPECT_EQ(scanresult_set_report(nullptr, "x"), 0);
  EXPECT_EQ(scanresult_set_quarantine(nullptr, "x"), 0);
  EXPECT_EQ(scanresult_viruses(nullptr), nullptr);
  EXPECT_EQ(scanresult_stats(nullptr), nullptr);
  EXPECT_EQ(scanresult_cured_length(nullptr), 0u);
  scanresult_delete(nullptr);

  ScanResultPtr r(scanresult_new());
  ASSERT_TRUE(r);
  EXPECT_EQ(scanresult_status(r.get()), 0u);
  EXPECT_STREQ(scanresult_report(r.get()),
               "Zarvik Daemon report was not requested in this configuration.");
  EXPECT_EQ(scanresult_set_status(r.get(), 0xF0000000u), 1);
  EXPECT_EQ(scanresult_status(r.get()), 0xF0000000u);
  EXPECT_EQ(scanresult_set_report(r.get(), "daemon said\n"), 1);
  EXPECT_STREQ(scanresult_report(r.get()), "daemon said\n");
  EXPECT_EQ(scanresult_set_report(r.get(), nullptr), 1);
  EXPECT_STREQ(scanresult_report(r.get()),
               "Zarvik Daemon report was not requested in this configuration.");
  EXPECT_EQ(scanresult_rule(r.get()), nullptr);
  EXPECT_EQ(scanresult_cured(r.get()), nullptr);
  // A stored length without content still reads as no content.
  r->cured_length = 77;
  EXPECT_EQ(scanresult_cured_length(r.get()), 0u);

  EXPECT_EQ(scanresult_set_quarantine(r.get(), nullptr), 1);
  EXPECT_EQ(scanresult_quarantine(r.get()), nullptr);
  EXPECT_EQ(scanresult_set_quarantine(r.get(), "first"), 1);
  EXPECT_FALSE(log.has("zvlib: try to reset quarantine name in scanresult"));
  EXPECT_EQ(scanresult_set_quarantine(r.get(), "second"), 1);
  EXPECT_TRUE(log.has("zvlib: try to reset quarantine name in scanresult"));
  EXPECT_STREQ(scanresult_quarantine(r.get()), "second");
  EXPECT_EQ(&scanresult_viruses(r.get())->lists, &r->viruses.lists);
}

TEST(StatReport, ListsTheNonZeroCountersInOrder) {
  ScanStatistics s;
  EXPECT_EQ(stat_report(&s), std::string());
  s.scanned = 5;  // never part of the text
  s.cured = 1;
  s.known = 2;
  EXPECT_EQ(stat_report(&s), std::string("Known viruses : 2\nCured : 1\n"));
  s.hacktools = 3;
  s.errors = -1;
  EXPECT_EQ(stat_report(&s),
            std::string("Known viruses : 2\nIntrusion tool : 3\nCured : 1\nScanning error : -1\n"));
  EXPECT_FALSE(stat_report(nullptr));
}

TEST(StatPrint, LogsEveryCounterAboveInfo) {
  CaptureLog log(ZV_LOG_DEBUG);
  ScanStatistics s;
  stat_print(ZV_LOG_INFO, &s);
  EXPECT_TRUE(log.texts().empty());
  stat_print(ZV_LOG_VERBOSE, nullptr);
  EXPECT_TRUE(log.texts().empty());
  s.scanned = 1;
  s.riskware = 4;
  stat_print(ZV_LOG_VERBOSE, &s);
  const std::vector<std::string> want = {
      "zvlib: Statistic:",
      "zvlib: stat: Scanned objects : 1",
      "zvlib: stat: Known viruses : 0",
      "zvlib: stat: Modifications : 0",
      "zvlib: stat: Suspicious : 0",
      "zvlib: stat: Advertising software : 0",
      "zvlib: stat: Dialer program : 0",
      "zvlib: stat: Joke(Hoax) program : 0",
      "zvlib: stat: Potentially dangerous software : 4",
      "zvlib: stat: Intrusion tool : 0",
      "zvlib: stat: Cured : 0",
      "zvlib: stat: Deleted : 0",
      "zvlib: stat: FilterRule Reject : 0",
      "zvlib: stat: Skipped object : 0",
      "zvlib: stat: Archive restriction : 0",
      "zvlib: stat: Scanning error : 0",
  };
  EXPECT_EQ(log.texts(), want);
}

}  // namespace
