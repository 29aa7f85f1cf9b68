// Test messages for the drivers; see bench_mail.h.
#include "bench_mail.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace mload {

bool parse_size(const char* text, size_t* out) {
  char* end = nullptr;
  double v = std::strtod(text, &end);
  if (end == text || v <= 0) return false;
  if (*end == 'k' || *end == 'K')
    v *= 1024, ++end;
  else if (*end == 'm' || *end == 'M')
    v *= 1024 * 1024, ++end;
  if (*end != '\0') return false;
  *out = static_cast<size_t>(v);
  return true;
}

std::string eicar_test_file() {
  return std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-") + "ANTIVIRUS-TEST-FILE!$H+H*";
}

std::string base64(std::string_view in) {
  static constexpr char kAlphabet[] =
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
  }
  return out;
}

std::string make_body(size_t size, std::string_view attachment, std::string_view name) {
  static const char* const kWords[] = {"mail",    "filter", "quarterly", "report",  "meeting",
                                       "invoice", "budget", "schedule",  "project", "review",
                                       "update",  "server", "customer",  "plan",    "draft"};
  std::string part;
  if (!attachment.empty()) {
    part = std::string("--") + kBoundary + "\r\nContent-Type: application/octet-stream; name=\"" +
           std::string(name) +
           "\"\r\n"
           "Content-Transfer-Encoding: base64\r\n"
           "Content-Disposition: attachment; filename=\"" +
           std::string(name) + "\"\r\n\r\n" + base64(attachment) + "\r\n";
  }
  std::string body =
      std::string("--") + kBoundary + "\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n";
  const size_t closing = std::strlen(kBoundary) + 8;
  const size_t text_end =
      size > part.size() + closing + 600 ? size - part.size() - closing - 600 : body.size() + 80;
  body.reserve(text_end + part.size() + closing + 80);
  uint32_t seed = 12345;
  std::string line;
  while (body.size() < text_end) {
    seed = seed * 1103515245u + 12345u;
    const char* w = kWords[(seed >> 16) % std::size(kWords)];
    if (line.size() + std::strlen(w) + 1 > 72) {
      body += line + "\r\n";
      line.clear();
    }
    line += (line.empty() ? "" : " ") + std::string(w);
  }
  body += line + "\r\n" + part + "--" + kBoundary + "--\r\n";
  return body;
}

}  // namespace mload
