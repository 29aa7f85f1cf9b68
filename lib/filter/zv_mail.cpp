// Message record and envelope: see zv_mail.h. No locks; allocation failures are caught
// here and reported by result, so no exception leaves the module.
#include "zv_mail.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "zv_log.h"
#include "zv_owned.h"
#include "zvc_lib.h"
#include "zvc_strings.h"

namespace {

const char* show(const char* text) {
  return text != nullptr ? text : "(null)";
}

// Name of a text property in log lines, null for the other kinds.
const char* property_name(int kind) {
  switch (kind) {
    case MAIL_SUBJECT:
      return "subject";
    case MAIL_MESSAGE_ID:
      return "message_id";
    case MAIL_REPLY_STRING:
      return "reply string";
    default:
      return nullptr;
  }
}

std::optional<std::string>* text_property(mail_info* mail, int kind) {
  switch (kind) {
    case MAIL_SUBJECT:
      return &mail->subject;
    case MAIL_MESSAGE_ID:
      return &mail->message_id;
    case MAIL_REPLY_STRING:
      return &mail->reply_string;
    default:
      return nullptr;
  }
}

// A piece of a line for the log: without its line ending.
std::string without_line_end(const char* text, size_t length) {
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
  return std::string(text, strnlen(text, length));
}

}  // namespace

std::optional<std::string> mail_address_string(const char* address) {
  if (address == nullptr) return std::nullopt;
  const char* open = strchr(address, '<');
  const char* close = strrchr(address, '>');
  if (open != nullptr && close != nullptr && open < close) {
    if (close == open + 1) return std::string("<>");
    return std::string(open + 1, close);
  }
  return std::string(address);
}

char* mail_address(const char* address) {
  try {
    std::optional<std::string> normal = mail_address_string(address);
    if (!normal) return nullptr;
    return strdup(normal->c_str());
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

// --- Envelope ---------------------------------------------------------------------------

MailEnvelope* e_create(const char* from) {
  auto* envelope = new (std::nothrow) MailEnvelope;
  if (envelope == nullptr) return nullptr;
  if (from != nullptr && e_set_from(envelope, from) == 0) {
    e_delete(envelope);
    return nullptr;
  }
  return envelope;
}

void e_delete(MailEnvelope* envelope) {
  if (envelope == nullptr) return;
  if (!envelope->rcpts_borrowed) strings::destroy(envelope->rcpts);
  delete envelope;
}

int e_set_from(MailEnvelope* envelope, const char* address) {
  zv_log(ZV_LOG_DEBUG, "mail: e_set_from( %p, %p[%s] )", static_cast<void*>(envelope),
         static_cast<const void*>(address), show(address));
  if (envelope == nullptr || address == nullptr) return 0;
  envelope->from.reset();
  try {
    envelope->from = mail_address_string(address);
  } catch (const std::bad_alloc&) {
    zv_log(ZV_LOG_ERRORS, "mail: no memory in %s(%d)", "zv_mail", __LINE__);
    return 0;
  }
  return 1;
}

int e_add_rcpt(MailEnvelope* envelope, const char* address) {
  zv_log(ZV_LOG_DEBUG, "mail: e_add_rcpt( %p, %p[%s] )", static_cast<void*>(envelope),
         static_cast<const void*>(address), show(address));
  if (envelope == nullptr || address == nullptr) return 0;
  // A borrowed list (even a borrowed null one) is never extended or replaced here.
  if (envelope->rcpts_borrowed) return 0;
  if (envelope->rcpts == nullptr) {
    envelope->rcpts = strings::create(0);
    if (envelope->rcpts == nullptr) return 0;
  }
  try {
    std::optional<std::string> normal = mail_address_string(address);
    return strings::add(envelope->rcpts, normal->c_str());
  } catch (const std::bad_alloc&) {
    zv_log(ZV_LOG_ERRORS, "mail: no memory in %s(%d)", "zv_mail", __LINE__);
    return 0;
  }
}

const char* e_from(const MailEnvelope* envelope) {
  if (envelope == nullptr || !envelope->from) return nullptr;
  return envelope->from->c_str();
}

StringList* e_rcpts(const MailEnvelope* envelope) {
  return envelope != nullptr ? envelope->rcpts : nullptr;
}

int e_rcpts_num(const MailEnvelope* envelope) {
  if (envelope == nullptr) return 0;
  return static_cast<int>(strings::count(envelope->rcpts));
}

int e_has_rcpt(const MailEnvelope* envelope, const char* address) {
  if (envelope == nullptr || envelope->rcpts == nullptr || address == nullptr) return 0;
  for (const std::string& rcpt : envelope->rcpts->items) {
    if (rcpt == address) return 1;
  }
  return 0;
}

int e_set_rcpts(MailEnvelope* envelope, StringList* list) {
  if (envelope == nullptr) return 0;
  if (!envelope->rcpts_borrowed && envelope->rcpts != list) strings::destroy(envelope->rcpts);
  envelope->rcpts = list;
  envelope->rcpts_borrowed = true;
  return 1;
}

void e_print(const MailEnvelope* envelope, int verbosity) {
  if (envelope == nullptr || verbosity <= ZV_LOG_INFO) return;
  zv_log(ZV_LOG_VERBOSE, "mail: --- print envelope info ---");
  if (envelope->from)
    zv_log(ZV_LOG_VERBOSE, "mail: envelope: from=%s", envelope->from->c_str());
  else
    zv_log(ZV_LOG_VERBOSE, "mail: envelope: from=absent");
  if (envelope->rcpts == nullptr) {
    zv_log(ZV_LOG_VERBOSE, "mail: envelope: recipient(s) is absent");
    return;
  }
  zv_log(ZV_LOG_VERBOSE, "mail: envelope: rcpts num = %d", e_rcpts_num(envelope));
  for (const std::string& rcpt : envelope->rcpts->items)
    zv_log(ZV_LOG_VERBOSE, "mail: envelope: to=%s", rcpt.c_str());
}

// --- Message record ---------------------------------------------------------------------

mail_info* mail_create(const char* path) {
  auto* mail = new (std::nothrow) mail_info;
  if (mail == nullptr) {
    zv_log(ZV_LOG_ERRORS, "mail: no memory for mail-struct");
    return nullptr;
  }
  mail->envelope = e_create(nullptr);
  if (mail->envelope == nullptr) {
    zv_log(ZV_LOG_DEBUG, "mail: cannot create envelope");
    delete mail;
    return nullptr;
  }
  if (path != nullptr) {
    try {
      mail->path = path;
    } catch (const std::bad_alloc&) {
      zv_log(ZV_LOG_ERRORS, "mail: no memory for mail-struct");
      e_delete(mail->envelope);
      delete mail;
      return nullptr;
    }
  }
  return mail;
}

void mail_delete(mail_info* mail, int unlink_file) {
  if (mail == nullptr) return;
  zv_log(ZV_LOG_DEBUG, "mail: detete (unlink = %d, path = %s)", unlink_file,
         mail->path ? mail->path->c_str() : "(null)");
  if (mail->path && unlink_file != 0 && !mail->keep_file) {
    if (::unlink(mail->path->c_str()) != 0)
      zv_log(ZV_LOG_ERRORS, "mail: cannot unlink %s - %s", mail->path->c_str(),
             stdlib_error(errno));
    else
      zv_log(ZV_LOG_DEBUG, "mail: file %s unlinked", mail->path->c_str());
  }
  e_delete(mail->envelope);
  scanresult_delete(mail->result);
  delete mail;
}

const char* mail_path(const mail_info* mail) {
  if (mail == nullptr || !mail->path) return nullptr;
  return mail->path->c_str();
}

MailEnvelope* mail_envelope(const mail_info* mail) {
  return mail != nullptr ? mail->envelope : nullptr;
}

int mail_set_envelope(mail_info* mail, MailEnvelope* envelope) {
  if (mail == nullptr || envelope == nullptr) return 0;
  if (mail->envelope != envelope) e_delete(mail->envelope);
  mail->envelope = envelope;
  return 1;
}

ScanResult* mail_result(const mail_info* mail) {
  return mail != nullptr ? mail->result : nullptr;
}

int mail_set_result(mail_info* mail, ScanResult* result) {
  if (mail == nullptr) return 0;
  if (mail->result != result) scanresult_delete(mail->result);
  mail->result = result;
  return 1;
}

void mail_keep_file(mail_info* mail) {
  if (mail != nullptr) mail->keep_file = true;
}

const void* mail_get(const mail_info* mail, int kind) {
  if (mail == nullptr) return nullptr;
  switch (kind) {
    case MAIL_SUBJECT:
      return mail->subject ? mail->subject->c_str() : nullptr;
    case MAIL_MESSAGE_ID:
      return mail->message_id ? mail->message_id->c_str() : nullptr;
    case MAIL_REPLY_STRING:
      return mail->reply_string ? mail->reply_string->c_str() : nullptr;
    case MAIL_HEADERS_OFFSET:
      return &mail->headers_offset;
    case MAIL_HEADERS_LENGTH:
      return &mail->headers_length;
    default:
      return nullptr;
  }
}

int mail_set(mail_info* mail, int kind, const void* value) {
  if (mail == nullptr) return 0;
  if (kind == MAIL_HEADERS_OFFSET || kind == MAIL_HEADERS_LENGTH) {
    if (value == nullptr) return 0;
    const int number = *static_cast<const int*>(value);
    if (kind == MAIL_HEADERS_OFFSET) {
      mail->headers_offset = number;
      zv_log(ZV_LOG_DEBUG, "mail: headers offset = %d", number);
    } else {
      mail->headers_length = number;
      zv_log(ZV_LOG_DEBUG, "mail: headers length = %d", number);
    }
    return 1;
  }
  std::optional<std::string>* slot = text_property(mail, kind);
  if (slot == nullptr) return 1;
  const char* name = property_name(kind);
  if (value == nullptr) {
    zv_log(ZV_LOG_ERRORS, "mail: null value for %s property", name);
    return 0;
  }
  const char* text = static_cast<const char*>(value);
  std::string copy;
  try {
    copy = text;
  } catch (const std::bad_alloc&) {
    zv_log(ZV_LOG_ERRORS, "mail: no memory for %s property", name);
    return 0;
  }
  if (!copy.empty() && copy.back() == '\n') copy.pop_back();
  if (*slot) {
    zv_log(ZV_LOG_DEBUG, "mail: free previous %s = %s", name, (*slot)->c_str());
    slot->reset();
  }
  *slot = std::move(copy);
  zv_log(ZV_LOG_DEBUG, "mail: %s = %s", name, (*slot)->c_str());
  return 1;
}

int mail_reread_headers(mail_info* mail) {
  if (mail == nullptr || !mail->path) return 0;
  constexpr int kBufferSize = 4096;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kBufferSize]);
  if (!buffer) {
    zv_log(ZV_LOG_ERRORS, "mail: %s(%d) no memory for buffer", "zv_mail", __LINE__);
    return 0;
  }
  const char* path = mail->path->c_str();
  zv::UniqueFile file(fopen(path, "re"));
  if (!file) {
    zv_log(ZV_LOG_ERRORS, "mail: cannot open mailfile %s - %s", path, stdlib_error(errno));
    return 0;
  }

  int result = 1;
  bool read_any = false;
  bool end_found = false;
  // A line longer than the buffer arrives in pieces; only a piece that starts a line can
  // be the empty line that ends the headers.
  bool line_start = true;
  long before = 0;
  while (fgets(buffer.get(), kBufferSize, file.get()) != nullptr) {
    const long after = ftell(file.get());
    if (after < 0) {
      zv_log(ZV_LOG_VERBOSE, "mail: cannot get filepos - %s", stdlib_error(errno));
      result = 0;
      break;
    }
    const size_t length = static_cast<size_t>(after - before);
    const char* line = buffer.get();
    if (!read_any) {
      read_any = true;
      mail->headers_offset = 0;
    }
    zv_log(ZV_LOG_DEBUG, "mail: parse headerline: %s", without_line_end(line, length).c_str());
    const bool empty_line = line_start && ((length == 1 && line[0] == '\n') ||
                                           (length == 2 && line[0] == '\r' && line[1] == '\n'));
    if (empty_line) {
      end_found = true;
      const long block = after - mail->headers_offset;
      mail->headers_length = block > 0 ? static_cast<int>(block) : 0;
      break;
    }
    line_start = length > 0 && line[length - 1] == '\n';
    before = after;
  }

  if (result == 1 && !end_found) {
    if (!read_any) {
      zv_log(ZV_LOG_DEBUG, "mail: parse envelope error (s=%d.r=%d.h=%d)", 0, 0, 0);
      result = 0;
    } else {
      zv_log(ZV_LOG_DEBUG, "mail: message seems to have empty body");
      const long block = before - mail->headers_offset - 1;
      mail->headers_length = block > 1 ? static_cast<int>(block) : 1;
    }
  }
  if (zv::close_file(file) != 0) {
    zv_log(ZV_LOG_ERRORS, "mail: cannot close mailfile %s - %s", path, stdlib_error(errno));
    result = 0;
  }
  return result;
}
