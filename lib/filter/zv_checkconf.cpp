// The configuration check (see zv_checkconf.h).
#include "zv_checkconf.h"

#include <cstring>
#include <optional>
#include <string>

#include "zv_badparam.h"
#include "zv_checkfiles.h"
#include "zv_log.h"
#include "zv_mail.h"
#include "zv_mailsend.h"
#include "zv_options.h"
#include "zv_util.h"
#include "zvc_lib.h"
#include "zvc_strings.h"

namespace {

// Cleans the client library up when the check started it.
class LibraryGuard {
 public:
  LibraryGuard() = default;
  ~LibraryGuard() {
    if (owned_) (void)cleanup();
  }
  LibraryGuard(const LibraryGuard&) = delete;
  LibraryGuard& operator=(const LibraryGuard&) = delete;
  void own() { owned_ = true; }

 private:
  bool owned_ = false;
};

bool daemon_version_is_supported(int major, int minor) {
  return major > kCheckDaemonMajor || (major == kCheckDaemonMajor && minor >= kCheckDaemonMinor);
}

bool check_daemon_version() {
  int major = 0;
  int minor = 0;
  int code = get_version(&major, &minor);
  if (code != 0) {
    zv_log(ZV_LOG_ERRORS, "cannot retrieve daemon version (error: %d)", code);
    return false;
  }
  if (!daemon_version_is_supported(major, minor)) {
    zv_log(ZV_LOG_ERRORS,
           "THIS VERSION IS NOT COMPATIBLE WITH Zarvik (R) DAEMON VERSIONS LESS THAT 4.33 !!!");
    return false;
  }
  return true;
}

// The settings that cannot work together.
bool check_contradictions(const FilterConfig* config) {
  const ActionsConfig& a = config->actions;
  const int quarantining[] = {a.infected,          a.incurable,           a.suspicious,
                              a.rule_filter_alert, a.archive_restriction, a.processing_errors,
                              a.scanning_errors,   a.skip_object};
  if (a.quarantine.directory == nullptr) {
    for (int action : quarantining) {
      if (action == ACTION_QUARANTINE) {
        zv_log(ZV_LOG_ERRORS,
               "check_conf: you want to use 'quarantine', but not specify quarantine directory");
        return false;
      }
    }
  }
  if (a.infected == ACTION_CURE && !config->scanning.local_scan) {
    zv_log(ZV_LOG_ERRORS, "check_conf: you cannot use 'cure' in non-local mode");
    return false;
  }
  return true;
}

// The quarantine test when a quarantine directory is set (it scans through the spool
// directory too), the spool test otherwise.
bool check_directories(const FilterConfig* config) {
  const ScanningConfig& s = config->scanning;
  if (config->actions.quarantine.directory != nullptr) {
    zv_log(ZV_LOG_INFO, "check_conf: quarantine test - started");
    if (check_move(&s.spool, &config->actions.quarantine, s.local_scan, s.prefix_path,
                   s.strip_path) != 0) {
      zv_log(ZV_LOG_ERRORS, "check_conf: quarantine test - failed");
      return false;
    }
    zv_log(ZV_LOG_INFO, "check_conf: quarantine test - passed");
    return true;
  }
  zv_log(ZV_LOG_INFO, "check_conf: spool test - started");
  if (check_spool(&s.spool, s.local_scan, s.prefix_path, s.strip_path) != 0) {
    zv_log(ZV_LOG_ERRORS, "check_conf: spool test - failed");
    return false;
  }
  zv_log(ZV_LOG_INFO, "check_conf: spool test - passed");
  return true;
}

struct TestedSection {
  const NotificationConfig* section;
  const char* name;  // the case named in the failure messages
};

// The notification sections whose templates are tested and whose administrator
// notification asks for the test mail, in the order of the template tests.
void tested_sections(const FilterConfig* config, TestedSection (&out)[4]) {
  out[0] = {&config->virus_notify, "virus"};
  out[1] = {&config->error_notify, "error"};
  out[2] = {&config->skip_notify, "skip object"};
  out[3] = {&config->archive_notify, "archive restriction"};
}

bool check_templates(const FilterConfig* config) {
  TestedSection sections[4];
  tested_sections(config, sections);
  for (const TestedSection& t : sections) {
    const NotificationConfig& n = *t.section;
    const struct {
      int notify;
      const char* path;
      const char* role;
    } templates[] = {
        {n.sender_notify, n.sender_template, "sender"},
        {n.admin_notify, n.admin_template, "administrator"},
        {n.rcpts_notify, n.rcpts_template, "recipients"},
    };
    for (const auto& tpl : templates) {
      if (tpl.notify && check_file(tpl.path) != 0) {
        zv_log(ZV_LOG_ERRORS, "check_conf: test for %s template in %s case - failed", tpl.role,
               t.name);
        return false;
      }
    }
  }
  return true;
}

bool admin_is_notified(const FilterConfig* config) {
  TestedSection sections[4];
  tested_sections(config, sections);
  for (const TestedSection& t : sections)
    if (t.section->admin_notify) return true;
  return false;
}

// Appends one piece of the test mail; false (logged) when the list refuses it.
bool add_piece(StringList* mail, const char* piece) {
  if (strings::add(mail, piece)) return true;
  zv_log(ZV_LOG_ERRORS, "check_conf: cannot add string <%s> to test report", piece);
  return false;
}

const char* first_recipient(const MailEnvelope* envelope) {
  const StringList* rcpts = e_rcpts(envelope);
  return rcpts != nullptr && rcpts->begin() != rcpts->end() ? rcpts->begin()->c_str() : nullptr;
}

// Builds the administrator's test mail into `mail`; false (logged) when a piece does not
// fit.
bool build_test_mail(const FilterConfig* config, const MailEnvelope* envelope, StringList* mail) {
  const char* from = e_from(envelope);
  const char* to = first_recipient(envelope);
  const char* hash = config->notification_options.secure_hash;
  const bool fast_notify = config->notification_options.fast_notify != 0;
  const char* pieces[] = {
      "From: \"Zarvik-DAEMON\" <",
      from,
      ">\r\nTo: \"Administrator\" <",
      to,
      ">\r\nSubject: Test Zarvik Mail Filter\r\n",
      fast_notify ? "X-zarvik-hash: " : nullptr,
      fast_notify ? hash : nullptr,
      fast_notify ? "\r\n" : nullptr,
      "\r\nDear Administrator,\r\n\r\nThis is a test message was created by Zarvik mail "
      "filter.\r\n\r\n",
      kCheckWebAddress,
      "\r\n",
      "\r\n",
  };
  for (const char* piece : pieces) {
    // Pieces that are not there or empty are left out.
    if (piece != nullptr && piece[0] != '\0' && !add_piece(mail, piece)) return false;
  }
  return true;
}

bool check_mail_submission(const FilterConfig* config) {
  zv_log(ZV_LOG_INFO, "check_conf: mail submit test - started");
  MailEnvelopePtr envelope(e_create(config->actions.filter_mail));
  if (!envelope) {
    zv_log(ZV_LOG_ERRORS, "check_conf: mail submit test - failed (no memory)");
    return false;
  }
  if (!e_add_rcpt(envelope.get(), config->actions.admin_mail)) {
    zv_log(ZV_LOG_ERRORS, "check_conf: mail submit test - failed");
    return false;
  }
  int limit = config->scanning.report_max_size;
  StringListPtr mail(strings::create(limit > 0 ? static_cast<uint32_t>(limit) : 0));
  if (!mail) {
    zv_log(ZV_LOG_ERRORS, "check_conf: mail submit test - failed (no memory)");
    return false;
  }
  if (!build_test_mail(config, envelope.get(), mail.get())) {
    zv_log(ZV_LOG_ERRORS, "check_conf: mail submit test - failed");
    return false;
  }
  std::optional<std::string> text = strings::join(mail.get(), strings::kForward);
  if (!text) {
    zv_log(ZV_LOG_ERRORS, "check_conf: mail submit test - failed (no memory)");
    return false;
  }
  if (!mailsend(envelope.get(), nullptr, 0, text->data(), text->size(), &config->mailer)) {
    zv_log(ZV_LOG_ERRORS, "check_conf: mail submit test - failed");
    return false;
  }
  zv_log(ZV_LOG_INFO, "check_conf: mail submit test - possible passed");
  return true;
}

}  // namespace

int check_conf(FilterConfig* config, int library_started) {
  if (config == nullptr) {
    zv_log_bad_parameter("check_conf:");
    return 0;
  }
  LibraryGuard library;
  if (!library_started) {
    if (!init_lib(&config->daemon)) return 0;
    library.own();
  }
  if (!check_daemon_version()) return 0;
  if (!check_contradictions(config)) return 0;
  if (!check_directories(config)) return 0;
  if (!check_templates(config)) return 0;
  if (admin_is_notified(config) && !check_mail_submission(config)) return 0;
  return 1;
}
