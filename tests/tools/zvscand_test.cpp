// The stand-in daemon's detection engine, signatures file and MIME scanning/treatment,
// exercised in-process.
#include <gmime/gmime.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/zv_test_support.h"
#include "tools/zvscand_signatures.h"
#include "zvc_lib.h"
#include "zvscand_engine.h"
#include "zvscand_mime.h"

using zvscand::FindingKind;
using zvscand::ScanOutcome;
using zvscand::Signature;

namespace {

const std::string kEicar = zvscand::eicar_string();

std::string base64(const std::string& in) {
  static const char t[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    unsigned v =
        (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
    out += {t[v >> 18], t[(v >> 12) & 63], t[(v >> 6) & 63], t[v & 63]};
  }
  if (i + 1 == in.size()) {
    unsigned v = (unsigned char)in[i] << 16;
    out += {t[v >> 18], t[(v >> 12) & 63], '=', '='};
  } else if (i + 2 == in.size()) {
    unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8;
    out += {t[v >> 18], t[(v >> 12) & 63], t[(v >> 6) & 63], '='};
  }
  return out;
}

// EICAR in quoted-printable with its '$' characters encoded and a soft line break, so
// that the raw bytes do not hold the string.
std::string eicar_qp() {
  std::string out;
  for (size_t i = 0; i < kEicar.size(); ++i) {
    if (i == 30) out += "=\r\n";
    out += kEicar[i] == '$' ? std::string("=24") : std::string(1, kEicar[i]);
  }
  return out;
}

std::string attachment(const std::string& name, const std::string& body,
                       const std::string& encoding = "") {
  std::string h =
      "Content-Type: application/octet-stream\r\nContent-Disposition: attachment; "
      "filename=\"" +
      name + "\"\r\n";
  if (!encoding.empty()) h += "Content-Transfer-Encoding: " + encoding + "\r\n";
  return h + "\r\n" + body + "\r\n";
}

std::string text_part(const std::string& body) {
  return "Content-Type: text/plain\r\n\r\n" + body + "\r\n";
}

std::string multipart(const std::vector<std::string>& parts, const std::string& boundary = "b1",
                      const std::string& headers = "") {
  std::string m = "From: a@example.org\r\nTo: c@example.org\r\nSubject: test\r\n" + headers +
                  "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"" + boundary +
                  "\"\r\n\r\n";
  for (const auto& p : parts) m += "--" + boundary + "\r\n" + p;
  return m + "--" + boundary + "--\r\n";
}

const std::string kSignatures = "# every kind of finding\n" +
                                std::string(zvtest::kFindingKindSignatures) +
                                "H:Test-Hacktool:4841434b2d534947\n"
                                "K:Test-Incurable:\"INCUR-SIG\":incurable\n"
                                "\n"
                                "status=0x1000:Test-Skipped:\"SKIP-SIG\"\n"
                                "status=0x2000:Test-Archive:\"ARCH-SIG\"\n"
                                "status=0x1:Test-ReadError:\"ERR-SIG\"\n"
                                "rule:Test-Rule:\"X-Spam-Flag: YES\"\n";

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    engine_ = zvscand::load_engine(dir_.write("sigs", kSignatures), &error);
    ASSERT_NE(engine_, nullptr) << error;
  }
  ScanOutcome scan(const std::string& data, uint32_t flags = 0, uint32_t ext = 0) {
    return zvscand::scan_content(*engine_, "/spool/msg.1", data, flags, ext);
  }
  zvtest::TempDir dir_;
  std::shared_ptr<const zvscand::Engine> engine_;
};

// Number of leaf parts and whether some decoded part contains `needle`.
struct Parsed {
  bool parsed = false;
  int leaves = 0;
  std::string all_text;  // decoded leaves, concatenated
};

void collect(GMimeObject* parent, GMimeObject* part, gpointer data) {
  (void)parent;
  auto* p = static_cast<Parsed*>(data);
  if (!GMIME_IS_PART(part)) return;
  ++p->leaves;
  GMimeDataWrapper* w = g_mime_part_get_content(GMIME_PART(part));
  if (w == nullptr) return;
  GMimeStream* mem = g_mime_stream_mem_new();
  g_mime_data_wrapper_write_to_stream(w, mem);
  GByteArray* b = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem));
  p->all_text.append(reinterpret_cast<const char*>(b->data), b->len);
  g_object_unref(mem);
}

Parsed parse(const std::string& data) {
  Parsed p;
  GMimeStream* s = g_mime_stream_mem_new_with_buffer(data.data(), data.size());
  GMimeParser* parser = g_mime_parser_new_with_stream(s);
  GMimeMessage* m = g_mime_parser_construct_message(parser, nullptr);
  if (m != nullptr) {
    p.parsed = true;
    g_mime_message_foreach(m, collect, &p);
    g_object_unref(m);
  }
  g_object_unref(parser);
  g_object_unref(s);
  return p;
}

}  // namespace

TEST(SignatureLine, ParsesEveryKindAndRefusesMalformedLines) {
  struct Row {
    const char* line;
    bool ok;
    FindingKind kind = FindingKind::kVirus;
    char type = 0;
    uint32_t status = 0;
    const char* name = "";
    std::string pattern = {};
    bool incurable = false;
  };
  const Row rows[] = {
      {"K:Name:4b4E", true, FindingKind::kVirus, 'K', 0x20, "Name", "KN", false},
      {"M:Mod:\"a:b\":incurable", true, FindingKind::kVirus, 'M', 0x80, "Mod", "a:b", true},
      {"H:Tool:\"q\\\"\\\\\\r\\n\\t\\x00z\"", true, FindingKind::kVirus, 'H', 0x4000000, "Tool",
       std::string("q\"\\\r\n\t\0z", 8), false},
      {"rule:Spam rule:\"X-Spam: yes\"", true, FindingKind::kRule, 0, 0x20000, "Spam rule",
       "X-Spam: yes", false},
      {"status=0x46000:Bomb:\"zz\"\r", true, FindingKind::kStatus, 0, 0x46000, "Bomb", "zz", false},
      {"  # comment", true, FindingKind::kVirus, 'K', 0, "", "", false},
      {"", true, FindingKind::kVirus, 'K', 0, "", "", false},
      {"k:lower:41", false},
      {"X:Name:41", false},
      {"K::41", false},
      {"K:Name", false},
      {"K:Name:414", false},
      {"K:Name:4g", false},
      {"K:Name:\"\"", false},
      {"K:Name:\"open", false},
      {"K:Name:\"bad\\q\"", false},
      {"K:Name:\"x\\x4\"", false},
      {"K:Name:41:curable", false},
      {"status=0x0:Zero:41", false},
      {"status=1000:NoHex:41", false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.line);
    Signature s;
    std::string error;
    ASSERT_EQ(zvscand::parse_signature_line(r.line, &s, &error), r.ok) << error;
    if (!r.ok) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    EXPECT_EQ(s.name, r.name);
    if (s.name.empty()) continue;
    EXPECT_EQ(s.kind, r.kind);
    if (r.kind == FindingKind::kVirus) {
      EXPECT_EQ(s.type, r.type);
    }
    EXPECT_EQ(s.status, r.status);
    EXPECT_EQ(s.pattern, r.pattern);
    EXPECT_EQ(s.incurable, r.incurable);
  }
}

TEST(SignatureFile, NamesFileAndLineOfTheFirstBadEntry) {
  zvtest::TempDir dir;
  std::string path = dir.write("sigs", "# ok\nK:A:41\n\nK:B:zz\n");
  std::string error;
  EXPECT_EQ(zvscand::load_engine(path, &error), nullptr);
  EXPECT_EQ(error, path + ":4: pattern is neither hex digits nor quoted text");
  EXPECT_EQ(zvscand::load_engine(dir.file("missing"), &error), nullptr);
  EXPECT_EQ(error, dir.file("missing") + ": cannot open");
  // Without a file only the built-in EICAR entry is known.
  auto engine = zvscand::load_engine("", &error);
  ASSERT_NE(engine, nullptr);
  auto found = engine->scan("xx" + kEicar + "yy", false);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0]->name, "EICAR-Test-File");
  EXPECT_EQ(kEicar.size(), 68u);
}

TEST_F(EngineTest, FindsEicarPlainBase64AndQuotedPrintable) {
  struct Row {
    const char* label;
    std::string message;
    std::string object;
  };
  const Row rows[] = {
      {"plain", multipart({text_part("hello"), attachment("eicar.com", kEicar)}),
       "/spool/msg.1/eicar.com"},
      {"base64", multipart({text_part("hello"), attachment("e.b64", base64(kEicar), "base64")}),
       "/spool/msg.1/e.b64"},
      {"quoted-printable",
       multipart({text_part("hello"), attachment("e.qp", eicar_qp(), "quoted-printable")}),
       "/spool/msg.1/e.qp"},
      {"nested message",
       multipart(
           {text_part("outer"),
            "Content-Type: message/rfc822\r\n\r\n" +
                multipart({text_part("inner"), attachment("in.com", base64(kEicar), "base64")},
                          "b2")}),
       "/spool/msg.1/in.com"},
      {"single part body",
       "From: a@example.org\r\nSubject: x\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
           base64(kEicar) + "\r\n",
       "/spool/msg.1"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.label);
    ScanOutcome out = scan(r.message);
    EXPECT_EQ(out.status, kStatusKnownVirus);
    EXPECT_EQ(out.virus_lines, std::vector<std::string>{"EICAR-Test-File,K"});
    EXPECT_EQ(out.report, std::vector<std::string>{r.object + " infected with EICAR-Test-File\n"});
    EXPECT_EQ(out.stats.known, 1);
    EXPECT_FALSE(out.modified);
  }
  ScanOutcome clean = scan(multipart({text_part("hello"), attachment("a.txt", "just text")}));
  EXPECT_EQ(clean.status, 0u);
  EXPECT_TRUE(clean.virus_lines.empty());
  EXPECT_EQ(clean.report, std::vector<std::string>{"/spool/msg.1 ok\n"});
}

TEST_F(EngineTest, ReportsEveryKindOfFinding) {
  struct Row {
    const char* body;
    uint32_t flags;
    uint32_t status;
    const char* virus_line;  // or null
    int32_t ScanStatistics::*counter;
    const char* report;
  };
  const Row rows[] = {
      {"KNOWN-SIG", 0, 0x20, "Test-Known,K", &ScanStatistics::known, "infected with Test-Known"},
      {"SUSP-SIG", kScanHeuristic, 0x40, "Test-Suspicious,S", &ScanStatistics::suspicious,
       "suspicious of Test-Suspicious"},
      {"MOD-SIG", 0, 0x80, "Test-Modification,M", &ScanStatistics::modifications,
       "infected with a modification of Test-Modification"},
      {"ADW-SIG", 0, 0x400000, "Test-Adware,A", &ScanStatistics::adware, "contains adware"},
      {"DIAL-SIG", 0, 0x800000, "Test-Dialer,D", &ScanStatistics::dialers, "contains a dialer"},
      {"JOKE-SIG", 0, 0x1000000, "Test-Joke,J", &ScanStatistics::jokes, "contains a joke"},
      {"RISK-SIG", 0, 0x2000000, "Test-Riskware,R", &ScanStatistics::riskware, "contains riskware"},
      {"HACK-SIG", 0, 0x4000000, "Test-Hacktool,H", &ScanStatistics::hacktools,
       "contains a hacktool"},
      {"SKIP-SIG", 0, 0x1000, nullptr, &ScanStatistics::skipped, ": Test-Skipped (status 0x1000)"},
      {"ARCH-SIG", 0, 0x2000, nullptr, &ScanStatistics::archive_restrictions, ": Test-Archive"},
      {"ERR-SIG", 0, 0x1, nullptr, &ScanStatistics::errors, ": Test-ReadError (status 0x1)"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.body);
    ScanOutcome out = scan(multipart({text_part("hello"), attachment("x.bin", r.body)}), r.flags);
    EXPECT_EQ(out.status, r.status);
    EXPECT_EQ(out.virus_lines,
              r.virus_line ? std::vector<std::string>{r.virus_line} : std::vector<std::string>{});
    EXPECT_EQ(out.stats.*(r.counter), 1);
    ASSERT_EQ(out.report.size(), 1u);
    EXPECT_NE(out.report[0].find(r.report), std::string::npos) << out.report[0];
    EXPECT_EQ(out.report[0].rfind("/spool/msg.1/x.bin", 0), 0u) << out.report[0];
  }
  // Suspicious objects are only looked for with heuristic analysis.
  EXPECT_EQ(scan(multipart({attachment("x.bin", "SUSP-SIG")})).status, 0u);
}

TEST_F(EngineTest, HeaderRulesApplyToHeadersOnlyAndOnlyWhenAsked) {
  std::string flagged = multipart({text_part("hello")}, "b1", "X-Spam-Flag: YES\r\n");
  ScanOutcome off = scan(flagged);
  EXPECT_EQ(off.status, 0u);
  EXPECT_EQ(off.rule, "");
  ScanOutcome on = scan(flagged, kScanRuleFilter);
  EXPECT_EQ(on.status, kStatusRuleReject);
  EXPECT_EQ(on.rule, "Test-Rule");
  EXPECT_EQ(on.stats.rule_rejects, 1);
  EXPECT_EQ(on.report, std::vector<std::string>{"/spool/msg.1 rejected by rule Test-Rule\n"});
  // The same text in a body is no header.
  EXPECT_EQ(scan(multipart({text_part("X-Spam-Flag: YES")}), kScanRuleFilter).status, 0u);
}

TEST_F(EngineTest, FindingOutsideAnyPartIsReportedOnTheFileAndNeverTreated) {
  std::string msg = multipart({text_part("hello")}, "b1", "X-Note: " + kEicar + "\r\n");
  ScanOutcome out = scan(msg, kScanCure | kScanRemoveInfected);
  EXPECT_EQ(out.status, kStatusKnownVirus);
  EXPECT_EQ(out.report, std::vector<std::string>{"/spool/msg.1 infected with EICAR-Test-File\n"});
  EXPECT_FALSE(out.modified);
  EXPECT_EQ(out.stats.cured, 0);
}

TEST_F(EngineTest, SignatureLeftOutsideTheTreatedPartIsNotCountedAsCured) {
  // The body is cured, but the same string in a header survives the rewrite.
  std::string msg =
      "From: a@example.org\r\nX-Note: " + kEicar + "\r\nSubject: x\r\n\r\n" + kEicar + "\r\n";
  ScanOutcome out = scan(msg, kScanCure);
  EXPECT_EQ(out.status, 0x120u);
  EXPECT_EQ(out.stats.known, 2);
  EXPECT_EQ(out.stats.cured, 1);
  EXPECT_EQ(out.report.back(),
            "/spool/msg.1 infected with EICAR-Test-File - left outside the treated parts\n");
  EXPECT_TRUE(out.modified);
}

TEST_F(EngineTest, CureAndRemoveReplaceTheInfectedPartOnly) {
  struct Row {
    const char* label;
    std::string infected;  // the attachment
    uint32_t flags;
    uint32_t ext;
    uint32_t status;  // expected
    int32_t cured;
    int32_t deleted;
  };
  const Row rows[] = {
      {"cure eicar base64", attachment("e.com", base64(kEicar), "base64"), kScanCure, 0,
       0x20 | 0x100, 1, 0},
      {"cure eicar quoted-printable", attachment("e.qp", eicar_qp(), "quoted-printable"), kScanCure,
       0, 0x20 | 0x100, 1, 0},
      {"remove infected", attachment("k.bin", "KNOWN-SIG"), kScanRemoveInfected, 0, 0x20 | 0x80000,
       1, 1},
      {"remove incurable", attachment("i.bin", "INCUR-SIG"), kScanCure | kScanRemoveIncurable, 0,
       0x20 | 0x80000, 1, 1},
      {"remove suspicious", attachment("s.bin", "SUSP-SIG"), kScanHeuristic | kScanRemoveSuspicious,
       0, 0x40 | 0x80000, 0, 1},
      {"remove adware", attachment("a.bin", "ADW-SIG"), 0, zvscand::kRemoveAdware,
       0x400000 | 0x80000, 0, 1},
      {"remove hacktool", attachment("h.bin", "HACK-SIG"), 0, zvscand::kRemoveHacktools,
       0x4000000 | 0x80000, 0, 1},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.label);
    std::string msg = multipart({text_part("keep this text"), r.infected});
    ScanOutcome out = scan(msg, r.flags, r.ext);
    EXPECT_EQ(out.status, r.status);
    EXPECT_EQ(out.stats.cured, r.cured);
    EXPECT_EQ(out.stats.deleted, r.deleted);
    ASSERT_TRUE(out.modified);
    Parsed p = parse(out.content);
    ASSERT_TRUE(p.parsed);
    EXPECT_EQ(p.leaves, 2);
    EXPECT_NE(p.all_text.find("keep this text"), std::string::npos);
    EXPECT_NE(p.all_text.find("was removed by the virus scanner"), std::string::npos);
    // Nothing is left to find, and the lines keep the message's CR LF ends.
    EXPECT_EQ(scan(out.content, kScanHeuristic).status, 0u);
    EXPECT_EQ(out.content.find("\n"), out.content.find("\r\n") + 1);
  }
}

TEST_F(EngineTest, PartIsLeftAloneWhenOneOfItsFindingsIsNotTreated) {
  struct Row {
    const char* label;
    std::string body;
    uint32_t flags;
    uint32_t ext;
    uint32_t status;
  };
  const Row rows[] = {
      {"incurable without removal", "INCUR-SIG", kScanCure, 0, 0x20},
      {"curable and incurable together", "KNOWN-SIG INCUR-SIG", kScanCure, 0, 0x20},
      {"cured virus beside untreated adware", "KNOWN-SIG ADW-SIG", kScanCure, 0, 0x400020},
      {"nothing asked for", "KNOWN-SIG", 0, 0, 0x20},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.label);
    ScanOutcome out =
        scan(multipart({text_part("t"), attachment("x.bin", r.body)}), r.flags, r.ext);
    EXPECT_EQ(out.status, r.status);
    EXPECT_FALSE(out.modified);
    EXPECT_EQ(out.stats.cured, 0);
  }
  // Two infected parts, one curable, one not: the cured count tells them apart.
  ScanOutcome mixed = scan(
      multipart({attachment("a.bin", "KNOWN-SIG"), attachment("b.bin", "INCUR-SIG")}), kScanCure);
  EXPECT_EQ(mixed.status, 0x120u);
  EXPECT_EQ(mixed.stats.known, 2);
  EXPECT_EQ(mixed.stats.cured, 1);
  ASSERT_TRUE(mixed.modified);
  EXPECT_EQ(scan(mixed.content).virus_lines, std::vector<std::string>{"Test-Incurable,K"});
}

TEST_F(EngineTest, TooDeepNestingIsAnArchiveRestriction) {
  std::string msg = text_part("deep");
  for (int i = 0; i < zvscand::kMaxMimeDepth + 2; ++i) {
    std::string b = std::string("n").append(std::to_string(i));
    msg = "Content-Type: multipart/mixed; boundary=\"" + b + "\"\r\n\r\n--" + b + "\r\n" + msg +
          "--" + b + "--\r\n";
  }
  ScanOutcome out = scan("Subject: deep\r\nMIME-Version: 1.0\r\n" + msg);
  EXPECT_EQ(out.status, kStatusNesting);
  EXPECT_EQ(out.stats.archive_restrictions, 1);
}

namespace {

// Builds a message from lines joined with `eol`.
std::string lines_with(const std::vector<std::string>& lines, const std::string& eol) {
  std::string out;
  for (const auto& l : lines) out += l + eol;
  return out;
}

// Content lines (a base64 alphabet only) end in LF, every other line (headers, delimiters,
// the empty lines) in CR LF, as mail put together by several programs has it.
std::string mixed_lines(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) {
    bool content = !l.empty() && l.rfind("--", 0) != 0 &&
                   l.find_first_not_of(
                       "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                       "0123456789+/=") == std::string::npos;
    out += l + (content ? "\n" : "\r\n");
  }
  return out;
}

// base64 of `data` cut into lines of `width` characters (not a multiple of four).
std::vector<std::string> base64_lines(const std::string& data, size_t width) {
  std::string b = base64(data);
  std::vector<std::string> out;
  for (size_t i = 0; i < b.size(); i += width) out.push_back(b.substr(i, width));
  return out;
}

std::vector<std::string> cat(std::vector<std::vector<std::string>> parts) {
  std::vector<std::string> out;
  for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

}  // namespace

// EICAR hidden in a base64 or quoted-printable part must be found whatever shape the
// MIME structure around it has, with CR LF, LF or mixed line ends.
TEST_F(EngineTest, FindsTheAttachmentInEveryMimeShape) {
  const std::vector<std::string> head = {"From: a@example.org", "Subject: shapes",
                                         "MIME-Version: 1.0"};
  const std::vector<std::string> b64_part =
      cat({{"Content-Type: application/octet-stream", "Content-Transfer-Encoding: base64", ""},
           base64_lines(kEicar, 76)});
  auto mixed = [](const std::string& b) {
    return "Content-Type: multipart/mixed; boundary=\"" + b + "\"";
  };
  // A multipart holding a text part and `inner` lines, closed by its final delimiter
  // unless `close` is false.
  auto nest = [&](const std::string& b, const std::vector<std::string>& inner, bool close = true) {
    return cat({{mixed(b), "", "--" + b, "Content-Type: text/plain", "", "text", "--" + b},
                inner,
                close ? std::vector<std::string>{"--" + b + "--"} : std::vector<std::string>{}});
  };
  struct Row {
    const char* label;
    std::vector<std::string> lines;
  };
  const Row rows[] = {
      {"inner close directly followed by the outer close",
       cat({head, nest("outer", nest("inner", b64_part))})},
      {"three levels, every epilogue empty",
       cat({head, nest("l1", nest("l2", nest("l3", b64_part)))})},
      {"inner close followed by an epilogue and a further part",
       cat({head, nest("outer", cat({nest("inner", b64_part),
                                     {"epilogue", "--outer"},
                                     {"Content-Type: text/plain", "", "more"}}))})},
      {"inner close directly followed by the next outer part",
       cat({head, nest("outer", cat({nest("inner", b64_part),
                                     {"--outer"},
                                     {"Content-Type: text/plain", "", "more"}}))})},
      {"outer boundary a prefix of the inner one",
       cat({head, nest("b", nest("b-inner", b64_part))})},
      {"inner boundary a prefix of the outer one",
       cat({head, nest("b-outer", nest("b", b64_part))})},
      {"attachment after a nested multipart with an empty epilogue",
       cat({head,
            {mixed("o"), "", "--o", mixed("i"), "", "--i", "Content-Type: text/plain", "", "t",
             "--i--", "--o"},
            b64_part,
            {"--o--"}})},
      // The inner close delimiter runs straight into the outer delimiter on one line:
      // the parser ends the inner multipart there and takes the attachment that follows
      // for its epilogue.
      {"inner close followed directly by the outer delimiter on the same line",
       cat({head,
            {mixed("o"), "", "--o", mixed("i"), "", "--i", "Content-Type: text/plain", "", "t",
             "--i----o"},
            b64_part,
            {"--o--"}})},
      {"three levels, innermost close run into the middle delimiter",
       cat({head,
            {mixed("l1"), "", "--l1", mixed("l2"), "", "--l2", mixed("l3"), "", "--l3",
             "Content-Type: text/plain", "", "t", "--l3----l2"},
            b64_part,
            {"--l2--", "--l1--"}})},
      {"nested multipart in an attached message, empty epilogues",
       cat({head,
            {mixed("o"), "", "--o", "Content-Type: message/rfc822", "", "Subject: in",
             "MIME-Version: 1.0", mixed("i"), "", "--i"},
            b64_part,
            {"--i--", "--o--"}})},
      {"preamble before the first delimiter",
       cat({head, {mixed("p"), "", "This is a preamble.", "--p"}, b64_part, {"--p--"}})},
      {"no final delimiter", cat({head, nest("open", b64_part, false)})},
      {"no final delimiter on either level",
       cat({head, nest("o", nest("i", b64_part, false), false)})},
      {"base64 with lines of odd length",
       cat({head, nest("odd", cat({{"Content-Type: application/octet-stream",
                                    "Content-Transfer-Encoding: base64", ""},
                                   base64_lines(kEicar, 13)}))})},
      {"quoted-printable in a nested part",
       cat({head, nest("q1", nest("q2", {"Content-Type: application/octet-stream",
                                         "Content-Transfer-Encoding: quoted-printable", "",
                                         eicar_qp()}))})},
      {"attachment without Content-Type",
       cat({head, nest("nt", cat({{"Content-Disposition: attachment; filename=\"e.bin\"",
                                   "Content-Transfer-Encoding: base64", ""},
                                  base64_lines(kEicar, 76)}))})},
  };
  for (const auto& r : rows) {
    for (const char* eol : {"\r\n", "\n", ""}) {
      SCOPED_TRACE(std::string(r.label) + (*eol == '\0'     ? " (mixed)"
                                           : eol[1] != '\0' ? " (CRLF)"
                                                            : " (LF)"));
      std::string message = *eol == '\0' ? mixed_lines(r.lines) : lines_with(r.lines, eol);
      ASSERT_EQ(message.find(kEicar), std::string::npos);  // only a decoder can find it
      ScanOutcome out = scan(message);
      EXPECT_EQ(out.status, kStatusKnownVirus);
      EXPECT_EQ(out.virus_lines, std::vector<std::string>{"EICAR-Test-File,K"});
      EXPECT_EQ(out.stats.known, 1);
      // Removal replaces the part, and the rewritten message is clean.
      ScanOutcome removed = scan(message, kScanRemoveInfected);
      EXPECT_EQ(removed.status, kStatusKnownVirus | kStatusDeleted);
      ASSERT_TRUE(removed.modified);
      EXPECT_EQ(scan(removed.content).status, 0u);
    }
  }
}
