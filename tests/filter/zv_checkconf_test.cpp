// The configuration check as the administrator runs it: the real program with
// --check_only (as the account "nobody" when the test runs as root) against the stand-in
// scanning daemon and the recording submitter, over a table of configurations derived
// from the sample. Each run is judged by its exit status, its console lines after the
// loading, what it submitted, and empty spool and quarantine directories afterwards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/recording_submitter.h"
#include "support/zv_test_support.h"
#include "tools/zvtool_peer.h"
#include "zv_checkconf.h"
#include "zv_conf.h"
#include "zv_options.h"
#include "zv_util.h"
#include "zvc_lib.h"

namespace {

using zvtest::read_file;
using zvtest::TempDir;

const std::string kProgram = ZV_BINARY_DIR "/smf/zarvik-smf";

struct RunResult {
  int status = -1;
  std::string err;
};

RunResult run_program(std::vector<std::string> args, const TempDir& dir) {
  std::string out = dir.file("smf.out");
  std::string err = dir.file("smf.err");
  args.insert(args.begin(), kProgram);
  pid_t pid = fork();
  if (pid == 0) {
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) _exit(126);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  RunResult result;
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid)
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.err = read_file(err);
  return result;
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

// One change of the sample configuration: the key's first line in the section (commented
// out or not) is replaced; without a value the key is left out.
struct Edit {
  std::string section;
  std::string key;
  std::optional<std::string> value;
};

std::string edited(const std::string& conf, const Edit& edit) {
  std::string header = "\n[" + edit.section + "]\n";
  size_t at = conf.find(header);
  if (at == std::string::npos) {
    ADD_FAILURE() << "no section " << edit.section;
    return conf;
  }
  std::string line = edit.value ? edit.key + " = " + *edit.value : "";
  for (size_t start = at + header.size(); start < conf.size() && conf[start] != '[';) {
    size_t end = conf.find('\n', start);
    if (end == std::string::npos) end = conf.size();
    std::string current = conf.substr(start, end - start);
    if (current.rfind(edit.key + " =", 0) == 0 || current.rfind("#" + edit.key + " =", 0) == 0)
      return conf.substr(0, start) + line + conf.substr(end);
    start = end + 1;
  }
  return conf.substr(0, at + header.size()) + line + "\n" + conf.substr(at + header.size());
}

// `text` with the `length` characters after each `marker` that all satisfy `is_part`
// shown as `shown`.
std::string mask_after(std::string text, const std::string& marker, size_t length,
                       int (*is_part)(int), const std::string& shown) {
  for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at)) {
    at += marker.size();
    if (text.size() - at < length) break;
    bool all = true;
    for (size_t i = 0; i < length; ++i)
      all = all && is_part(static_cast<unsigned char>(text[at + i]));
    if (all) text.replace(at, length, shown);
  }
  return text;
}

int is_lower_hex(int c) {
  return std::isdigit(c) || (c >= 'a' && c <= 'f');
}

// The lines of a console output after the configuration's loading line, with the test
// directory shown as $DIR and the unique part of spool and quarantine names as XXXXXX.
std::vector<std::string> check_lines(const std::string& err, const std::string& dir) {
  std::vector<std::string> lines;
  std::istringstream in(err);
  bool loaded = false;
  for (std::string line; std::getline(in, line);) {
    if (loaded) {
      line = replace_all(line, dir, "$DIR");
      for (const char* prefix : {"zarvik.tmp.", "zarvik.quarantine."})
        line = mask_after(line, prefix, 6, std::isalnum, "XXXXXX");
      lines.push_back(line);
    } else if (line.find("): successfully loaded") != std::string::npos) {
      loaded = true;
    }
  }
  return lines;
}

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec))
    out.push_back(e.path().filename());
  return out;
}

const std::string kQuarantineStarted = "check_conf: quarantine test - started";
const std::string kFound = "check_scan: daemon return 0x20 code (known virus is found)";
const std::string kQuarantinePassed = "check_conf: quarantine test - passed";
const std::string kSubmitStarted = "check_conf: mail submit test - started";
const std::string kSubmitPassed = "check_conf: mail submit test - possible passed";
const std::vector<std::string> kPassed = {kQuarantineStarted, kFound, kQuarantinePassed,
                                          kSubmitStarted, kSubmitPassed};

const std::string kMailHead =
    "From: \"Zarvik-DAEMON\" <MAILER-DAEMON@localhost>\r\n"
    "To: \"Administrator\" <postmaster@localhost>\r\n"
    "Subject: Test Zarvik Mail Filter\r\n";
const std::string kMailBody =
    "\r\n"
    "Dear Administrator,\r\n"
    "\r\n"
    "This is a test message was created by Zarvik mail filter.\r\n"
    "\r\n"
    "http://www.zarvik.com\r\n"
    "\r\n";
const std::string kMail = kMailHead + kMailBody;
// With FastNotify; $HASH stands for the token, 32 lower-case hexadecimal digits.
const std::string kHashedMail = kMailHead + "X-zarvik-hash: $HASH\r\n" + kMailBody;

// The actions that ask for a quarantine directory, all set to reject.
std::vector<Edit> no_quarantining_action() {
  std::vector<Edit> edits;
  for (const char* key : {"Infected", "Incurable", "Suspicious", "RuleFilterAlert",
                          "ArchiveRestriction", "ProcessingErrors", "ScanningErrors", "SkipObject"})
    edits.push_back({"Actions", key, "reject"});
  edits.push_back({"Actions", "Quarantine", std::nullopt});
  return edits;
}

struct Row {
  const char* name;
  std::vector<Edit> edits;
  std::vector<std::string> daemon;  // options of the stand-in daemon
  int status;
  std::vector<std::string> lines;  // console lines after the loading
  std::string mail;                // what the administrator receives; empty: nothing submitted
  const char* locked = nullptr;    // a directory the check account may not use
  bool no_daemon = false;
  const char* account = nullptr;  // check account instead of the default
};

class CheckMode : public zvtest::RecordingSubmitterTest {
 protected:
  void SetUp() override {
    RecordingSubmitterTest::SetUp();
    // As root the check runs as "nobody", which must reach everything it uses; the
    // source tree may lie where it cannot, so the templates and the submitter are copied.
    as_root_ = geteuid() == 0;
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(records_.path().c_str(), 0777), 0);
    for (const char* d : {"spool", "quarantine"}) {
      ASSERT_EQ(mkdir(dir_.file(d).c_str(), 0777), 0);
      ASSERT_EQ(chmod(dir_.file(d).c_str(), 0777), 0);
    }
    namespace fs = std::filesystem;
    fs::copy(ZV_SOURCE_DIR "/etc/templates", dir_.file("templates"));
    submitter_ = dir_.file("record_submitter.sh");
    fs::copy_file(zvtest::kRecordingSubmitter, submitter_);
    ASSERT_EQ(chmod(submitter_.c_str(), 0755), 0);
    for (const auto& [name, content] :
         {std::pair<const char*, const char*>{"nine.msg", "123456789"}, {"ten.msg", "1234567890"}})
      ASSERT_EQ(chmod(dir_.write(name, content).c_str(), 0644), 0);

    std::string sample = read_file(ZV_SOURCE_DIR "/etc/zarvik_smf.conf");
    ASSERT_FALSE(sample.empty());
    sample = replace_all(sample, "/tmp/zarvik", dir_.path());
    sample = replace_all(sample, "etc/templates/", dir_.file("templates/"));
    sample_ = replace_all(sample, "/usr/sbin/sendmail", submitter_);
  }

  void check(const Row& row) {
    SCOPED_TRACE(row.name);
    std::string conf = sample_;
    for (const Edit& e : row.edits) conf = edited(conf, e);
    std::string path = dir_.write("check.conf", conf);
    std::vector<std::string> args = {"--check_only", "--conf=" + path};
    if (row.account != nullptr)
      args.push_back(std::string("--check_user=") + row.account);
    else if (as_root_)
      args.push_back("--check_user=nobody");

    std::optional<zvtest::Peer> daemon;
    if (!row.no_daemon) {
      std::vector<std::string> options = row.daemon;
      options.push_back("--listen=local:" + dir_.file("zvscand.sock"));
      daemon.emplace(zvtest::zvscand_program(), options, dir_, "zvscand");
      ASSERT_TRUE(daemon->ready()) << daemon->log();
      // The daemon's socket is created with the test's umask; the check account must
      // be able to connect.
      ASSERT_EQ(chmod(dir_.file("zvscand.sock").c_str(), 0777), 0);
    }
    std::string locked = row.locked != nullptr ? dir_.file(row.locked) : "";
    // The owner of a directory of mode 0 may not use it either, unless it is root.
    if (!locked.empty()) {
      ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    }

    RunResult r = run_program(args, dir_);
    if (!locked.empty()) {
      ASSERT_EQ(chmod(locked.c_str(), 0777), 0);
    }
    EXPECT_EQ(r.status, row.status) << r.err;
    EXPECT_EQ(check_lines(r.err, dir_.path()), row.lines) << r.err;
    EXPECT_EQ(entries(dir_.file("spool")), std::vector<std::string>{});
    EXPECT_EQ(entries(dir_.file("quarantine")), std::vector<std::string>{});

    // Only a run whose submission went through can have started the submitter.
    const bool submitted =
        std::find(row.lines.begin(), row.lines.end(), kSubmitPassed) != row.lines.end();
    if (!row.mail.empty() || submitted) {
      std::vector<zvtest::SubmitterRecord> records = zvtest::wait_for_records(records_.path(), 1);
      ASSERT_EQ(records.size(), 1u);
      if (!row.mail.empty()) {
        EXPECT_EQ(records[0].args, "[" + submitter_ +
                                       "]\n[-i]\n[-bm]\n[-fMAILER-DAEMON@localhost]\n[--]\n"
                                       "[postmaster@localhost]\n");
        EXPECT_EQ(mask_after(records[0].input, "X-zarvik-hash: ", 32, is_lower_hex, "$HASH"),
                  row.mail);
      }
    } else {
      EXPECT_EQ(entries(records_.path()), std::vector<std::string>{});
    }
    for (const std::string& name : entries(records_.path()))
      std::filesystem::remove(records_.path() + "/" + name);
  }

  TempDir dir_;
  std::string sample_;
  std::string submitter_;
  bool as_root_ = false;
};

TEST_F(CheckMode, SampleConfigurationPassesAndTheAdministratorGetsTheTestMail) {
  const Row rows[] = {
      {"sample", {}, {}, 0, kPassed, kMail},
      {"FastNotify",
       {{"NotificationOptions", "FastNotify", "yes"},
        {"NotificationOptions", "NotifyHashSalt", "\"a secret\""}},
       {},
       0,
       kPassed,
       kHashedMail},
      {"content streamed to the daemon", {{"Scanning", "LocalScan", "no"}}, {}, 0, kPassed, kMail},
      {"cure with local scan", {{"Actions", "Infected", "cure"}}, {}, 0, kPassed, kMail},
  };
  for (const Row& row : rows) check(row);
}

TEST_F(CheckMode, DaemonVersionBelow433Fails) {
  const std::string refused =
      "THIS VERSION IS NOT COMPATIBLE WITH Zarvik (R) DAEMON VERSIONS LESS THAT 4.33 !!!";
  const Row rows[] = {
      {"4.32", {}, {"--daemon-version=432"}, 78, {refused}, ""},
      {"3.99", {}, {"--daemon-version=399"}, 78, {refused}, ""},
      {"4.33", {}, {"--daemon-version=433"}, 0, kPassed, kMail},
      {"5.0", {}, {"--daemon-version=500"}, 0, kPassed, kMail},
  };
  for (const Row& row : rows) check(row);
}

TEST_F(CheckMode, DaemonThatIsMissingOrDoesNotDetectTheTestFileFails) {
  const Row rows[] = {
      {"no daemon",
       {},
       {},
       78,
       {"zvlib: fd: connect() failed - No such file or directory",
        "zvlib: unix: connect() to $DIR/zvscand.sock failed",
        "zvlib: cannot create connection with a Zarvik daemon",
        "cannot retrieve daemon version (error: -12)"},
       "",
       nullptr,
       true},
      {"status without the known-virus bit",
       {},
       {"--status=0x40"},
       78,
       {kQuarantineStarted, "check_scan: daemon return 0x40 code (possible unknown virus is found)",
        "check_scan: daemon cannot detect standard test file (EICAR) - (0x40) possible unknown "
        "virus is found",
        "check_move: cannot test spool-file", "check_conf: quarantine test - failed"},
       ""},
      {"clean status, spool test",
       no_quarantining_action(),
       {"--status=0x0"},
       78,
       {"check_conf: spool test - started", "check_scan: daemon return 0 code (success)",
        "check_scan: daemon cannot detect standard test file (EICAR) - (0x0) success",
        "check_spool: cannot test spool file", "check_conf: spool test - failed"},
       ""},
  };
  for (const Row& row : rows) check(row);
}

TEST_F(CheckMode, ContradictionsFailBeforeAnyFileIsWritten) {
  const std::string no_directory =
      "check_conf: you want to use 'quarantine', but not specify quarantine directory";
  std::vector<Edit> only_skip_object = no_quarantining_action();
  only_skip_object.push_back({"Actions", "SkipObject", "quarantine"});
  // The spool is locked: a file written there would show as a failed spool test.
  const Row rows[] = {
      {"quarantine without a directory",
       {{"Actions", "Quarantine", std::nullopt}},
       {},
       78,
       {no_directory},
       "",
       "spool"},
      {"SkipObject alone asks for the directory",
       only_skip_object,
       {},
       78,
       {no_directory},
       "",
       "spool"},
      {"cure in non-local mode",
       {{"Actions", "Infected", "cure"}, {"Scanning", "LocalScan", "no"}},
       {},
       78,
       {"check_conf: you cannot use 'cure' in non-local mode"},
       "",
       "spool"},
      {"other actions may quarantine without a directory",
       no_quarantining_action(),
       {},
       0,
       {"check_conf: spool test - started", kFound, "check_conf: spool test - passed",
        kSubmitStarted, kSubmitPassed},
       kMail},
  };
  for (const Row& row : rows) check(row);
}

TEST_F(CheckMode, TemplatesAreTestedInOrderAndNeedTenBytes) {
  const std::string nine = "$DIR/nine.msg";
  const Row rows[] = {
      {"9-byte template",
       {{"VirusNotifications", "AdminTemplate", dir_.file("nine.msg")}},
       {},
       78,
       {kQuarantineStarted, kFound, kQuarantinePassed,
        "check_file: error reading " + nine + " - (0) Success",
        "check_conf: test for administrator template in virus case - failed"},
       ""},
      {"10-byte template",
       {{"VirusNotifications", "AdminTemplate", dir_.file("ten.msg")}},
       {},
       0,
       kPassed,
       kMail},
      {"sender before administrator",
       {{"VirusNotifications", "SenderNotify", "yes"},
        {"VirusNotifications", "SenderTemplate", dir_.file("missing-sender.msg")},
        {"VirusNotifications", "AdminTemplate", dir_.file("missing-admin.msg")}},
       {},
       78,
       {kQuarantineStarted, kFound, kQuarantinePassed,
        "check_file: cannot open $DIR/missing-sender.msg - (2) No such file or directory",
        "check_conf: test for sender template in virus case - failed"},
       ""},
      {"error case before skip object case",
       {{"VirusNotifications", "RcptsNotify", "yes"},
        {"VirusNotifications", "RcptsTemplate", dir_.file("ten.msg")},
        {"SkipNotifications", "RcptsNotify", "yes"},
        {"SkipNotifications", "RcptsTemplate", dir_.file("missing-skip.msg")},
        {"ErrorNotifications", "RcptsNotify", "yes"},
        {"ErrorNotifications", "RcptsTemplate", dir_.file("nine.msg")}},
       {},
       78,
       {kQuarantineStarted, kFound, kQuarantinePassed,
        "check_file: error reading " + nine + " - (0) Success",
        "check_conf: test for recipients template in error case - failed"},
       ""},
      {"archive restriction case last",
       {{"ArchiveRestrictionNotifications", "SenderNotify", "yes"},
        {"ArchiveRestrictionNotifications", "SenderTemplate", dir_.file("nine.msg")}},
       {},
       78,
       {kQuarantineStarted, kFound, kQuarantinePassed,
        "check_file: error reading " + nine + " - (0) Success",
        "check_conf: test for sender template in archive restriction case - failed"},
       ""},
      {"templates of untested sections are not read",
       {{"MalwareNotifications", "AdminNotify", "yes"},
        {"MalwareNotifications", "AdminTemplate", dir_.file("nine.msg")},
        {"CuredNotifications", "SenderNotify", "yes"},
        {"CuredNotifications", "SenderTemplate", dir_.file("missing.msg")}},
       {},
       0,
       kPassed,
       kMail},
  };
  for (const Row& row : rows) check(row);
}

TEST_F(CheckMode, TestMailOnlyWhenTheAdministratorIsNotified) {
  const Row rows[] = {
      {"AdminNotify off everywhere",
       {{"VirusNotifications", "AdminNotify", "no"}},
       {},
       0,
       {kQuarantineStarted, kFound, kQuarantinePassed},
       ""},
      {"AdminNotify only for archive restrictions",
       {{"VirusNotifications", "AdminNotify", "no"},
        {"ArchiveRestrictionNotifications", "AdminNotify", "yes"}},
       {},
       0,
       kPassed,
       kMail},
      {"AdminNotify only for malware, which is not tested",
       {{"VirusNotifications", "AdminNotify", "no"},
        {"MalwareNotifications", "AdminNotify", "yes"}},
       {},
       0,
       {kQuarantineStarted, kFound, kQuarantinePassed},
       ""},
      {"test mail longer than ReportMaxSize",
       {{"Scanning", "ReportMaxSize", "220"}},
       {},
       78,
       {kQuarantineStarted, kFound, kQuarantinePassed, kSubmitStarted,
        "check_conf: cannot add string <http://www.zarvik.com> to test report",
        "check_conf: mail submit test - failed"},
       ""},
  };
  for (const Row& row : rows) check(row);
}

TEST_F(CheckMode, UnusableDirectoriesFailAndNothingIsLeftBehind) {
  const Row rows[] = {
      {"spool",
       {},
       {},
       78,
       {kQuarantineStarted,
        "files: cannot open tmpfile $DIR/spool/zarvik.tmp.XXXXXX - (13) Permission denied",
        "check_scan: cannot create spool file null - (13) Permission denied",
        "check_move: cannot test spool-file", "check_conf: quarantine test - failed"},
       "",
       "spool"},
      {"quarantine",
       {},
       {},
       78,
       {kQuarantineStarted, kFound,
        "files: cannot open tmpfile $DIR/quarantine/zarvik.quarantine.XXXXXX - (13) Permission "
        "denied",
        "check_move: cannot create archive file null", "check_conf: quarantine test - failed"},
       "",
       "quarantine"},
      {"spool without quarantine",
       no_quarantining_action(),
       {},
       78,
       {"check_conf: spool test - started",
        "files: cannot open tmpfile $DIR/spool/zarvik.tmp.XXXXXX - (13) Permission denied",
        "check_scan: cannot create spool file null - (13) Permission denied",
        "check_spool: cannot test spool file", "check_conf: spool test - failed"},
       "",
       "spool"},
  };
  for (const Row& row : rows) check(row);
}

TEST_F(CheckMode, UnknownCheckAccountEndsWith70) {
  Row row{"unknown account",
          {},
          {},
          70,
          {"conf: non-existing user account zv-no-such-account specified"},
          ""};
  row.account = "zv-no-such-account";
  check(row);
}

// In the program's own process: the test mail carries exactly the token made when the
// configuration was loaded, the one the filter itself compares incoming hashes with;
// and the check leaves a library it did not start running.
TEST_F(CheckMode, TestMailCarriesTheTokenMadeAtLoading) {
  std::string conf = sample_;
  for (const Edit& e : {Edit{"NotificationOptions", "FastNotify", "yes"},
                        Edit{"NotificationOptions", "NotifyHashSalt", "\"a secret\""}})
    conf = edited(conf, e);
  std::string path = dir_.write("check.conf", conf);
  zvtest::Peer daemon(zvtest::zvscand_program(), {"--listen=local:" + dir_.file("zvscand.sock")},
                      dir_, "zvscand");
  ASSERT_TRUE(daemon.ready()) << daemon.log();
  zvtest::CaptureLog log(ZV_LOG_INFO);
  FilterConfig config{};
  ConfSection sections[CONFIG_SECTION_COUNT + 1] = {};
  ASSERT_EQ(load_config(path.c_str(), &config, sections), 1);
  const std::string token = config.notification_options.secure_hash;
  ASSERT_EQ(token.size(), 32u);

  EXPECT_EQ(check_conf(&config, 0), 1) << testing::PrintToString(log.texts());
  EXPECT_FALSE(started());
  ASSERT_EQ(init_lib(&config.daemon), 1);
  EXPECT_EQ(check_conf(&config, 1), 1) << testing::PrintToString(log.texts());
  EXPECT_TRUE(started());
  EXPECT_EQ(cleanup(), kZvcOk);
  release_config(sections);

  std::vector<zvtest::SubmitterRecord> records = zvtest::wait_for_records(records_.path(), 2);
  ASSERT_EQ(records.size(), 2u);
  for (const zvtest::SubmitterRecord& r : records)
    EXPECT_EQ(r.input, kMailHead + "X-zarvik-hash: " + token + "\r\n" + kMailBody);
}

}  // namespace
