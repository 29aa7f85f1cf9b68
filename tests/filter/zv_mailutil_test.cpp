#include "zv_mailutil.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>

#include "support/zv_test_support.h"
#include "zv_mail.h"
#include "zv_owned.h"

namespace {

using zvtest::CaptureLog;

// decode_subject as an optional string: none for a null result.
std::optional<std::string> decode(const char* subject, const char* charset) {
  zv::UniqueMalloc<char> out(decode_subject(subject, charset));
  if (!out) return std::nullopt;
  return std::string(out.get());
}

bool is_token(const std::string& text) {
  if (text.size() != 32) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

TEST(IsSpecial, NeedsOneRecipientTheSenderAndTheRecipient) {
  struct Row {
    const char* name;
    const char* from;
    std::vector<const char*> rcpts;
    const char* a;
    const char* b;
    int expected;
    const char* flags;
  };
  const Row rows[] = {
      {"redirected copy",
       "<filter@host>",
       {"<quarantine@host>"},
       "<filter@host>",
       "<quarantine@host>",
       1,
       "(1.1.1)"},
      {"addresses without brackets",
       "Filter <filter@host>",
       {"quarantine@host"},
       "filter@host",
       "quarantine@host",
       1,
       "(1.1.1)"},
      {"two recipients",
       "<filter@host>",
       {"<quarantine@host>", "<other@host>"},
       "<filter@host>",
       "<quarantine@host>",
       0,
       "(0.1.1)"},
      {"other sender",
       "<user@host>",
       {"<filter@host>"},
       "<filter@host>",
       "<filter@host>",
       0,
       "(1.0.1)"},
      {"other recipient",
       "<filter@host>",
       {"<user@host>"},
       "<filter@host>",
       "<admin@host>",
       0,
       "(1.1.0)"},
      {"case counts",
       "<Filter@host>",
       {"<admin@host>"},
       "<filter@host>",
       "<admin@host>",
       0,
       "(1.0.1)"},
      {"no recipients", "<filter@host>", {}, "<filter@host>", "<filter@host>", 0, "(0.1.0)"},
      {"null sender", "<>", {"<filter@host>"}, "<>", "<filter@host>", 1, "(1.1.1)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CaptureLog log(ZV_LOG_VERBOSE);
    MailInfoPtr mail(mail_create(nullptr));
    ASSERT_TRUE(mail);
    ASSERT_EQ(e_set_from(mail_envelope(mail.get()), row.from), 1);
    for (const char* rcpt : row.rcpts) ASSERT_EQ(e_add_rcpt(mail_envelope(mail.get()), rcpt), 1);
    EXPECT_EQ(is_special(mail.get(), row.a, row.b, "redirect"), row.expected);
    EXPECT_TRUE(log.has(std::string("is_special(redirect):  -> ") + row.flags));
  }
}

TEST(IsSpecial, NullArgumentsAnswerNo) {
  CaptureLog log(ZV_LOG_ERRORS);
  MailInfoPtr mail(mail_create(nullptr));
  EXPECT_EQ(is_special(mail.get(), nullptr, "<a@b>", "loop"), 0);
  EXPECT_TRUE(log.contains("is_special bad parameters (1.0) were passed (zv_mailutil:"));
  EXPECT_EQ(is_special(mail.get(), "<a@b>", nullptr, "loop"), 0);
  EXPECT_TRUE(log.contains("is_special bad parameters (0.1) were passed (zv_mailutil:"));
  EXPECT_EQ(is_special(nullptr, "<a@b>", "<a@b>", "loop"), 0);
}

TEST(DecodeSubject, DecodesWellFormedWords) {
  struct Row {
    const char* subject;
    const char* charset;
    const char* expected;
  };
  const Row rows[] = {
      {"Plain subject, no words", "us-ascii", "Plain subject, no words"},
      {"", "us-ascii", ""},
      {"a=b and =3D stay", "us-ascii", "a=b and =3D stay"},
      {"ends in =", "us-ascii", "ends in ="},
      {"=?KOI8-R?B?0NLJ18XU?=", "koi8-r", "\xd0\xd2\xc9\xd7\xc5\xd4"},
      {"=?koi8?b?0NLJ18XU?=", "KOI8-R", "\xd0\xd2\xc9\xd7\xc5\xd4"},
      {"=?us-ascii?Q?a_b?=", nullptr, "a b"},
      {"=?us-ascii?q?=3D?=", "us-ascii", "="},
      {"=?us-ascii?Q?a?= =?us-ascii?Q?b?=", "us-ascii", "a b"},
      {"Re: =?us-ascii?B?aGVsbG8=?= world", "us-ascii", "Re: hello world"},
      {"=?us-ascii?B?YQ==?=", "us-ascii", "a"},
      {"=?us-ascii?B?YQ0NCmI=?=", "us-ascii", "a\r\nb"},      // doubled CR dropped
      {"=?us-ascii?B?aGVs\r\n bG8=?=", "us-ascii", "hello"},  // folding inside the data
      {"=?iso-8859-1?Q?caf=E9\t\x85\xe9?=", "iso-8859-1", "caf\xe9\xe9"},
      {"=?us-ascii?Q?abc?xyz", "us-ascii", "yz"},  // not closed by "?=": nothing
      {"=?us-ascii?Q?abc?", "us-ascii", ""},       // ... also at the very end, where
                                                   // the walk must stop at the end
      {"=??Q?any_charset?=", "us-ascii", "any charset"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.subject);
    EXPECT_EQ(decode(row.subject, row.charset), std::optional<std::string>(row.expected));
  }
}

TEST(DecodeSubject, RefusesMalformedAndForeignWords) {
  struct Row {
    const char* subject;
    const char* charset;
    const char* message;
  };
  const Row rows[] = {
      {"=?KOI8-R?B?0NLJ18XU?=", "us-ascii",
       "decode_subject: template charset(us-ascii) and message charset(KOI8-R) is different"},
      {"=?koi8-r-extra?B?0NLJ18XU?=", "koi8-r",
       "decode_subject: template charset(koi8-r) and message charset(koi8-r-extra) is different"},
      {"=?us-ascii?X?abc?=", "us-ascii", "decode_subject: invalid encoding X specified"},
      {"x =?us-ascii", "us-ascii", "decode_subject: 2nd ? not found in =?us-ascii"},
      {"=?us-ascii?", "us-ascii", "decode_subject: 3rd ? not found in =?us-ascii?"},
      {"=?us-ascii?Q", "us-ascii", "decode_subject: 3rd ? not found in =?us-ascii?Q"},
      {"=?us-ascii?QQabc?=", "us-ascii", "decode_subject: 3rd ? not found in =?us-ascii?QQabc?="},
      {"=?us-ascii?Q?abc", "us-ascii", "decode_subject: last ? not found in =?us-ascii?Q?abc"},
      {"=?us-ascii?B?ab$c?=", "us-ascii", "decode_subject: failed to decode base64"},
      {"=?us-ascii?B?YQ==\x80?=", "us-ascii", nullptr},  // "=" ends the data: decodes
      {"=?us-ascii?Q?=3d?=", "us-ascii", "decode_subject: failed to decode qp"},
      {"=?us-ascii?Q?a=?=", "us-ascii", "decode_subject: failed to decode qp"},
      {"=?us-ascii?Q?a=4?=", "us-ascii", "decode_subject: failed to decode qp"},
      {"=?us-ascii?Q?=G1?=", "us-ascii", "decode_subject: failed to decode qp"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.subject);
    CaptureLog log(ZV_LOG_DEBUG);
    if (row.message == nullptr) {
      EXPECT_NE(decode(row.subject, row.charset), std::nullopt);
      continue;
    }
    EXPECT_EQ(decode(row.subject, row.charset), std::nullopt);
    EXPECT_EQ(log.texts(), std::vector<std::string>{row.message});
  }
  EXPECT_EQ(decode(nullptr, "us-ascii"), std::nullopt);
}

TEST(DecodeSubject, LongSubjectsDecodeWhole) {
  std::string subject;
  std::string expected;
  for (int i = 0; i < 5000; ++i) {
    subject += "=?utf-8?B?aGVsbG8=?= =?utf-8?Q?w=C3=B6rld_?= ";
    expected += "hello w\xc3\xb6rld  ";
  }
  subject += std::string(100000, 'x');
  expected += std::string(100000, 'x');
  EXPECT_EQ(decode(subject.c_str(), "UTF-8"), expected);
}

// Random texts made of the characters that steer the decoder: whatever the input, the
// result is either null or a text no longer than the input. Run under AddressSanitizer this
// also shows that no byte outside the input or the output buffer is touched.
TEST(DecodeSubject, ArbitraryInputStaysInsideItsBuffers) {
  const std::string alphabet = "=?=?BbQqXus-ascii_AZaz09+/=3D\r\n \t\x80\xe9";
  std::mt19937 random(20261210);
  std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
  std::uniform_int_distribution<int> length(0, 40);
  const char* words[] = {"=?us-ascii?B?", "=?us-ascii?Q?", "?=", "=?", "?"};
  std::uniform_int_distribution<size_t> word(0, std::size(words) - 1);
  for (int round = 0; round < 20000; ++round) {
    std::string subject;
    const int n = length(random);
    for (int i = 0; i < n; ++i) {
      if (i % 7 == 0)
        subject += words[word(random)];
      else
        subject += alphabet[pick(random)];
    }
    // A heap copy of exactly the text's size, so that reading past it is caught.
    std::unique_ptr<char[]> exact(new char[subject.size() + 1]);
    memcpy(exact.get(), subject.c_str(), subject.size() + 1);
    zv::UniqueMalloc<char> out(decode_subject(exact.get(), "us-ascii"));
    if (out) {
      ASSERT_LE(strlen(out.get()), subject.size()) << subject;
    }
  }
}

TEST(SecureHash, DigestOfTimePidAndSalt) {
  char token[SECURE_TOKEN_SIZE];
  // MD5 over the little-endian words 1700000000, 123456, 4242 and "secret salt".
  ASSERT_EQ(secure_hash_compute(1700000000u, 123456u, 4242u, "secret salt", token, sizeof token),
            1);
  EXPECT_STREQ(token, "b778fbdd8cd59a4e8ae910e3a80a7e95");
  ASSERT_EQ(secure_hash_compute(0, 0, 1, "", token, sizeof token), 1);
  EXPECT_STREQ(token, "8d092ea4630dd70d6d45d6cdf85b7d74");

  CaptureLog log(ZV_LOG_ERRORS);
  EXPECT_EQ(secure_hash_compute(0, 0, 1, "salt", token, SECURE_TOKEN_SIZE - 1), 0);
  EXPECT_EQ(secure_hash_compute(0, 0, 1, nullptr, token, sizeof token), 0);
}

TEST(SecureHash, SetUpFromTheNotificationOptions) {
  CaptureLog log(ZV_LOG_DEBUG);
  char token[SECURE_TOKEN_SIZE] = "stale";
  EXPECT_EQ(setup_secure_hash("NotificationOptions", 0, "salt", token, sizeof token), 1);
  EXPECT_STREQ(token, "");
  EXPECT_TRUE(log.texts().empty());

  for (const char* salt : {static_cast<const char*>(nullptr), ""}) {
    log.clear();
    EXPECT_EQ(setup_secure_hash("NotificationOptions", 1, salt, token, sizeof token), 0);
    EXPECT_EQ(log.texts(), std::vector<std::string>{"read section NotificationOptions: you "
                                                    "should specify NotifyHashSalt if use "
                                                    "FastNotify"});
  }

  ASSERT_EQ(
      setup_secure_hash("NotificationOptions", 1, "an administrator's secret", token, sizeof token),
      1);
  EXPECT_TRUE(is_token(token)) << token;
  char other[SECURE_TOKEN_SIZE];
  ASSERT_EQ(make_secure_hash("another secret", other, sizeof other), 1);
  EXPECT_TRUE(is_token(other)) << other;
  EXPECT_STRNE(token, other);
}

}  // namespace
