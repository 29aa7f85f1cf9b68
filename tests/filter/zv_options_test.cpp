#include "zv_options.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/zv_test_support.h"
#include "zv_conf.h"
#include "zvc_strings.h"

namespace {

using zvtest::CaptureLog;
using zvtest::TempDir;

// A configuration file as sections of "Key = value" lines, edited per test.
class ConfFile {
 public:
  ConfFile() {
    add("DaemonCommunication", {"Address = local:/tmp/zv.sock"});
    add("Scanning", {"Spool = /var/spool/zarvik", "DenyMode = byAll"});
    add("Logging", {"Level = Info"});
    add("Actions", {"FilterMail = zarvik@example.org", "RedirectMail = quarantine@example.org",
                    "Quarantine = /var/spool/zarvik/q"});
    add("VirusNotifications", {});
    add("SkipNotifications", {});
    add("ArchiveRestrictionNotifications", {});
    add("ErrorNotifications", {});
    add("Agent", {});
    add("Mailer", {"MailSystem = Sendmail", "Sendmail = /usr/sbin/sendmail",
                   "MilterAddress = local:/tmp/zv-milter.sock"});
    add("NotificationOptions", {});
  }
  void add(const std::string& section, std::vector<std::string> lines) {
    sections_.push_back({section, std::move(lines)});
  }
  // Replaces the key's line in its section, or appends one.
  ConfFile& set(const std::string& section, const std::string& key, const std::string& value) {
    auto& lines = find(section);
    std::string line = key + " = " + value;
    for (auto& l : lines)
      if (l.compare(0, key.size() + 1, key + " ") == 0) {
        l = line;
        return *this;
      }
    lines.push_back(line);
    return *this;
  }
  ConfFile& drop(const std::string& section, const std::string& key) {
    auto& lines = find(section);
    std::erase_if(
        lines, [&](const std::string& l) { return l.compare(0, key.size() + 1, key + " ") == 0; });
    return *this;
  }
  ConfFile& drop_section(const std::string& section) {
    std::erase_if(sections_, [&](const auto& s) { return s.first == section; });
    return *this;
  }
  std::string text() const {
    std::string out = "# test configuration\n";
    for (const auto& [name, lines] : sections_) {
      out += "[" + name + "]\n";
      for (const auto& l : lines) out += l + "\n";
    }
    return out;
  }

 private:
  std::vector<std::string>& find(const std::string& section) {
    for (auto& s : sections_)
      if (s.first == section) return s.second;
    sections_.push_back({section, {}});
    return sections_.back().second;
  }
  std::vector<std::pair<std::string, std::vector<std::string>>> sections_;
};

using Edit = std::function<void(ConfFile&)>;

// Every heap text and list of the record; all must be null after a failed load.
std::vector<const void*> owned_pointers(const FilterConfig& c) {
  std::vector<const void*> p = {c.daemon.addresses,
                                c.scanning.prefix_path,
                                c.scanning.spool.directory,
                                c.scanning.spool.prefix,
                                c.scanning.deny_list,
                                c.scanning.deny_list_path,
                                c.scanning.filter_account,
                                c.actions.reply_infected,
                                c.actions.reply_rule_filter,
                                c.actions.reply_empty_from,
                                c.actions.reply_suspicious,
                                c.actions.reply_malware,
                                c.actions.reply_skip_object,
                                c.actions.reply_archive_restriction,
                                c.actions.reply_error,
                                c.actions.admin_mail,
                                c.actions.filter_mail,
                                c.actions.redirect_mail,
                                c.actions.unnotified_viruses,
                                c.actions.unnotified_viruses_path,
                                c.actions.unnotified_addresses,
                                c.actions.unnotified_addresses_path,
                                c.actions.quarantine.directory,
                                c.actions.quarantine.prefix,
                                c.mailer.mail_system,
                                c.mailer.sendmail,
                                c.mailer.sendmail_args,
                                c.mailer.milter_address,
                                c.agent.address};
  for (const NotificationConfig* n :
       {&c.virus_notify, &c.malware_notify, &c.skip_notify, &c.archive_notify, &c.error_notify,
        &c.rule_filter_notify, &c.cured_notify}) {
    p.push_back(n->rcpts_template);
    p.push_back(n->admin_template);
    p.push_back(n->sender_template);
  }
  return p;
}

class OptionsTest : public ::testing::Test {
 protected:
  ~OptionsTest() override { release_config(sections_); }

  // Writes the file and loads it; the log holds what the loading said.
  int load(const ConfFile& file) {
    release_config(sections_);
    path_ = dir_.write("zarvik_smf.conf", file.text());
    log_.clear();
    return load_config(path_.c_str(), &config_, sections_);
  }
  int load(const Edit& edit) {
    ConfFile file;
    edit(file);
    return load(file);
  }

  TempDir dir_;
  std::string path_;
  CaptureLog log_{ZV_LOG_DEBUG};
  FilterConfig config_{};
  ConfSection sections_[CONFIG_SECTION_COUNT + 1] = {};
};

TEST_F(OptionsTest, MinimalFileLoadsWithTheDefaults) {
  ASSERT_EQ(load(ConfFile()), 1);
  const FilterConfig& c = config_;
  ASSERT_EQ(strings::count(c.daemon.addresses), 1u);
  EXPECT_EQ(c.daemon.timeout, 0);
  EXPECT_EQ(c.scanning.report_options, REPORT_INCLUDE_REPORT | REPORT_INCLUDE_STATS);
  EXPECT_EQ(c.scanning.report_max_size, 4096);
  EXPECT_EQ(c.scanning.local_scan, 1);
  EXPECT_STREQ(c.scanning.spool.prefix, "zarvik.tmp.");
  EXPECT_EQ(c.scanning.spool.naming_mode, NAMING_STD);
  EXPECT_EQ(c.scanning.spool.mode, 0600);
  EXPECT_EQ(c.scanning.deny_mode, DENY_BY_ALL);
  EXPECT_EQ(c.scanning.deny_list, nullptr);
  EXPECT_EQ(c.logging.level, ZV_LOG_INFO);
  EXPECT_EQ(c.logging.facility, LOG_MAIL);
  EXPECT_EQ(c.logging.priority, LOG_INFO);
  const ActionsConfig& a = c.actions;
  for (int code :
       {a.infected, a.incurable, a.cure_fail, a.suspicious, a.adware, a.dialers, a.jokes,
        a.riskware, a.hacktools, a.rule_filter_alert, a.scanning_errors, a.processing_errors})
    EXPECT_EQ(code, ACTION_QUARANTINE);
  EXPECT_EQ(a.skip_object, ACTION_REJECT);
  EXPECT_EQ(a.archive_restriction, ACTION_REJECT);
  EXPECT_EQ(a.empty_from, ACTION_CONTINUE);
  EXPECT_STREQ(a.admin_mail, "<postmaster>");
  EXPECT_STREQ(a.filter_mail, "<zarvik@example.org>");
  EXPECT_STREQ(a.reply_infected,
               "Zarvik Antivirus: Message is rejected because it contains a virus(es).");
  EXPECT_STREQ(a.reply_archive_restriction,
               "Zarvik Antivirus: Message is rejected because it contains archive which "
               "violates restrictions.");
  EXPECT_STREQ(a.quarantine.prefix, "zarvik.quarantine.");
  EXPECT_EQ(a.quarantine.mode, 0600);
  EXPECT_EQ(a.quarantine_move, 1);
  EXPECT_EQ(c.mailer.milter_timeout, 7210);
  EXPECT_EQ(c.mailer.milter_backlog, 128);
  EXPECT_EQ(c.mailer.milter_debug_level, 0);
  EXPECT_EQ(c.agent.address, nullptr);
  EXPECT_EQ(c.agent.timeout, 10);
  EXPECT_STREQ(c.notification_options.secure_hash, "");
  EXPECT_TRUE(log_.has("read section Agent: address for statistic server not defined"));
  EXPECT_TRUE(section_marks()->agent);
  EXPECT_TRUE(section_marks()->archive_restriction);
  EXPECT_FALSE(section_marks()->cured);
}

TEST_F(OptionsTest, RefusedValuesFailTheirSectionAndLeaveNothingAllocated) {
  struct Case {
    const char* name;
    Edit edit;
    std::string message;
    const char* section;  // named in the reader's closing line; null: refused by the reader
  };
  const Case cases[] = {
      {"no daemon address", [](ConfFile& f) { f.drop("DaemonCommunication", "Address"); },
       "read section DaemonCommunication: no daemon addresses specified", "DaemonCommunication"},
      {"empty address list", [](ConfFile& f) { f.set("DaemonCommunication", "Address", ","); },
       "read section DaemonCommunication: no daemon addresses specified", "DaemonCommunication"},
      {"no spool", [](ConfFile& f) { f.drop("Scanning", "Spool"); },
       "read section Scanning: spool directory not specified", "Scanning"},
      {"mask without read bit", [](ConfFile& f) { f.set("Scanning", "SpoolFilesMode", "0200"); },
       "read section Scanning: access mask 0200 is invalid", "Scanning"},
      {"naming mode", [](ConfFile& f) { f.set("Scanning", "SpoolFilenamesMode", "Unique"); },
       "read section Scanning: invalid naming mode Unique", "Scanning"},
      {"deny mode", [](ConfFile& f) { f.set("Scanning", "DenyMode", "sender"); },
       "read section Scanning: invalid deny mode sender", "Scanning"},
      {"deny list missing", [](ConfFile& f) { f.set("Scanning", "DenyList", "/nonexistent/deny"); },
       "users: error load users list from filename /nonexistent/deny", "Scanning"},
      {"log level", [](ConfFile& f) { f.set("Logging", "Level", "Debug # verbose"); },
       "read section Logging: unsupported log level Debug#verbose specified", "Logging"},
      {"facility", [](ConfFile& f) { f.set("Logging", "SyslogFacility", "Kern"); },
       "read section Logging: unsupported syslog facility Kern specified", "Logging"},
      {"priority", [](ConfFile& f) { f.set("Logging", "SyslogPriority", "Emerg"); },
       "read section Logging: unsupported syslog priority Emerg specified", "Logging"},
      {"pass on virus", [](ConfFile& f) { f.set("Actions", "Infected", "pass"); },
       "read section Actions: invalid action pass on virus", "Actions"},
      {"discard on skip", [](ConfFile& f) { f.set("Actions", "SkipObject", "Discard"); },
       "read section Actions: invalid action Discard on skip object", "Actions"},
      {"abbreviated action", [](ConfFile& f) { f.set("Actions", "Jokes", "quar"); },
       "read section Actions: invalid action quar on jokes", "Actions"},
      {"cure on incurable (old spelling)",
       [](ConfFile& f) { f.set("Actions", "Incureable", "cure"); },
       "read section Actions: invalid action cure on incurable", "Actions"},
      {"remove on cure fail", [](ConfFile& f) { f.set("Actions", "CureFail", "remove"); },
       "read section Actions: invalid action remove on cure fail", "Actions"},
      {"pass on rule filter", [](ConfFile& f) { f.set("Actions", "RuleFilterAlert", "pass"); },
       "read section Actions: invalid action pass on rule filter", "Actions"},
      {"quarantine on empty sender",
       [](ConfFile& f) { f.set("Actions", "EmptyFrom", "quarantine"); },
       "read section Actions: invalid action quarantine on empty From:", "Actions"},
      {"continue on hacktools", [](ConfFile& f) { f.set("Actions", "Hacktools", "continue"); },
       "read section Actions: invalid action continue on intrusion tools (hacktool)", "Actions"},
      {"discard on archive (old name)",
       [](ConfFile& f) { f.set("Actions", "MailbombObject", "discard"); },
       "read section Actions: invalid action discard on mailbomb", "Actions"},
      {"tempfail on suspicious", [](ConfFile& f) { f.set("Actions", "Suspicious", "tempfail"); },
       "read section Actions: invalid action tempfail on suspicious", "Actions"},
      {"cure on scanning errors", [](ConfFile& f) { f.set("Actions", "ScanningErrors", "cure"); },
       "read section Actions: invalid action cure on scanning errors", "Actions"},
      {"discard on processing errors",
       [](ConfFile& f) { f.set("Actions", "ProcessingErrors", "discard"); },
       "read section Actions: invalid action discard on processing errors", "Actions"},
      {"Incurable twice",
       [](ConfFile& f) {
         f.set("Actions", "Incurable", "reject").set("Actions", "Incureable", "reject");
       },
       "read section Actions: Incureable is obsoleted by Incurable, cannot be used together",
       "Actions"},
      {"ArchiveRestriction twice",
       [](ConfFile& f) {
         f.set("Actions", "ArchiveRestriction", "pass").set("Actions", "MailbombObject", "pass");
       },
       "read section Actions: MailbombObject is obsoleted by ArchiveRestriction, cannot be used "
       "together",
       "Actions"},
      {"RuleFilterAlert twice",
       [](ConfFile& f) {
         f.set("Actions", "RuleFilterAlert", "reject").set("Actions", "SpamFilterAlert", "reject");
       },
       "read section Actions: SpamFilterAlert is obsoleted by RuleFilterAlert, cannot be used "
       "together",
       "Actions"},
      {"no filter address", [](ConfFile& f) { f.drop("Actions", "FilterMail"); },
       "read section Actions: not specified filter mail address", "Actions"},
      {"quarantine mask", [](ConfFile& f) { f.set("Actions", "QuarantineFilesMode", "0222"); },
       "read section Actions: access mask 0222 is invalid", "Actions"},
      {"quarantine naming",
       [](ConfFile& f) { f.set("Actions", "QuarantineFilenamesMode", "Time"); },
       "read section Actions: invalid naming mode Time", "Actions"},
      {"address list missing",
       [](ConfFile& f) { f.set("Actions", "UnnotificableAddressesList", "/nonexistent/a"); },
       "maddr: error load addresses list from filename /nonexistent/a", "Actions"},
      {"virus list missing",
       [](ConfFile& f) { f.set("Actions", "UnnotificableVirusesList", "/nonexistent/v"); },
       "virus: error loading viruses list from filename /nonexistent/v", "Actions"},
      {"sender template", [](ConfFile& f) { f.set("VirusNotifications", "SenderNotify", "yes"); },
       "read section VirusNotifications: you should specify filename with message template for "
       "sender",
       "VirusNotifications"},
      {"admin template", [](ConfFile& f) { f.set("SkipNotifications", "AdminNotify", "on"); },
       "read section SkipNotifications: you should specify filename with message template for "
       "administrator",
       "SkipNotifications"},
      {"recipients template",
       [](ConfFile& f) {
         f.set("ErrorNotifications", "RcptsNotify", "true")
             .set("ErrorNotifications", "SenderTemplate", "/t/sender");
       },
       "read section ErrorNotifications: you should specify filename with message template for "
       "recipients",
       "ErrorNotifications"},
      {"no mail system", [](ConfFile& f) { f.drop("Mailer", "MailSystem"); },
       "read section Mailer: this filter work with \"Sendmail\", but mailer not specified",
       "Mailer"},
      {"no sendmail", [](ConfFile& f) { f.drop("Mailer", "Sendmail"); },
       "read section Mailer: sendmail program not specified", "Mailer"},
      {"other mailer", [](ConfFile& f) { f.set("Mailer", "MailSystem", "postfix"); },
       "read section Mailer: this filter work with \"Sendmail\", but conf file for postfix mailer",
       "Mailer"},
      {"no milter address", [](ConfFile& f) { f.drop("Mailer", "MilterAddress"); },
       "read section Mailer: you must specify Milter address from sendmail.cf", "Mailer"},
      {"fast notify without salt",
       [](ConfFile& f) { f.set("NotificationOptions", "FastNotify", "yes"); },
       "read section NotificationOptions: you should specify NotifyHashSalt if use FastNotify",
       "NotificationOptions"},
      {"old archive section after the new", [](ConfFile& f) { f.add("MailbombNotifications", {}); },
       "read section MailbombNotifications: is obsoleted by ArchiveRestrictionNotifications, "
       "cannot be used together",
       "MailbombNotifications"},
      {"new archive section after the old",
       [](ConfFile& f) {
         f.drop_section("ArchiveRestrictionNotifications");
         f.add("MailbombNotifications", {});
         f.add("ArchiveRestrictionNotifications", {});
       },
       "read section ArchiveRestrictionNotifications: obsolete MailbombNotifications, cannot be "
       "used together",
       "ArchiveRestrictionNotifications"},
      {"obsolete section", [](ConfFile& f) { f.add("Submitter", {}); },
       "zvlib: read_conf(" + dir_.file("zarvik_smf.conf") +
           "): section [Submitter] is obsolete - stop parsing, please read documentation",
       nullptr},
      {"obsolete key", [](ConfFile& f) { f.set("Logging", "Location", "syslog"); },
       "zvlib: read_section(Logging): parameter Location is obsolete - stop parsing, please read "
       "documentation",
       "Logging"},
      {"required section missing", [](ConfFile& f) { f.drop_section("Mailer"); }, "", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(load(c.edit), 0);
    if (!c.message.empty()) {
      EXPECT_TRUE(log_.has(c.message)) << testing::PrintToString(log_.texts());
    }
    if (c.section != nullptr) {
      EXPECT_TRUE(
          log_.has("zvlib: read_conf(" + path_ + "): error in section [" + c.section + "]"));
    }
    for (const void* p : owned_pointers(config_)) EXPECT_EQ(p, nullptr);
    for (int i = 0; i < CONFIG_SECTION_COUNT; ++i) EXPECT_EQ(sections_[i].loaded, 0);
  }
  EXPECT_TRUE(log_.has("zvlib: read_conf(" + path_ + "): section [Mailer] missed"));
}

TEST_F(OptionsTest, AcceptedVariants) {
  struct Case {
    const char* name;
    Edit edit;
    std::function<int(const FilterConfig&)> field;
    int expected;
  };
  const Case cases[] = {
      {"REJECTED is reject", [](ConfFile& f) { f.set("Actions", "SkipObject", "REJECTED"); },
       [](const FilterConfig& c) { return c.actions.skip_object; }, ACTION_REJECT},
      {"Quarantine keyword", [](ConfFile& f) { f.set("Actions", "Infected", "Quarantine"); },
       [](const FilterConfig& c) { return c.actions.infected; }, ACTION_QUARANTINE},
      {"cure on virus", [](ConfFile& f) { f.set("Actions", "Infected", "cure"); },
       [](const FilterConfig& c) { return c.actions.infected; }, ACTION_CURE},
      {"old Incurable spelling", [](ConfFile& f) { f.set("Actions", "Incureable", "remove"); },
       [](const FilterConfig& c) { return c.actions.incurable; }, ACTION_REMOVE},
      {"old ArchiveRestriction name",
       [](ConfFile& f) { f.set("Actions", "MailbombObject", "pass"); },
       [](const FilterConfig& c) { return c.actions.archive_restriction; }, ACTION_PASS},
      {"old RuleFilterAlert name",
       [](ConfFile& f) { f.set("Actions", "SpamFilterAlert", "discard"); },
       [](const FilterConfig& c) { return c.actions.rule_filter_alert; }, ACTION_DISCARD},
      {"tempfail on processing errors",
       [](ConfFile& f) { f.set("Actions", "ProcessingErrors", "tempfail"); },
       [](const FilterConfig& c) { return c.actions.processing_errors; }, ACTION_TEMPFAIL},
      {"reject on empty sender", [](ConfFile& f) { f.set("Actions", "EmptyFrom", "reject"); },
       [](const FilterConfig& c) { return c.actions.empty_from; }, ACTION_REJECT},
      {"bySender", [](ConfFile& f) { f.set("Scanning", "DenyMode", "bySender"); },
       [](const FilterConfig& c) { return c.scanning.deny_mode; }, DENY_BY_SENDER},
      {"byS", [](ConfFile& f) { f.set("Scanning", "DenyMode", "byS"); },
       [](const FilterConfig& c) { return c.scanning.deny_mode; }, DENY_BY_SENDER},
      {"by", [](ConfFile& f) { f.set("Scanning", "DenyMode", "by"); },
       [](const FilterConfig& c) { return c.scanning.deny_mode; }, DENY_BY_ALL},
      {"BYALLRECIPIENTS", [](ConfFile& f) { f.set("Scanning", "DenyMode", "BYALLRECIPIENTS"); },
       [](const FilterConfig& c) { return c.scanning.deny_mode; }, DENY_BY_ALL_RECIPIENTS},
      {"no DenyMode", [](ConfFile& f) { f.drop("Scanning", "DenyMode"); },
       [](const FilterConfig& c) { return c.scanning.deny_mode; }, DENY_BY_ALL},
      {"mask 01640", [](ConfFile& f) { f.set("Scanning", "SpoolFilesMode", "01640"); },
       [](const FilterConfig& c) { return static_cast<int>(c.scanning.spool.mode); }, 0640},
      {"Rand48 naming", [](ConfFile& f) { f.set("Scanning", "SpoolFilenamesMode", "rand"); },
       [](const FilterConfig& c) { return c.scanning.spool.naming_mode; }, NAMING_RAND48},
      {"Tai naming", [](ConfFile& f) { f.set("Actions", "QuarantineFilenamesMode", "TAI"); },
       [](const FilterConfig& c) { return c.actions.quarantine.naming_mode; }, NAMING_TAI},
      {"SpamFilter turns RuleFilter on",
       [](ConfFile& f) { f.set("Scanning", "SpamFilter", "yes"); },
       [](const FilterConfig& c) { return c.scanning.rule_filter; }, 1},
      {"no report", [](ConfFile& f) { f.set("Scanning", "IncludeReport", "no"); },
       [](const FilterConfig& c) { return c.scanning.report_options; }, REPORT_INCLUDE_STATS},
      {"level abbreviated", [](ConfFile& f) { f.set("Logging", "Level", "verb"); },
       [](const FilterConfig& c) { return c.logging.level; }, ZV_LOG_VERBOSE},
      {"empty level is the first name", [](ConfFile& f) { f.set("Logging", "Level", ""); },
       [](const FilterConfig& c) { return c.logging.level; }, ZV_LOG_QUIET},
      {"facility local3", [](ConfFile& f) { f.set("Logging", "SyslogFacility", "local3"); },
       [](const FilterConfig& c) { return c.logging.facility; }, LOG_LOCAL3},
      {"priority notice", [](ConfFile& f) { f.set("Logging", "SyslogPriority", "NOTICE"); },
       [](const FilterConfig& c) { return c.logging.priority; }, LOG_NOTICE},
      {"sendmail-8", [](ConfFile& f) { f.set("Mailer", "MailSystem", "sendmail-8"); },
       [](const FilterConfig& c) { return c.mailer.milter_backlog; }, 128},
      {"template without its flag",
       [](ConfFile& f) { f.set("VirusNotifications", "AdminTemplate", "/t/admin"); },
       [](const FilterConfig& c) { return c.virus_notify.admin_notify; }, 0},
      {"no quarantine directory", [](ConfFile& f) { f.drop("Actions", "Quarantine"); },
       [](const FilterConfig& c) { return static_cast<int>(c.actions.quarantine.mode); }, 0},
      {"only the old archive section",
       [](ConfFile& f) {
         f.drop_section("ArchiveRestrictionNotifications");
         f.add("MailbombNotifications", {"AdminNotify = yes", "AdminTemplate = /t/a"});
       },
       [](const FilterConfig& c) { return c.archive_notify.admin_notify; }, 1},
      {"a section met twice keeps its last values",
       [](ConfFile& f) {
         f.add("DaemonCommunication", {"Address = local:/a, inet:1@localhost", "Timeout = 12abc"});
       },
       [](const FilterConfig& c) {
         return static_cast<int>(strings::count(c.daemon.addresses)) * 100 + c.daemon.timeout;
       },
       212},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(load(c.edit), 1) << testing::PrintToString(log_.texts());
    EXPECT_EQ(c.field(config_), c.expected);
  }
}

TEST_F(OptionsTest, WarningsOfTheOptionalSettings) {
  ConfFile file;
  file.drop("Scanning", "DenyMode").drop("Actions", "RedirectMail").drop("Actions", "Quarantine");
  file.set("Actions", "Incureable", "reject");
  ASSERT_EQ(load(file), 1);
  for (const char* line :
       {"read section Scanning: DenyMode doesnt specified - set default byAll",
        "read section Actions: you do not specify redirect address, infected message would not "
        "been redirected",
        "read section Actions: you do not specify quarantine directory, infected message would "
        "not been storied",
        "zvlib: read_section(Actions): parameter Incureable is obsolete - continue, but please "
        "read documentation"})
    EXPECT_TRUE(log_.has(line)) << line;
  EXPECT_EQ(config_.actions.redirect_mail, nullptr);
  EXPECT_EQ(config_.actions.quarantine.directory, nullptr);
  EXPECT_EQ(config_.actions.incurable, ACTION_REJECT);
}

TEST_F(OptionsTest, MailAddressesAreStoredInAngleBrackets) {
  const std::pair<const char*, const char*> cases[] = {
      {"user@example.org", "<user@example.org>"},
      {"<user@example.org>", "<user@example.org>"},
      {"\"Virus Desk <desk@example.org>\"", "Virus Desk <desk@example.org>"},
      {"postmaster", "<postmaster>"},
  };
  for (const auto& [value, stored] : cases) {
    SCOPED_TRACE(value);
    ASSERT_EQ(load([&](ConfFile& f) { f.set("Actions", "RedirectMail", value); }), 1);
    EXPECT_STREQ(config_.actions.redirect_mail, stored);
  }
  char* out = nullptr;
  EXPECT_EQ(normalize_mail_address(nullptr, &out), 0);
  EXPECT_TRUE(log_.contains("conf: bad parameters (1.0) were passed (zv_actions:"));
  EXPECT_EQ(out, nullptr);
}

TEST_F(OptionsTest, FastNotifyMakesANewTokenAtEveryLoad) {
  ConfFile file;
  file.set("NotificationOptions", "FastNotify", "yes")
      .set("NotificationOptions", "NotifyHashSalt", "s3cret");
  ASSERT_EQ(load(file), 1);
  std::string first = config_.notification_options.secure_hash;
  ASSERT_EQ(load(file), 1);
  std::string second = config_.notification_options.secure_hash;
  EXPECT_EQ(first.size(), 32u);
  EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(first, second);
  EXPECT_EQ(config_.notification_options.fast_notify, 1);
}

// The own-copy mark is made at every load whatever FastNotify says, and only that exact
// token (at the start of the header value) is taken for it.
TEST_F(OptionsTest, OwnCopyMarkIsANewSecretAtEveryLoad) {
  ConfFile file;
  ASSERT_EQ(load(file), 1);
  const std::string first = config_.actions.own_mark;
  ASSERT_EQ(load(file), 1);
  const std::string second = config_.actions.own_mark;
  EXPECT_EQ(first.size(), 32u);
  EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(first, second);
  EXPECT_EQ(own_mark_line(&config_.actions), "X-zarvik-hash: " + second + "\r\n");
  const struct {
    const char* name;
    std::string value;
    bool own;
  } rows[] = {
      {"the mark", second, true},
      {"the mark and more", second + " trailing", true},
      {"the mark of an earlier load", first, false},
      {"a shortened mark", second.substr(0, 31), false},
      {"empty", "", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(is_own_mark(&config_.actions, row.value.c_str()), row.own);
  }
  ActionsConfig unmarked{};
  EXPECT_FALSE(is_own_mark(&unmarked, ""));
  EXPECT_EQ(own_mark_line(&unmarked), "");
}

TEST_F(OptionsTest, AgentSectionWithAddress) {
  ASSERT_EQ(load([](ConfFile& f) {
              f.set("Agent", "Address", "local:/tmp/agent.sock").set("Agent", "Timeout", "3");
            }),
            1);
  EXPECT_STREQ(config_.agent.address, "local:/tmp/agent.sock");
  EXPECT_EQ(config_.agent.timeout, 3);
  EXPECT_EQ(config_.agent.connection, nullptr);
  ASSERT_EQ(load([](ConfFile& f) { f.drop_section("Agent"); }), 1);
  EXPECT_EQ(config_.agent.address, nullptr);
  EXPECT_FALSE(section_marks()->agent);
}

TEST_F(OptionsTest, ConfigurationTraceNamesEveryAction) {
  ASSERT_EQ(load([](ConfFile& f) {
              f.set("Actions", "Infected", "cure").set("Actions", "EmptyFrom", "discard");
              f.set("Actions", "ScanningErrors", "tempfail").set("Actions", "Adware", "pass");
            }),
            1);
  log_.clear();
  log_config_trace(&config_);
  const std::vector<std::string> expected = {
      "action on infected = C",
      "action on incurable = Q",
      "action on curing fail = Q",
      "action on suspicious = Q",
      "action on advertizing software (adware) = P",
      "action on dialers = Q",
      "action on jokes, hoaxes = Q",
      "action on potentially dangerous software (riskware) = Q",
      "action on intrusion tools (hacktools) = Q",
      "action on rule filter alert = Q",
      "action on empty from = D",
      "action on skipped = R",
      "action on archive restrictions = R",
      "action on scanning error = T",
      "action on processing error = Q",
  };
  EXPECT_EQ(log_.texts(), expected);
}

TEST(ActionParser, KeywordsPrefixesAndAllowedSets) {
  CaptureLog log(ZV_LOG_DEBUG);
  const int all = 0x3FE;
  struct Case {
    const char* value;
    int allowed;
    int result;
    int code;
  };
  const Case cases[] = {
      {"pass", all, 1, ACTION_PASS},
      {"PASSED", all, 1, ACTION_PASS},
      {"rejected", all, 1, ACTION_REJECT},
      {"quar", all, 0, 0},
      {"removeall", all, 1, ACTION_REMOVE},
      {"Continue", all, 1, ACTION_CONTINUE},
      {"redirect", all, 1, ACTION_REDIRECT},
      {"tempfail", all, 1, ACTION_TEMPFAIL},
      {"cure", ACTION_BIT(ACTION_REJECT), 0, 0},
      {"", all, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    int code = 0;
    EXPECT_EQ(parse_action(c.value, c.allowed, &code), c.result);
    EXPECT_EQ(code, c.code);
  }
  log.clear();
  int code = 0;
  EXPECT_EQ(parse_action("discard",
                         ACTION_BIT(ACTION_REJECT) | ACTION_BIT(ACTION_REDIRECT) |
                             ACTION_BIT(ACTION_DISCARD) | ACTION_BIT(ACTION_QUARANTINE),
                         &code),
            1);
  EXPECT_TRUE(log.has("conf: action=discard, set=RQDF"));
  EXPECT_EQ(parse_action(nullptr, all, &code), 0);
  EXPECT_TRUE(log.contains("conf: bad parameters (1.0.0) were passed (zv_actions:"));
  EXPECT_EQ(log.texts().back().back(), ' ');
  EXPECT_STREQ(action_letter(ACTION_REMOVE), "L");
  EXPECT_STREQ(action_letter(0), "?");
  EXPECT_STREQ(action_letter(10), "?");
}

TEST(NameTables, PrefixOfTheValueSelectsTheFirstMatchingName) {
  struct Case {
    const char* value;
    const NameCode* table;
    int result;
    int code;
  };
  const Case cases[] = {
      {"byS", kDenyModes, 1, DENY_BY_SENDER},
      {"bySenderAnd", kDenyModes, 1, DENY_BY_SENDER_AND_ONE_RECIPIENT},
      {"byO", kDenyModes, 1, DENY_BY_ONE},
      {"byOneR", kDenyModes, 1, DENY_BY_ONE_RECIPIENT},
      {"", kNamingModes, 1, NAMING_STD},
      {"r", kNamingModes, 1, NAMING_RAND48},
      {"Stdx", kNamingModes, 0, 0},
      {"e", kLogLevels, 1, ZV_LOG_ERRORS},
      {"local7", kSyslogFacilities, 1, LOG_LOCAL7},
      {"Local", kSyslogFacilities, 1, LOG_LOCAL0},
      {"a", kSyslogPriorities, 1, LOG_ALERT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    int code = 0;
    EXPECT_EQ(lookup_name(c.value, c.table, &code), c.result);
    EXPECT_EQ(code, c.code);
  }
}

}  // namespace
