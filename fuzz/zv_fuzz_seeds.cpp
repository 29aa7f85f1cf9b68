// Writes the seed corpus of one fuzz target from files of the repository, so that no
// corpus is kept in it: the example configuration and notification templates as they
// are, the string literals of the tests that read the same input (adjacent literals
// joined, escapes undone), and for the wire and MIME targets requests, answers and
// messages put together from those texts in the shapes the tests use.
// Usage: zv_fuzz_seeds TARGET OUTDIR SOURCE_DIR
#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "client/zvc_fake_peer.h"
#include "tools/zvscand_signatures.h"
#include "zvc_lib.h"
#include "zvscand_engine.h"

namespace fs = std::filesystem;
using zvtest::be32;
using zvtest::blist;
using zvtest::bstr;

namespace {

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::cerr << "zv_fuzz_seeds: cannot read " << path << "\n";
    std::exit(1);
  }
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Skips blanks and comments from `i`; the position of the next other character.
size_t skip_space(const std::string& s, size_t i) {
  for (;;) {
    while (i < s.size() && isspace(static_cast<unsigned char>(s[i]))) ++i;
    if (s.compare(i, 2, "//") == 0) {
      i = s.find('\n', i);
      if (i == std::string::npos) return s.size();
    } else if (s.compare(i, 2, "/*") == 0) {
      i = s.find("*/", i + 2);
      if (i == std::string::npos) return s.size();
      i += 2;
    } else {
      return i;
    }
  }
}

// Reads the literal whose opening quote is at s[i]; `i` ends after its closing quote.
std::string one_literal(const std::string& s, size_t& i) {
  std::string out;
  ++i;
  while (i < s.size() && s[i] != '"') {
    char c = s[i++];
    if (c != '\\' || i >= s.size()) {
      out += c;
      continue;
    }
    char e = s[i++];
    switch (e) {
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7': {
        int v = e - '0';
        for (int k = 0; k < 2 && i < s.size() && s[i] >= '0' && s[i] <= '7'; ++k)
          v = v * 8 + (s[i++] - '0');
        out += static_cast<char>(v);
        break;
      }
      case 'x': {
        int v = 0;
        while (i < s.size() && isxdigit(static_cast<unsigned char>(s[i])))
          v = v * 16 +
              (isdigit(static_cast<unsigned char>(s[i])) ? s[i] - '0' : (tolower(s[i]) - 'a' + 10)),
          ++i;
        out += static_cast<char>(v);
        break;
      }
      default:
        out += e;
        break;
    }
  }
  ++i;
  return out;
}

// The string literals of a C++ source, adjacent ones joined; includes are left out.
std::vector<std::string> literals(const std::string& s) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < s.size()) {
    i = skip_space(s, i);
    if (i >= s.size()) break;
    char c = s[i];
    if (c == '#' && (i == 0 || s[i - 1] == '\n')) {
      i = s.find('\n', i);
      if (i == std::string::npos) break;
    } else if (c == '\'') {
      ++i;
      while (i < s.size() && s[i] != '\'') i += s[i] == '\\' ? 2 : 1;
      ++i;
    } else if (c == '"' && !(i > 0 && s[i - 1] == 'R')) {
      std::string joined = one_literal(s, i);
      for (size_t j = skip_space(s, i); j < s.size() && s[j] == '"'; j = skip_space(s, i))
        joined += one_literal(s, i = j);
      out.push_back(joined);
    } else {
      ++i;
    }
  }
  return out;
}

class Corpus {
 public:
  explicit Corpus(fs::path dir) : dir_(std::move(dir)) { fs::create_directories(dir_); }
  void add(const std::string& seed) {
    if (!seen_.insert(seed).second) return;
    std::ofstream(dir_ / ("seed-" + std::to_string(seen_.size())), std::ios::binary) << seed;
  }
  size_t size() const { return seen_.size(); }

 private:
  fs::path dir_;
  std::set<std::string> seen_;
};

std::vector<std::string> source_literals(const fs::path& root, const std::string& file,
                                         size_t min_length = 3) {
  std::vector<std::string> out;
  for (std::string& l : literals(read_file(root / file)))
    if (l.size() >= min_length) out.push_back(std::move(l));
  return out;
}

std::string base64(const std::string& in) {
  std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(in.data()),
                          static_cast<int>(in.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

// Messages shaped like those of the daemon's tests: plain text, a multipart with
// attachments in each transfer encoding, a nested message, the notification templates.
std::vector<std::string> messages(const fs::path& root) {
  const std::string eicar = zvscand::eicar_string();
  const std::string head = "From: a@example.org\r\nTo: c@example.org\r\nSubject: test\r\n";
  auto attachment = [](const std::string& name, const std::string& body, const std::string& enc) {
    return "Content-Type: application/octet-stream\r\nContent-Disposition: attachment; "
           "filename=\"" +
           name + "\"\r\n" + (enc.empty() ? "" : "Content-Transfer-Encoding: " + enc + "\r\n") +
           "\r\n" + body + "\r\n";
  };
  auto multipart = [&](const std::vector<std::string>& parts, const std::string& boundary) {
    std::string m = head + "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"" +
                    boundary + "\"\r\n\r\n";
    for (const auto& p : parts) m += "--" + boundary + "\r\n" + p;
    return m + "--" + boundary + "--\r\n";
  };
  std::string qp;
  for (size_t i = 0; i < eicar.size(); ++i) {
    if (i == 30) qp += "=\r\n";
    qp += eicar[i] == '$' ? std::string("=24") : std::string(1, eicar[i]);
  }
  const std::string text = "Content-Type: text/plain\r\n\r\nhello KNOWN-SIG\r\n";
  std::vector<std::string> out = {
      head + "\r\nplain body\r\n",
      head + "\r\n" + eicar + "\r\n",
      multipart(
          {text, attachment("e.com", base64(eicar), "base64"),
           attachment("q.txt", qp, "quoted-printable"), attachment("m.bin", "MOD-SIG ADW-SIG", "")},
          "b1"),
      multipart(
          {text, "Content-Type: message/rfc822\r\n\r\n" +
                     multipart({attachment("inner", base64("SUSP-SIG JOKE-SIG"), "base64")}, "b2")},
          "b1"),
  };
  for (const auto& entry : fs::directory_iterator(root / "etc/templates"))
    out.push_back(read_file(entry.path()));
  return out;
}

// Option words worth starting from: none, the filter's usual ones, curing, and removal
// of everything.
const std::vector<std::pair<uint32_t, uint32_t>> kOptions = {
    {0, 0},
    {0x80000000u | kScanAlways | kScanMail | kScanVirusLists | kScanReport | kScanStatistics, 0x12},
    {kScanAlways | kScanCure | kScanHeuristic | kScanRuleFilter | kScanVirusLists | kScanRuleName,
     0},
    {0x80000000u | kScanRemoveInfected | kScanRemoveIncurable | kScanRemoveSuspicious |
         kScanVirusLists | kScanReport | kScanStatistics,
     0x111110},
};

void conf_seeds(const fs::path& root, Corpus& c) {
  c.add(read_file(root / "etc/zarvik_smf.conf"));
  for (const char* f : {"tests/filter/zv_options_test.cpp", "tests/foundation/zv_conf_test.cpp"})
    for (const std::string& l : source_literals(root, f)) c.add(l);
}

void list_seeds(const fs::path& root, const char* test, Corpus& c) {
  for (const std::string& l : source_literals(root, test)) c.add(l);
}

void mailutil_seeds(const fs::path& root, Corpus& c) {
  for (const char* f : {"tests/filter/zv_mailutil_test.cpp", "tests/filter/zv_options_test.cpp"})
    for (const std::string& l : source_literals(root, f, 1)) {
      c.add(l);
      if (l.find("=?") != std::string::npos)
        for (const char* charset : {"utf-8", "KOI8-R", "iso-8859-1"})
          c.add(std::string(charset) + '\0' + l);
    }
}

// Templates: the shipped ones and the test's literals, each also with a Subject that
// holds encoded words and line breaks.
void report_seeds(const fs::path& root, Corpus& c) {
  std::vector<std::string> templates;
  for (const auto& entry : fs::directory_iterator(root / "etc/templates"))
    templates.push_back(read_file(entry.path()));
  for (std::string& l : source_literals(root, "tests/filter/zv_notify_test.cpp"))
    if (l.find('$') != std::string::npos) templates.push_back(std::move(l));
  for (const std::string& t : templates) {
    c.add(t);
    c.add(t + '\0' + "=?utf-8?q?caf=C3=A9?= offer\r\n\tBcc: x@y");
  }
}

void mime_seeds(const fs::path& root, Corpus& c) {
  for (const std::string& m : messages(root))
    for (const auto& [flags, extended] : kOptions) c.add(be32(flags) + be32(extended) + m);
}

void request_seeds(const fs::path& root, Corpus& c) {
  c.add(be32(kZvcCommandVersion));
  for (const std::string& m : messages(root))
    for (const auto& [flags, extended] : kOptions) {
      std::string r = be32(kZvcCommandScan) + be32(flags);
      if (flags & kScanExtended) r += be32(extended);
      r += bstr(std::string("alice@example.com") + '\0') +
           blist({"bob@example.com", "carol@example.org"}) +
           bstr(std::string("/var/spool/zarvik/zv.1") + '\0');
      c.add(r + bstr(m));
      c.add(r + be32(0));  // local mode: the daemon opens the path itself
    }
}

void answer_seeds(const fs::path& root, Corpus& c) {
  std::vector<std::string> names;
  for (const std::string& l : source_literals(root, "tests/client/zvc_proto_test.cpp"))
    if (l.size() > 2 && l[l.size() - 2] == ',') names.push_back(l);
  names.push_back("EICAR-Test-File,K");
  const std::string path = "/var/spool/zarvik/zv.1a2b3c";
  const std::string stats = be32(2) + be32(0x20) + be32(2) + be32(0x100) + be32(1);
  const uint32_t all = kScanReport | kScanStatistics | kScanVirusLists | kScanRuleName;
  for (uint32_t flags : {0u, all, kScanVirusLists, kScanReport})
    for (uint32_t status : {0u, 0x20u, 0x120u})
      for (int local = 0; local < 2; ++local)
        for (uint32_t limit : {0u, 20u}) {
          std::string a = be32(status);
          if (flags & kScanVirusLists) a += blist(names);
          if (flags & kScanRuleName) a += bstr(std::string("block-exe") + '\0');
          if (flags & kScanReport) a += blist({path + " infected\n", "summary\n"});
          if (flags & kScanStatistics) a += stats;
          if ((status & 0x100) && !local) a += bstr("cured body");
          c.add(be32(flags) + be32(limit) + std::string(1, static_cast<char>(local)) +
                be32(local ? 0 : 13) + a);
        }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: zv_fuzz_seeds TARGET OUTDIR SOURCE_DIR\n";
    return 2;
  }
  const std::string target = argv[1];
  const fs::path root = argv[3];
  Corpus corpus(argv[2]);
  if (target == "fuzz_conf") {
    conf_seeds(root, corpus);
  } else if (target == "fuzz_users") {
    list_seeds(root, "tests/filter/zv_users_test.cpp", corpus);
  } else if (target == "fuzz_viruses") {
    list_seeds(root, "tests/filter/zv_viruses_test.cpp", corpus);
  } else if (target == "fuzz_addresses") {
    list_seeds(root, "tests/filter/zv_addresses_test.cpp", corpus);
  } else if (target == "fuzz_mailutil") {
    mailutil_seeds(root, corpus);
  } else if (target == "fuzz_report") {
    report_seeds(root, corpus);
  } else if (target == "fuzz_mime") {
    mime_seeds(root, corpus);
  } else if (target == "fuzz_scand_request") {
    request_seeds(root, corpus);
  } else if (target == "fuzz_client_answer") {
    answer_seeds(root, corpus);
  } else {
    std::cerr << "zv_fuzz_seeds: unknown target " << target << "\n";
    return 2;
  }
  std::cout << target << ": " << corpus.size() << " seeds\n";
  return 0;
}
