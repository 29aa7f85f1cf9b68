#include "zv_mail.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/zv_test_support.h"
#include "zvc_lib.h"
#include "zvc_strings.h"

namespace {

using zvtest::CaptureLog;
using zvtest::TempDir;

std::vector<std::string> rcpts_of(const MailEnvelope* envelope) {
  std::vector<std::string> out;
  if (const StringList* list = e_rcpts(envelope))
    out.assign(list->items.begin(), list->items.end());
  return out;
}

bool exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

TEST(MailAddress, Normalises) {
  struct Row {
    const char* address;
    const char* expected;
  };
  const Row rows[] = {
      {"John Doe <john@host>", "john@host"},
      {"<john@host>", "john@host"},
      {"<>", "<>"},
      {"john@host", "john@host"},
      {"", ""},
      {"a> b <c", "a> b <c"},                  // the only ">" comes before the only "<"
      {"<a@b> <c@d>", "a@b> <c@d"},            // first "<" to last ">"
      {"  < Mixed@Case >  ", " Mixed@Case "},  // case and blanks are kept
      {"<john@host", "<john@host"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.address);
    char* normal = mail_address(row.address);
    ASSERT_NE(normal, nullptr);
    EXPECT_STREQ(normal, row.expected);
    free(normal);
  }
  EXPECT_EQ(mail_address(nullptr), nullptr);
}

TEST(Envelope, KeepsNormalisedSenderAndRecipients) {
  CaptureLog log(ZV_LOG_DEBUG);
  MailEnvelopePtr envelope(e_create("Sender <from@host>"));
  ASSERT_TRUE(envelope);
  EXPECT_STREQ(e_from(envelope.get()), "from@host");
  EXPECT_EQ(e_rcpts(envelope.get()), nullptr);
  EXPECT_EQ(e_rcpts_num(envelope.get()), 0);
  EXPECT_EQ(e_has_rcpt(envelope.get(), "a@host"), 0);

  for (const char* rcpt : {"<a@host>", "B@host", "<a@host>"})
    EXPECT_EQ(e_add_rcpt(envelope.get(), rcpt), 1);
  EXPECT_EQ(rcpts_of(envelope.get()), (std::vector<std::string>{"a@host", "B@host", "a@host"}));
  EXPECT_EQ(e_rcpts_num(envelope.get()), 3);
  EXPECT_EQ(e_has_rcpt(envelope.get(), "B@host"), 1);
  EXPECT_EQ(e_has_rcpt(envelope.get(), "b@host"), 0);
  EXPECT_EQ(e_has_rcpt(envelope.get(), "<B@host>"), 0);

  EXPECT_EQ(e_set_from(envelope.get(), "<>"), 1);
  EXPECT_STREQ(e_from(envelope.get()), "<>");
  EXPECT_EQ(e_set_from(envelope.get(), nullptr), 0);
  EXPECT_EQ(e_set_from(nullptr, "x"), 0);
  EXPECT_EQ(e_add_rcpt(envelope.get(), nullptr), 0);
  EXPECT_EQ(e_add_rcpt(nullptr, "x"), 0);
  EXPECT_TRUE(log.contains("mail: e_add_rcpt( "));
  EXPECT_TRUE(log.contains("[B@host] )"));
}

TEST(Envelope, BorrowedRecipientsAreNeitherExtendedNorFreed) {
  MailEnvelopePtr owner(e_create("<owner@host>"));
  ASSERT_EQ(e_add_rcpt(owner.get(), "<a@host>"), 1);
  {
    MailEnvelopePtr borrower(e_create("<filter@host>"));
    ASSERT_EQ(e_add_rcpt(borrower.get(), "<own@host>"), 1);  // freed by e_set_rcpts
    EXPECT_EQ(e_set_rcpts(borrower.get(), e_rcpts(owner.get())), 1);
    EXPECT_EQ(e_rcpts(borrower.get()), e_rcpts(owner.get()));
    EXPECT_EQ(e_add_rcpt(borrower.get(), "<b@host>"), 0);
    EXPECT_EQ(rcpts_of(borrower.get()), std::vector<std::string>{"a@host"});
    EXPECT_EQ(e_rcpts_num(borrower.get()), 1);
  }
  // The borrower is gone; the owner's list is intact (AddressSanitizer checks the rest).
  EXPECT_EQ(rcpts_of(owner.get()), std::vector<std::string>{"a@host"});
  EXPECT_EQ(e_set_rcpts(nullptr, nullptr), 0);

  // Borrowing no list at all still refuses additions, and nothing is allocated for them.
  MailEnvelopePtr empty(e_create(nullptr));
  EXPECT_EQ(e_set_rcpts(empty.get(), nullptr), 1);
  EXPECT_EQ(e_add_rcpt(empty.get(), "<c@host>"), 0);
  EXPECT_EQ(e_rcpts(empty.get()), nullptr);
}

TEST(Envelope, PrintsAboveInfo) {
  CaptureLog log(ZV_LOG_DEBUG);
  MailEnvelopePtr envelope(e_create(nullptr));
  e_print(envelope.get(), ZV_LOG_INFO);
  EXPECT_TRUE(log.texts().empty());
  e_print(envelope.get(), ZV_LOG_VERBOSE);
  EXPECT_EQ(log.texts(), (std::vector<std::string>{"mail: --- print envelope info ---",
                                                   "mail: envelope: from=absent",
                                                   "mail: envelope: recipient(s) is absent"}));
  ASSERT_EQ(e_set_from(envelope.get(), "<s@host>"), 1);
  ASSERT_EQ(e_add_rcpt(envelope.get(), "<a@host>"), 1);
  ASSERT_EQ(e_add_rcpt(envelope.get(), "<b@host>"), 1);
  log.clear();
  e_print(envelope.get(), ZV_LOG_DEBUG);
  EXPECT_EQ(log.texts(), (std::vector<std::string>{
                             "mail: --- print envelope info ---", "mail: envelope: from=s@host",
                             "mail: envelope: rcpts num = 2", "mail: envelope: to=a@host",
                             "mail: envelope: to=b@host"}));
  for (const auto& line : log.lines()) EXPECT_FALSE(line.to_syslog);
  e_print(nullptr, ZV_LOG_DEBUG);
}

TEST(MailRecord, TextPropertiesLoseOneLineFeed) {
  struct Row {
    int kind;
    const char* value;
    const char* stored;
    const char* logged;
  };
  const Row rows[] = {
      {MAIL_SUBJECT, "Hello\n", "Hello", "mail: subject = Hello"},
      {MAIL_SUBJECT, "Hello\r\n", "Hello\r", "mail: subject = Hello\r"},
      {MAIL_SUBJECT, "two\n\n", "two\n", "mail: subject = two\n"},
      {MAIL_SUBJECT, "\n", "", "mail: subject = "},
      {MAIL_MESSAGE_ID, "4B2A1C", "4B2A1C", "mail: message_id = 4B2A1C"},
      {MAIL_REPLY_STRING, "554 5.7.1 virus found\n", "554 5.7.1 virus found",
       "mail: reply string = 554 5.7.1 virus found"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.value);
    CaptureLog log(ZV_LOG_DEBUG);
    MailInfoPtr mail(mail_create("/nonexistent/spool"));
    ASSERT_TRUE(mail);
    ASSERT_EQ(mail_set(mail.get(), row.kind, "previous"), 1);
    log.clear();
    ASSERT_EQ(mail_set(mail.get(), row.kind, row.value), 1);
    EXPECT_STREQ(static_cast<const char*>(mail_get(mail.get(), row.kind)), row.stored);
    const char* name = row.kind == MAIL_SUBJECT      ? "subject"
                       : row.kind == MAIL_MESSAGE_ID ? "message_id"
                                                     : "reply string";
    EXPECT_EQ(log.texts(),
              (std::vector<std::string>{std::string("mail: free previous ") + name + " = previous",
                                        row.logged}));
  }
}

TEST(MailRecord, PropertyEdgeCases) {
  CaptureLog log(ZV_LOG_DEBUG);
  MailInfoPtr mail(mail_create(nullptr));
  ASSERT_TRUE(mail);
  EXPECT_EQ(mail_path(mail.get()), nullptr);
  EXPECT_NE(mail_envelope(mail.get()), nullptr);
  EXPECT_EQ(mail_get(mail.get(), MAIL_SUBJECT), nullptr);

  EXPECT_EQ(mail_set(mail.get(), MAIL_SUBJECT, nullptr), 0);
  EXPECT_TRUE(log.has("mail: null value for subject property"));
  EXPECT_EQ(mail_set(mail.get(), MAIL_REPLY_STRING, nullptr), 0);
  EXPECT_TRUE(log.has("mail: null value for reply string property"));

  const int offset = 17;
  const int length = 230;
  EXPECT_EQ(mail_set(mail.get(), MAIL_HEADERS_OFFSET, &offset), 1);
  EXPECT_EQ(mail_set(mail.get(), MAIL_HEADERS_LENGTH, &length), 1);
  EXPECT_EQ(*static_cast<const int*>(mail_get(mail.get(), MAIL_HEADERS_OFFSET)), 17);
  EXPECT_EQ(*static_cast<const int*>(mail_get(mail.get(), MAIL_HEADERS_LENGTH)), 230);
  EXPECT_TRUE(log.has("mail: headers offset = 17"));
  EXPECT_TRUE(log.has("mail: headers length = 230"));
  EXPECT_EQ(mail_set(mail.get(), MAIL_HEADERS_LENGTH, nullptr), 0);

  EXPECT_EQ(mail_set(mail.get(), 5, "ignored"), 1);
  EXPECT_EQ(mail_get(mail.get(), 5), nullptr);
  EXPECT_EQ(mail_get(mail.get(), -1), nullptr);
  EXPECT_EQ(mail_set(nullptr, MAIL_SUBJECT, "x"), 0);
  EXPECT_EQ(mail_get(nullptr, MAIL_SUBJECT), nullptr);
}

TEST(MailRecord, OwnsEnvelopeAndResult) {
  MailInfoPtr mail(mail_create("/spool/file"));
  ASSERT_TRUE(mail);
  EXPECT_STREQ(mail_path(mail.get()), "/spool/file");
  MailEnvelope* envelope = e_create("<x@y>");
  ASSERT_EQ(mail_set_envelope(mail.get(), envelope), 1);
  EXPECT_EQ(mail_envelope(mail.get()), envelope);
  EXPECT_EQ(mail_set_envelope(mail.get(), nullptr), 0);
  EXPECT_EQ(mail_envelope(mail.get()), envelope);

  EXPECT_EQ(mail_result(mail.get()), nullptr);
  ScanResult* first = scanresult_new();
  ASSERT_EQ(mail_set_result(mail.get(), first), 1);
  ScanResult* second = scanresult_new();
  ASSERT_EQ(mail_set_result(mail.get(), second), 1);  // frees the first
  EXPECT_EQ(mail_result(mail.get()), second);
  ASSERT_EQ(mail_set_result(mail.get(), second), 1);  // same record: kept
  EXPECT_EQ(mail_result(mail.get()), second);
  ScanResultPtr orphan(scanresult_new());
  EXPECT_EQ(mail_set_result(nullptr, orphan.get()), 0);
  EXPECT_EQ(mail_set_envelope(nullptr, envelope), 0);
}

TEST(MailRecord, DeleteUnlinksUnlessKept) {
  TempDir dir;
  struct Row {
    const char* name;
    int unlink_file;
    bool keep;
    bool survives;
  };
  const Row rows[] = {
      {"unlinked", 1, false, false},
      {"kept", 1, true, true},
      {"debug spool", 0, false, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CaptureLog log(ZV_LOG_DEBUG);
    const std::string path = dir.write(row.name, "data");
    mail_info* mail = mail_create(path.c_str());
    ASSERT_NE(mail, nullptr);
    if (row.keep) mail_keep_file(mail);
    mail_delete(mail, row.unlink_file);
    EXPECT_EQ(exists(path), row.survives);
    EXPECT_EQ(log.texts()[0], "mail: detete (unlink = " + std::to_string(row.unlink_file) +
                                  ", path = " + path + ")");
    EXPECT_EQ(log.has("mail: file " + path + " unlinked"), !row.survives);
  }
  CaptureLog log(ZV_LOG_ERRORS);
  const std::string missing = dir.file("missing");
  mail_delete(mail_create(missing.c_str()), 1);
  EXPECT_EQ(log.texts(), std::vector<std::string>{"mail: cannot unlink " + missing +
                                                  " - No such file or directory"});
  mail_delete(nullptr, 1);
}

TEST(MailRecord, RereadFindsTheHeaderBlock) {
  TempDir dir;
  const std::string long_header = "X-Long: " + std::string(4095 - 8, 'a');  // fills the buffer
  struct Row {
    const char* name;
    std::string content;
    int length;
    const char* note;  // expected Debug line about the end, or null
  };
  const Row rows[] = {
      {"crlf", "Subject: x\r\nFrom: y\r\n\r\nbody\r\n", 23, nullptr},
      {"lf", "Subject: x\nFrom: y\n\nbody\n\nmore\n", 20, nullptr},
      {"first line empty", "\nbody\n", 1, nullptr},
      {"first line crlf", "\r\nbody\n", 2, nullptr},
      {"no empty line", "A: b\nC: d\n", 9, "mail: message seems to have empty body"},
      {"no newline at all", "A: b", 3, "mail: message seems to have empty body"},
      {"one byte", "x", 1, "mail: message seems to have empty body"},
      // A header line that exactly fills the line buffer leaves its newline for the next
      // read; that newline is not the empty line.
      {"long header", long_header + "\nB: c\n\nbody", 4096 + 5 + 1, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CaptureLog log(ZV_LOG_DEBUG);
    MailInfoPtr mail(mail_create(dir.write("spool", row.content).c_str()));
    const int stale = 99;
    ASSERT_EQ(mail_set(mail.get(), MAIL_HEADERS_OFFSET, &stale), 1);
    ASSERT_EQ(mail_reread_headers(mail.get()), 1);
    EXPECT_EQ(mail->headers_offset, 0);
    EXPECT_EQ(mail->headers_length, row.length);
    EXPECT_EQ(log.has("mail: message seems to have empty body"), row.note != nullptr);
  }

  CaptureLog log(ZV_LOG_DEBUG);
  MailInfoPtr empty(mail_create(dir.write("empty", "").c_str()));
  EXPECT_EQ(mail_reread_headers(empty.get()), 0);
  EXPECT_EQ(log.texts(), std::vector<std::string>{"mail: parse envelope error (s=0.r=0.h=0)"});

  CaptureLog errors(ZV_LOG_ERRORS);
  const std::string missing = dir.file("missing");
  MailInfoPtr gone(mail_create(missing.c_str()));
  EXPECT_EQ(mail_reread_headers(gone.get()), 0);
  EXPECT_EQ(errors.texts(), std::vector<std::string>{"mail: cannot open mailfile " + missing +
                                                     " - No such file or directory"});
  MailInfoPtr pathless(mail_create(nullptr));
  EXPECT_EQ(mail_reread_headers(pathless.get()), 0);
  EXPECT_EQ(mail_reread_headers(nullptr), 0);
}

TEST(MailRecord, RereadLogsEachHeaderLine) {
  TempDir dir;
  CaptureLog log(ZV_LOG_DEBUG);
  MailInfoPtr mail(mail_create(dir.write("spool", "A: 1\r\nB: 2\n\nbody\n").c_str()));
  ASSERT_EQ(mail_reread_headers(mail.get()), 1);
  EXPECT_EQ(log.texts(),
            (std::vector<std::string>{"mail: parse headerline: A: 1",
                                      "mail: parse headerline: B: 2", "mail: parse headerline: "}));
}

}  // namespace
