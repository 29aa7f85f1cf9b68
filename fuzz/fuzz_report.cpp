// A notification's text: report() expanding a template's macros with the facts of one
// message and its scan result. The input is "TEMPLATE\0SUBJECT": the template file and
// the Subject the received message carried (without a zero byte, the whole input is the
// template and the message has no Subject).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "zv_fuzz_support.h"
#include "zv_mail.h"
#include "zv_notify.h"
#include "zv_options.h"
#include "zvc_result.h"
#include "zvc_strings.h"

namespace {

const char kHeaders[] = "From: sender@example.org\r\nSubject: offer\r\n";
std::string* g_message_path = nullptr;

bool add_names(ScanResult* result, int kind, std::initializer_list<const char*> names) {
  StringListPtr list(strings::create(0));
  if (!list) return false;
  for (const char* n : names)
    if (strings::add(list.get(), n) != 1) return false;
  result->viruses.lists[static_cast<size_t>(kind)] = std::move(list);
  return true;
}

// A message as the filter holds it after a scan that found two viruses and adware.
MailInfoPtr make_message(const zvfuzz::Split& in) {
  MailInfoPtr mail(mail_create(g_message_path->c_str()));
  if (!mail) return nullptr;
  MailEnvelope* e = mail_envelope(mail.get());
  if (e_set_from(e, "<sender@example.org>") != 1 || e_add_rcpt(e, "<a@example.org>") != 1 ||
      e_add_rcpt(e, "<b@example.org>") != 1 ||
      mail_set(mail.get(), MAIL_MESSAGE_ID, "4AbCdEf") != 1)
    return nullptr;
  int offset = 0;
  int length = static_cast<int>(strlen(kHeaders) + 2);
  if (mail_set(mail.get(), MAIL_HEADERS_OFFSET, &offset) != 1 ||
      mail_set(mail.get(), MAIL_HEADERS_LENGTH, &length) != 1)
    return nullptr;
  if (in.split && mail_set(mail.get(), MAIL_SUBJECT, in.tail.c_str()) != 1) return nullptr;
  ScanResult* r = scanresult_new();
  if (r == nullptr) return nullptr;
  r->status = kStatusKnownVirus | kStatusAdware;
  r->statistics.known = 2;
  r->statistics.adware = 1;
  r->rule = "R-Headers";
  if (scanresult_set_report(r, "zarvik.tmp.Ab12Cd infected\n") != 1 ||
      !add_names(r, kVirusKnown, {"V-One", "V-Two"}) || !add_names(r, kVirusAdware, {"A-One"}) ||
      mail_set_result(mail.get(), r) != 1) {
    scanresult_delete(r);
    return nullptr;
  }
  return mail;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zvfuzz::quiet_logging();
  g_message_path = new std::string(
      zvfuzz::write_scratch("zarvik.tmp.Ab12Cd", std::string(kHeaders) + "\r\nbody\r\n"));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const zvfuzz::Split in = zvfuzz::split_at_nul(data, size);
  const std::string path = zvfuzz::write_scratch("t.tpl", in.split ? in.head : in.tail);
  MailInfoPtr mail = make_message(in);
  if (!mail) std::abort();
  ActionsConfig actions{};
  actions.admin_mail = const_cast<char*>("<postmaster@example.org>");
  actions.filter_mail = const_cast<char*>("<zarvik@mx.example.org>");
  char* text = report(mail.get(), path.c_str(), "/var/lib/zarvik/quarantine/q.1", &actions);
  if (text != nullptr) {
    volatile size_t length = strlen(text);
    (void)length;
    free(text);
  }
  return 0;
}
