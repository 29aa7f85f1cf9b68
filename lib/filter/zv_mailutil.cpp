// Header text utilities and the secure token: see zv_mailutil.h. No state, no locks.
#include "zv_mailutil.h"

#include <openssl/evp.h>
#include <strings.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "zv_badparam.h"
#include "zv_log.h"
#include "zv_mail.h"
#include "zv_owned.h"

namespace {

using HeapText = zv::UniqueMalloc<char>;

// Value of a base64 character of the RFC 2045 alphabet, -1 for others.
int base64_value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Value of an upper-case hexadecimal digit, -1 for others (RFC 2047 allows no lower case).
int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Output of decode_subject: a fixed buffer that refuses to grow past its size, keeping
// one byte for the terminator.
struct Output {
  char* data;
  size_t capacity;  // bytes, terminator included
  size_t used = 0;

  size_t room() const { return capacity - 1 - used; }
  bool put(char c) {
    if (room() == 0) return false;
    data[used++] = c;
    return true;
  }
};

// Decodes base64 `text` of `length` bytes into `out`; false when it does not decode.
bool decode_base64(const char* text, size_t length, Output& out) {
  if ((length + 3) / 4 * 3 > out.room()) return false;
  unsigned int bits = 0;
  int count = 0;
  bool previous_cr = false;
  for (size_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\r' || c == '\n' || c == ' ' || c == '\t') continue;
    if (c == '=') break;
    const int value = base64_value(c);
    if (value < 0) return false;
    bits = ((bits << 6) | static_cast<unsigned int>(value)) & 0xFFFFu;
    count += 6;
    if (count < 8) continue;
    count -= 8;
    const char byte = static_cast<char>((bits >> count) & 0xFFu);
    // Mail bodies encoded on Windows often double the CR of a line end.
    const bool cr = byte == '\r';
    if (!(cr && previous_cr) && !out.put(byte)) return false;
    previous_cr = cr;
  }
  return true;
}

// Decodes RFC 2047 quoted-printable `text` into `out`; false when it does not decode.
bool decode_qp(const char* text, size_t length, Output& out) {
  for (size_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    char byte;
    if (c == '_') {
      byte = ' ';
    } else if (c == '=') {
      if (i + 2 >= length) return false;
      const int high = hex_value(static_cast<unsigned char>(text[i + 1]));
      const int low = hex_value(static_cast<unsigned char>(text[i + 2]));
      if (high < 0 || low < 0) return false;
      byte = static_cast<char>(high * 16 + low);
      i += 2;
    } else if ((c >= '!' && c <= '~' && c != '?') || c >= 0xA0) {
      byte = static_cast<char>(c);
    } else {
      continue;  // white space, controls and 0x7F..0x9F have no place in a word
    }
    if (!out.put(byte)) return false;
  }
  return true;
}

// The subject's copy: exactly its bytes and the terminator, so that a sanitizer sees any
// read past its end.
struct Input {
  const char* text;
  size_t size;  // without the terminator

  char operator[](size_t i) const { return text[i]; }
  // Position of the next `c` at or after `from`, or npos.
  size_t find(char c, size_t from) const {
    if (from >= size) return std::string::npos;
    const void* hit = memchr(text + from, c, size - from);
    return hit != nullptr ? static_cast<size_t>(static_cast<const char*>(hit) - text)
                          : std::string::npos;
  }
};

// Decodes the encoded word that starts with "=?" at `start`. On success *next is where
// the walk goes on, never beyond the end of the text; false (logged) when the word is
// malformed or foreign.
bool decode_word(const Input& in, size_t start, const char* charset, Output& out, size_t* next) {
  const size_t n = in.size;
  const char* word = in.text + start;
  const size_t charset_start = start + 2;
  const size_t second = in.find('?', charset_start);
  if (second == std::string::npos) {
    zv_log(ZV_LOG_DEBUG, "decode_subject: 2nd ? not found in %s", word);
    return false;
  }
  const std::string word_charset(in.text + charset_start, second - charset_start);
  if (strncasecmp(charset, word_charset.c_str(), word_charset.size()) != 0) {
    zv_log(ZV_LOG_VERBOSE,
           "decode_subject: template charset(%s) and message charset(%s) is different", charset,
           word_charset.c_str());
    return false;
  }
  const size_t letter = second + 1;
  if (letter >= n) {
    zv_log(ZV_LOG_VERBOSE, "decode_subject: 3rd ? not found in %s", word);
    return false;
  }
  const char encoding = in[letter];
  const bool base64 = encoding == 'B' || encoding == 'b';
  if (!base64 && encoding != 'Q' && encoding != 'q') {
    zv_log(ZV_LOG_VERBOSE, "decode_subject: invalid encoding %c specified", encoding);
    return false;
  }
  if (letter + 1 >= n || in[letter + 1] != '?') {
    zv_log(ZV_LOG_VERBOSE, "decode_subject: 3rd ? not found in %s", word);
    return false;
  }
  const size_t text = letter + 2;
  const size_t last = in.find('?', text);
  if (last == std::string::npos) {
    zv_log(ZV_LOG_VERBOSE, "decode_subject: last ? not found in %s", word);
    return false;
  }
  if (last + 1 >= n || in[last + 1] != '=') {
    // Not closed by "?=": the word yields nothing. Never step past the end of the text.
    *next = last + 2 < n ? last + 2 : n;
    return true;
  }
  const char* data = in.text + text;
  const size_t length = last - text;
  if (base64) {
    if (!decode_base64(data, length, out)) {
      zv_log(ZV_LOG_VERBOSE, "decode_subject: failed to decode base64");
      return false;
    }
  } else if (!decode_qp(data, length, out)) {
    zv_log(ZV_LOG_VERBOSE, "decode_subject: failed to decode qp");
    return false;
  }
  *next = last + 2;
  return true;
}

}  // namespace

int is_special(const mail_info* mail, const char* a, const char* b, const char* label) {
  if (a == nullptr || b == nullptr) {
    zv_log_bad_parameters("is_special", a == nullptr, b == nullptr);
    return 0;
  }
  const MailEnvelope* envelope = mail_envelope(mail);
  int one_rcpt = 0;
  int from_is_a = 0;
  int rcpts_have_b = 0;
  try {
    const std::optional<std::string> bare_a = mail_address_string(a);
    const std::optional<std::string> bare_b = mail_address_string(b);
    const char* from = e_from(envelope);
    one_rcpt = e_rcpts_num(envelope) == 1;
    from_is_a = from != nullptr && *bare_a == from;
    rcpts_have_b = e_has_rcpt(envelope, bare_b->c_str());
  } catch (const std::bad_alloc&) {
    zv_log(ZV_LOG_ERRORS, "is_special: no memory (%s:%d)", "zv_mailutil", __LINE__);
    return 0;
  }
  zv_log(ZV_LOG_VERBOSE, "is_special(%s):  -> (%d.%d.%d)", label != nullptr ? label : "", one_rcpt,
         from_is_a, rcpts_have_b);
  return one_rcpt && from_is_a && rcpts_have_b ? 1 : 0;
}

std::string one_line(const char* text, bool keep_folds) {
  std::string out;
  if (text == nullptr) return out;
  for (const char* p = text; *p != '\0'; ++p) {
    // Folding: a line end followed by a blank or tab continues the line.
    size_t eol = p[0] == '\r' && p[1] == '\n' ? 2 : p[0] == '\n' ? 1 : 0;
    if (eol != 0 && (p[eol] == ' ' || p[eol] == '\t')) {
      if (keep_folds) out.append(p, eol);
      p += eol - 1;
      continue;
    }
    out.push_back(*p == '\r' || *p == '\n' ? ' ' : *p);
  }
  return out;
}

char* decode_subject(const char* subject, const char* charset) {
  if (subject == nullptr) return nullptr;
  if (charset == nullptr) charset = "us-ascii";
  HeapText copy(strdup(subject));
  if (!copy) {
    zv_log(ZV_LOG_ERRORS, "decode_subject: no memory");
    return nullptr;
  }
  const Input in{copy.get(), strlen(copy.get())};
  const size_t n = in.size;
  Output out{static_cast<char*>(malloc(3 * n + 1)), 3 * n + 1};
  HeapText owner(out.data);
  if (out.data == nullptr) {
    zv_log(ZV_LOG_ERRORS, "decode_subject: no memory");
    return nullptr;
  }
  size_t i = 0;
  while (i < n) {
    if (in[i] != '=') {
      if (!out.put(in[i])) return nullptr;
      ++i;
    } else if (i + 1 >= n) {
      if (!out.put('=')) return nullptr;
      break;
    } else if (in[i + 1] != '?') {
      if (!out.put('=') || !out.put(in[i + 1])) return nullptr;
      i += 2;
    } else {
      bool decoded = false;
      try {
        decoded = decode_word(in, i, charset, out, &i);
      } catch (const std::bad_alloc&) {
        zv_log(ZV_LOG_ERRORS, "decode_subject: no memory");
      }
      if (!decoded) return nullptr;
      // decode_word never moves the walk past the end; a position beyond it is a bug.
      if (i > n) {
        zv_log(ZV_LOG_ERRORS, "decode_subject: word ends past the end of the subject");
        return nullptr;
      }
    }
  }
  out.data[out.used] = '\0';
  return owner.release();
}

int secure_hash_compute(uint32_t seconds, uint32_t microseconds, uint32_t pid, const char* salt,
                        char* out, std::size_t out_size) {
  if (salt == nullptr || out == nullptr || out_size < SECURE_TOKEN_SIZE) {
    zv_log_bad_parameters("hash", salt == nullptr, out == nullptr);
    return 0;
  }
  out[0] = '\0';
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  &EVP_MD_CTX_free);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  // The three numbers go in as 32-bit integers in the host's byte order.
  const bool done =
      context != nullptr && EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) == 1 &&
      EVP_DigestUpdate(context.get(), &seconds, sizeof seconds) == 1 &&
      EVP_DigestUpdate(context.get(), &microseconds, sizeof microseconds) == 1 &&
      EVP_DigestUpdate(context.get(), &pid, sizeof pid) == 1 &&
      EVP_DigestUpdate(context.get(), salt, strlen(salt)) == 1 &&
      EVP_DigestFinal_ex(context.get(), digest, &digest_length) == 1 && digest_length == 16;
  if (!done) {
    zv_log(ZV_LOG_ERRORS, "hash: cannot compute the digest");
    return 0;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  const size_t length = digest_length;
  for (size_t i = 0; i < length; ++i) {
    out[2 * i] = kHex[digest[i] >> 4];
    out[2 * i + 1] = kHex[digest[i] & 0x0F];
  }
  out[2 * length] = '\0';
  return 1;
}

int make_secure_hash(const char* salt, char* out, std::size_t out_size) {
  if (out != nullptr && out_size > 0) out[0] = '\0';
  struct timeval now {};
  if (gettimeofday(&now, nullptr) != 0) {
    zv_log(ZV_LOG_ERRORS, "hash: cannot get time of day");
    return 0;
  }
  return secure_hash_compute(static_cast<uint32_t>(now.tv_sec), static_cast<uint32_t>(now.tv_usec),
                             static_cast<uint32_t>(getpid()), salt, out, out_size);
}

int setup_secure_hash(const char* section, int fast_notify, const char* salt, char* out,
                      std::size_t out_size) {
  if (out == nullptr || out_size < SECURE_TOKEN_SIZE) {
    zv_log_bad_parameters("setup_secure_hash", out == nullptr, out_size < SECURE_TOKEN_SIZE);
    return 0;
  }
  out[0] = '\0';
  if (fast_notify == 0) return 1;
  if (section == nullptr) section = "NotificationOptions";
  // An empty salt would leave the token to be guessed from the start time and the pid.
  if (salt == nullptr || *salt == '\0') {
    zv_log(ZV_LOG_ERRORS, "read section %s: you should specify NotifyHashSalt if use FastNotify",
           section);
    return 0;
  }
  if (make_secure_hash(salt, out, out_size) == 0) {
    zv_log(ZV_LOG_ERRORS, "read section %s: could not generate secure hash", section);
    return 0;
  }
  return 1;
}
