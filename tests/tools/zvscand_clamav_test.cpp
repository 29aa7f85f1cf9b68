// The libclamav engine of the stand-in daemon: detection through the encodings and
// archives, the mapping of libclamav's names onto the protocol, refused databases, and
// the running daemon's reload on SIGHUP (a bad database keeps the engine in force).
#include <clamav.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/zv_test_support.h"
#include "tools/zvtool_peer.h"
#include "zvc_lib.h"
#include "zvscand_clamav.h"
#include "zvscand_engine.h"
#include "zvscand_mime.h"
#include "zvscand_whole.h"

namespace {

const std::string kEicar = zvscand::eicar_string();
// libclamav marks names from databases that are not signed.
const std::string kEicarLine = "Eicar-Test-Signature-NDB.UNOFFICIAL,K";

std::string message_with(const std::string& body, const std::string& encoding,
                         const std::string& filename = "a.bin") {
  return "From: a@example.org\r\nTo: b@example.org\r\nSubject: t\r\nMIME-Version: 1.0\r\n"
         "Content-Type: multipart/mixed; boundary=\"zz\"\r\n\r\n--zz\r\n"
         "Content-Type: text/plain\r\n\r\nkeep me\r\n--zz\r\nContent-Type: "
         "application/octet-stream\r\nContent-Disposition: attachment; filename=\"" +
         filename + "\"\r\n" +
         (encoding.empty() ? "" : "Content-Transfer-Encoding: " + encoding + "\r\n") + "\r\n" +
         body + "\r\n--zz--\r\n";
}

std::string base64(const std::string& in) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < in.size(); i += 3) {
    uint32_t n = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) n |= static_cast<unsigned char>(in[i + 1]) << 8;
    if (i + 2 < in.size()) n |= static_cast<unsigned char>(in[i + 2]);
    out.push_back(kAlphabet[(n >> 18) & 63]);
    out.push_back(kAlphabet[(n >> 12) & 63]);
    out.push_back(i + 1 < in.size() ? kAlphabet[(n >> 6) & 63] : '=');
    out.push_back(i + 2 < in.size() ? kAlphabet[n & 63] : '=');
    if ((i / 3 + 1) % 19 == 0) out += "\r\n";
  }
  return out;
}

void le16(std::string* s, uint32_t v) {
  s->push_back(static_cast<char>(v & 0xff));
  s->push_back(static_cast<char>((v >> 8) & 0xff));
}
void le32(std::string* s, uint32_t v) {
  le16(s, v & 0xffff);
  le16(s, v >> 16);
}

// A zip archive holding one file, deflated, so that its bytes do not show the content.
std::string zip_of(const std::string& name, const std::string& content) {
  std::string packed(compressBound(content.size()) + 64, '\0');
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data()));
  z.avail_in = static_cast<uInt>(content.size());
  z.next_out = reinterpret_cast<Bytef*>(packed.data());
  z.avail_out = static_cast<uInt>(packed.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  packed.resize(z.total_out);
  deflateEnd(&z);
  uint32_t crc = static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(content.data()), static_cast<uInt>(content.size())));
  auto common = [&](std::string* s) {
    le16(s, 20);    // version needed
    le16(s, 0);     // flags
    le16(s, 8);     // deflate
    le16(s, 0);     // time
    le16(s, 0x21);  // date
    le32(s, crc);
    le32(s, static_cast<uint32_t>(packed.size()));
    le32(s, static_cast<uint32_t>(content.size()));
    le16(s, static_cast<uint32_t>(name.size()));
    le16(s, 0);  // extra
  };
  std::string zip;
  le32(&zip, 0x04034b50);
  common(&zip);
  zip += name + packed;
  const uint32_t central_at = static_cast<uint32_t>(zip.size());
  le32(&zip, 0x02014b50);
  le16(&zip, 20);  // made by
  common(&zip);
  le16(&zip, 0);  // comment
  le16(&zip, 0);  // disk
  le16(&zip, 0);  // internal attributes
  le32(&zip, 0);  // external attributes
  le32(&zip, 0);  // local header offset
  zip += name;
  const uint32_t central_size = static_cast<uint32_t>(zip.size()) - central_at;
  le32(&zip, 0x06054b50);
  le16(&zip, 0);
  le16(&zip, 0);
  le16(&zip, 1);
  le16(&zip, 1);
  le32(&zip, central_size);
  le32(&zip, central_at);
  le16(&zip, 0);
  return zip;
}

std::string database_dir(const zvtest::TempDir& dir, const std::string& name) {
  std::string db = dir.file(name);
  ::mkdir(db.c_str(), 0700);
  dir.write(name + "/eicar.ndb", zvtest::read_file(ZV_SOURCE_DIR "/etc/clamav/eicar.ndb"));
  return db;
}

class ClamavTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    engine_ = zvscand::ClamavEngine::load(database_dir(dir_, "db"), &error);
    ASSERT_NE(engine_, nullptr) << error;
  }
  zvtest::TempDir dir_;
  std::shared_ptr<const zvscand::ClamavEngine> engine_;
};

TEST_F(ClamavTest, FindsEicarPlainThroughEncodingsAndInZipsAndNothingInCleanMail) {
  const std::string zip = zip_of("eicar.com", kEicar);
  ASSERT_EQ(zip.find("EICAR"), std::string::npos);
  struct Row {
    const char* name;
    std::string data;
    bool infected;
  };
  const Row rows[] = {
      {"plain file", kEicar, true},
      {"plain attachment", message_with(kEicar, ""), true},
      {"base64 attachment", message_with(base64(kEicar), "base64"), true},
      {"zip file", zip, true},
      {"zip attachment in base64", message_with(base64(zip), "base64", "x.zip"), true},
      {"clean message", message_with(base64("nothing to see here\n"), "base64"), false},
      {"clean zip attachment", message_with(base64(zip_of("a.txt", "hello")), "base64", "a.zip"),
       false},
      {"empty file", "", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    zvscand::ScanOutcome out = zvscand::scan_whole_message(
        *engine_, "/spool/msg", row.data, kScanVirusLists | kScanReport | kScanHeuristic);
    if (row.infected) {
      EXPECT_EQ(out.status, kStatusKnownVirus);
      EXPECT_EQ(out.virus_lines, std::vector<std::string>{kEicarLine});
      EXPECT_EQ(out.stats.known, 1);
      EXPECT_EQ(out.report, std::vector<std::string>{
                                "/spool/msg infected with Eicar-Test-Signature-NDB.UNOFFICIAL\n"});
    } else {
      EXPECT_EQ(out.status, 0u);
      EXPECT_TRUE(out.virus_lines.empty());
      EXPECT_EQ(out.report, std::vector<std::string>{"/spool/msg ok\n"});
    }
  }
}

TEST_F(ClamavTest, TreatmentGoesThroughTheMimeLayerPartByPart) {
  // Removal asked for: the session takes the MIME layer, which hands libclamav each part.
  ASSERT_TRUE(zvscand::wants_treatment(kScanRemoveInfected, 0));
  ASSERT_FALSE(zvscand::wants_treatment(kScanVirusLists | kScanReport | kScanHeuristic, 0));
  zvscand::mime_init();
  std::string message = message_with(base64(zip_of("eicar.com", kEicar)), "base64", "x.zip");
  zvscand::ScanOutcome out =
      zvscand::scan_content(*engine_, "/spool/msg", message, kScanRemoveInfected, 0);
  EXPECT_EQ(out.status, kStatusKnownVirus | kStatusDeleted);
  EXPECT_EQ(out.virus_lines, std::vector<std::string>{kEicarLine});
  ASSERT_TRUE(out.modified);
  EXPECT_NE(out.content.find("keep me"), std::string::npos);
  EXPECT_EQ(out.content.find("x.zip\"\r\nContent-Transfer"), std::string::npos);
  EXPECT_TRUE(zvscand::scan_whole_message(*engine_, "m", out.content, 0).virus_lines.empty());
}

TEST_F(ClamavTest, NamesAndErrorsMapOntoTheProtocol) {
  using zvscand::FindingKind;
  struct Row {
    const char* name;
    FindingKind kind;
    char type;
    uint32_t status;
  };
  const Row rows[] = {
      {"Win.Trojan.Agent-1", FindingKind::kVirus, 'K', kStatusKnownVirus},
      {"PUA.Win.Adware.Foo", FindingKind::kVirus, 'A', kStatusAdware},
      {"PUA.Win.Dialer.Bar", FindingKind::kVirus, 'D', kStatusDialer},
      {"PUA.Win.Joke.Baz", FindingKind::kVirus, 'J', kStatusJoke},
      {"PUA.Win.Tool.Netcat", FindingKind::kVirus, 'H', kStatusHacktool},
      {"PUA.Doc.Packed.EncryptedDoc", FindingKind::kVirus, 'R', kStatusRiskware},
      {"Heuristics.Phishing.Email.SpoofedDomain", FindingKind::kVirus, 'S', kStatusSuspicious},
      {"Heuristics.Limits.Exceeded.MaxRecursion", FindingKind::kStatus, 0, kStatusNesting},
      {"Heuristics.Limits.Exceeded.MaxFileSize", FindingKind::kStatus, 0, kStatusTooBig},
      {"Heuristics.Encrypted.Zip", FindingKind::kStatus, 0, kStatusSkipped},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const zvscand::Signature* s = engine_->finding(row.name);
    EXPECT_EQ(s->kind, row.kind);
    if (row.kind == FindingKind::kVirus) {
      EXPECT_EQ(s->type, row.type);
    }
    EXPECT_EQ(s->status, row.status);
    EXPECT_EQ(s->name, row.name);
    EXPECT_EQ(engine_->finding(row.name), s);  // one record per name
  }
  // Scanning errors: out of memory, time-out, unreadable, corrupted, anything else.
  const std::pair<int, uint32_t> errors[] = {{CL_EMEM, kStatusNoMemory},
                                             {CL_ETIMEOUT, kStatusTimedOut},
                                             {CL_EREAD, kStatusReadError},
                                             {CL_EFORMAT, kStatusCrcError},
                                             {CL_EMALFDB, kStatusInvalidCall}};
  for (const auto& [code, bits] : errors) {
    SCOPED_TRACE(code);
    const zvscand::Signature* s = engine_->error_finding(code);
    EXPECT_EQ(s->kind, FindingKind::kStatus);
    EXPECT_EQ(s->status, bits);
    EXPECT_EQ(s->name.rfind("scanning error: ", 0), 0u);
  }
}

TEST(ClamavLoad, BadMissingOrEmptyDatabasesAreRefused) {
  zvtest::TempDir dir;
  std::string bad = database_dir(dir, "bad");
  dir.write("bad/broken.ndb", "Broken:0:*:zz41\n");
  std::string empty = dir.file("empty");
  ::mkdir(empty.c_str(), 0700);
  for (const std::string& db : {bad, empty, dir.file("missing")}) {
    SCOPED_TRACE(db);
    std::string error;
    EXPECT_EQ(zvscand::ClamavEngine::load(db, &error), nullptr);
    EXPECT_EQ(error.rfind(db + ": ", 0), 0u) << error;
  }
}

TEST(InstantEngine, AnswersCleanWithoutLooking) {
  zvscand::InstantEngine instant;
  zvscand::ScanOutcome out = zvscand::scan_whole_message(
      instant, "/spool/m", message_with(kEicar, ""), kScanVirusLists | kScanRuleFilter);
  EXPECT_EQ(out.status, 0u);
  EXPECT_TRUE(out.virus_lines.empty());
  EXPECT_EQ(out.report, std::vector<std::string>{"/spool/m ok\n"});
}

// The running daemon, through the command-line client: a file's findings as zvscan
// prints them, and its exit status.
int zvscan(const zvtest::TempDir& dir, const std::string& address, const std::string& file,
           std::string* out) {
  return zvtest::run_program(ZV_BINARY_DIR "/tools/zvscan/zvscan", {"--daemon=" + address, file},
                             dir, out);
}

TEST(ClamavDaemon, SighupReloadsTheDatabaseAndABadOneKeepsTheOldEngine) {
  zvtest::TempDir dir;
  std::string db = database_dir(dir, "db");
  zvtest::Peer daemon(
      zvtest::zvscand_program(),
      {"--listen=local:" + dir.file("d.sock"), "--engine=clamav", "--database=" + db}, dir,
      "zvscand");
  ASSERT_TRUE(daemon.ready()) << daemon.log();
  std::string eicar = dir.write("eicar.eml", message_with(base64(kEicar), "base64"));
  std::string other = dir.write("other.eml", message_with("ZV-NEW-SIGNATURE-TEXT", ""));
  std::string out;
  EXPECT_EQ(zvscan(dir, daemon.address(), eicar, &out), 1) << out;
  EXPECT_NE(out.find("K: Eicar-Test-Signature-NDB.UNOFFICIAL"), std::string::npos) << out;
  EXPECT_EQ(zvscan(dir, daemon.address(), other, &out), 0) << out;

  // A further database file, then SIGHUP: the new engine knows both.
  dir.write("db/new.ndb", "Zv-New-Sig:0:*:5a562d4e45572d5349474e4154555245\n");
  daemon.signal(SIGHUP);
  EXPECT_TRUE(zvtest::wait_for([&] { return zvscan(dir, daemon.address(), other, &out) == 1; }))
      << out << daemon.log();
  EXPECT_NE(out.find("K: Zv-New-Sig.UNOFFICIAL"), std::string::npos) << out;

  // A malformed database: the reload fails and the engine in force stays.
  dir.write("db/broken.ndb", "Broken:0:*:zz41\n");
  daemon.signal(SIGHUP);
  EXPECT_TRUE(zvtest::wait_for([&] {
    return daemon.log().find("reload failed") != std::string::npos;
  })) << daemon.log();
  EXPECT_NE(daemon.log().find("zvscand: reload failed, keeping the old signatures: " + db),
            std::string::npos)
      << daemon.log();
  EXPECT_EQ(zvscan(dir, daemon.address(), eicar, &out), 1) << out;
  EXPECT_EQ(zvscan(dir, daemon.address(), other, &out), 1) << out;
  EXPECT_NE(out.find("K: Zv-New-Sig.UNOFFICIAL"), std::string::npos) << out;
  EXPECT_EQ(daemon.stop(), 0) << daemon.log();
}

TEST(InstantDaemon, AnswersCleanWithoutOpeningTheFile) {
  // A FIFO is refused by every engine that reads the file (not a regular file); the
  // instant engine never opens it.
  zvtest::TempDir dir;
  std::string fifo = dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string eicar = dir.write("eicar.eml", message_with(kEicar, ""));
  zvtest::Peer instant(zvtest::zvscand_program(),
                       {"--listen=local:" + dir.file("i.sock"), "--engine=instant"}, dir, "i");
  zvtest::Peer reading(zvtest::zvscand_program(), {"--listen=local:" + dir.file("s.sock")}, dir,
                       "s");
  ASSERT_TRUE(instant.ready() && reading.ready()) << instant.log() << reading.log();
  auto local_scan = [&](const zvtest::Peer& daemon, const std::string& file, std::string* out) {
    return zvtest::run_program(ZV_BINARY_DIR "/tools/zvscan/zvscan",
                               {"--daemon=" + daemon.address(), "--local", file}, dir, out);
  };
  std::string out;
  EXPECT_EQ(local_scan(reading, fifo, &out), 1) << out;
  EXPECT_NE(out.find("0x800"), std::string::npos) << out;
  EXPECT_EQ(local_scan(instant, fifo, &out), 0) << out;
  EXPECT_NE(out.find(": 0x0 success"), std::string::npos) << out;
  EXPECT_EQ(local_scan(instant, eicar, &out), 0) << out;
}

TEST(ClamavDaemon, DatabaseGoesWithTheClamavEngineOnly) {
  zvtest::TempDir dir;
  std::string out;
  EXPECT_EQ(zvtest::run_program(zvtest::zvscand_program(),
                                {"--listen=local:" + dir.file("s"), "--engine=clamav"}, dir, &out),
            64)
      << out;
  EXPECT_EQ(zvtest::run_program(zvtest::zvscand_program(),
                                {"--listen=local:" + dir.file("s"), "--database=" + dir.path()},
                                dir, &out),
            64)
      << out;
  EXPECT_EQ(zvtest::run_program(zvtest::zvscand_program(),
                                {"--listen=local:" + dir.file("s"), "--engine=clamav",
                                 "--database=" + dir.file("none"), "--foreground"},
                                dir, &out),
            78)
      << out;
  EXPECT_NE(out.find("bad signatures file: " + dir.file("none")), std::string::npos) << out;
}

}  // namespace
