// zvgenndb: writes a large synthetic libclamav signature database (.ndb).
//
// Real signature databases hold hundreds of thousands of byte patterns, and a scanning
// engine's cost per byte grows with them (more patterns share the matcher's prefixes).
// Without access to the official databases, this makes one of the same shape: COUNT
// body signatures "Zv.Synthetic.N:0:*:HEX" of 16 to 48 random bytes, one in eight with
// a "??" wildcard byte and one in sixteen with a bounded gap "{4-32}", from a fixed seed
// so that every run writes the same file. The patterns are random, so ordinary mail
// does not match them.
//
// Usage: zvgenndb [--count=N] [--seed=S] FILE
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

int main(int argc, char** argv) {
  long count = 100000;
  unsigned long seed = 20261210;
  const char* out = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--count=", 8) == 0)
      count = std::atol(argv[i] + 8);
    else if (std::strncmp(argv[i], "--seed=", 7) == 0)
      seed = std::strtoul(argv[i] + 7, nullptr, 10);
    else if (out == nullptr && argv[i][0] != '-')
      out = argv[i];
    else
      out = nullptr, count = -1;
  }
  if (out == nullptr || count <= 0) {
    std::fputs("Usage: zvgenndb [--count=N] [--seed=S] FILE\n", stderr);
    return 64;
  }
  FILE* f = std::fopen(out, "we");
  if (f == nullptr) {
    std::perror(out);
    return 73;
  }
  std::mt19937_64 random(seed);
  static const char kHex[] = "0123456789abcdef";
  std::string line;
  for (long n = 0; n < count; ++n) {
    line = "Zv.Synthetic." + std::to_string(n) + ":0:*:";
    const int bytes = 16 + static_cast<int>(random() % 33);
    const int wildcard = random() % 8 == 0 ? 4 + static_cast<int>(random() % 8) : -1;
    const int gap = random() % 16 == 0 ? 8 + static_cast<int>(random() % 6) : -1;
    for (int b = 0; b < bytes; ++b) {
      if (b == wildcard) {
        line += "??";
        continue;
      }
      if (b == gap) line += "{4-32}";
      unsigned v = static_cast<unsigned>(random() & 0xff);
      line.push_back(kHex[v >> 4]);
      line.push_back(kHex[v & 15]);
    }
    line.push_back('\n');
    if (std::fputs(line.c_str(), f) == EOF) {
      std::perror(out);
      return 74;
    }
  }
  if (std::fclose(f) != 0) {
    std::perror(out);
    return 74;
  }
  return 0;
}
