// Wire primitives, statistics blocks, reports and virus lines: see zvc_proto.h.
#include "zvc_proto.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "zv_badparam.h"
#include "zv_log.h"

namespace {

// The counters of a statistics block with their status masks, in the order in which
// read_stat looks for the first matching mask.
struct CounterMask {
  uint32_t mask;
  int32_t ScanStatistics::*counter;
};
inline constexpr CounterMask kReadOrder[] = {
    {0x20, &ScanStatistics::known},
    {0x80, &ScanStatistics::modifications},
    {0x40, &ScanStatistics::suspicious},
    {0x1E08, &ScanStatistics::skipped},
    {0x46000, &ScanStatistics::archive_restrictions},
    {0x20000, &ScanStatistics::rule_rejects},
    {0x8017, &ScanStatistics::errors},
    {0x100, &ScanStatistics::cured},
    {0x80000, &ScanStatistics::deleted},
    {0x400000, &ScanStatistics::adware},
    {0x800000, &ScanStatistics::dialers},
    {0x1000000, &ScanStatistics::jokes},
    {0x2000000, &ScanStatistics::riskware},
    {0x4000000, &ScanStatistics::hacktools},
};
// The first allocation of a byte string being read; it doubles as the bytes arrive.
inline constexpr size_t kFirstPiece = 64 * 1024;

// The pairs write_stat sends: the first eight of the table above.
inline constexpr int kWrittenPairs = 8;

// Counters wrap around instead of overflowing: the values come from the peer.
void add_wrapping(int32_t* counter, uint32_t value) {
  *counter = static_cast<int32_t>(static_cast<uint32_t>(*counter) + value);
}

}  // namespace

namespace proto {

int write_buf(IpcChannel* channel, size_t length, const void* bytes) {
  if (channel == nullptr || bytes == nullptr) {
    zv_log(ZV_LOG_ERRORS, "zvlib: proto::write_buf bad parameters (%d.%d.%d) were passed",
           channel == nullptr, 0, bytes == nullptr);
    return 0;
  }
  size_t count = length;
  return ipc::send(channel, bytes, &count) == kIpcOk ? 1 : 0;
}

int read_buf(IpcChannel* channel, void* buffer, size_t length) {
  if (channel == nullptr || buffer == nullptr) {
    zv_log(ZV_LOG_ERRORS, "zvlib: proto::read_buf bad parameters (%d.%d.%d) were passed",
           channel == nullptr, 0, buffer == nullptr);
    return 0;
  }
  size_t count = length;
  return ipc::recv(channel, buffer, &count) == kIpcOk ? 1 : 0;
}

int write_int(IpcChannel* channel, uint32_t value) {
  if (channel == nullptr) {
    zv_log(ZV_LOG_ERRORS, "zvlib: proto::write_int bad parameters was passed");
    return 0;
  }
  uint32_t wire = htonl(value);
  return write_buf(channel, sizeof(wire), &wire);
}

int read_int(IpcChannel* channel, uint32_t* value) {
  if (channel == nullptr || value == nullptr) {
    zv_log(ZV_LOG_ERRORS, "zvlib: proto::read_int bad parameters (%d.%d) were passed",
           channel == nullptr, value == nullptr);
    return 0;
  }
  uint32_t wire = 0;
  if (read_buf(channel, &wire, sizeof(wire)) == 0) return 0;
  *value = ntohl(wire);
  return 1;
}

int read_int(IpcChannel* channel, int32_t* value) {
  uint32_t v = 0;
  if (value == nullptr) return read_int(channel, static_cast<uint32_t*>(nullptr));
  if (read_int(channel, &v) == 0) return 0;
  *value = static_cast<int32_t>(v);
  return 1;
}

int write_bytestring(IpcChannel* channel, uint32_t length, const void* bytes) {
  if (channel == nullptr) {
    zv_log(ZV_LOG_ERRORS, "zvlib: proto::write_bytestring bad parameter was passed");
    return 0;
  }
  if (bytes == nullptr) return write_int(channel, 0);
  if (write_int(channel, length) == 0) return 0;
  return length == 0 ? 1 : write_buf(channel, length, bytes);
}

int read_bytestring(IpcChannel* channel, size_t* length, std::unique_ptr<char[]>* bytes,
                    int terminate, uint32_t max_length) {
  if (channel == nullptr || length == nullptr || bytes == nullptr) {
    zv_log(ZV_LOG_ERRORS, "zvlib: proto::read_bytestring bad parameters (%d.%d.%d) were passed",
           channel == nullptr, length == nullptr, bytes == nullptr);
    return 0;
  }
  *length = 0;
  bytes->reset();
  uint32_t n = 0;
  if (read_int(channel, &n) == 0) return 0;
  if (n > max_length) {
    zv_log(ZV_LOG_ERRORS, "zvlib: proto::read_bytestring length %u exceeds the limit %u", n,
           max_length);
    return 0;
  }
  if (n == 0 && !terminate) {
    zv_log(ZV_LOG_DEBUG, "zvlib: proto::read_bytestring null bytestring readed");
    return 1;
  }
  size_t size = static_cast<size_t>(n) + (terminate ? 1 : 0);
  // The length is the peer's word only: the buffer grows with the bytes that actually
  // arrive, so a length announced but never sent costs no memory.
  std::unique_ptr<char[]> buffer;
  size_t capacity = 0;
  size_t received = 0;
  for (;;) {
    const size_t want = std::min(size, std::max(capacity * 2, kFirstPiece));
    if (want > capacity) {
      std::unique_ptr<char[]> bigger(new (std::nothrow) char[want]);
      if (!bigger) {
        zv_log(ZV_LOG_ERRORS,
               "zvlib: proto::read_bytestring cannot allocate memory (%d[%#X] bytes) for "
               "bytestring",
               static_cast<int>(size), static_cast<unsigned>(size));
        return 0;
      }
      if (received > 0) memcpy(bigger.get(), buffer.get(), received);
      buffer = std::move(bigger);
      capacity = want;
    }
    const size_t piece = std::min(capacity, static_cast<size_t>(n)) - received;
    if (piece > 0 && read_buf(channel, buffer.get() + received, piece) == 0) return 0;
    received += piece;
    if (received == n && capacity == size) break;
  }
  if (terminate) buffer[n] = '\0';
  *length = size;
  *bytes = std::move(buffer);
  return 1;
}

int write_list(IpcChannel* channel, const StringList* list, int terminators) {
  if (channel == nullptr) {
    zv_log(ZV_LOG_ERRORS, "zvlib: proto::write_list bad parameter was passed");
    return 0;
  }
  if (list == nullptr) return write_int(channel, 0);
  zv_log(ZV_LOG_DEBUG, "zvlib: proto::write_list %d strings should be written",
         static_cast<int>(list->count));
  // Walk the items directly: the list's own iteration state belongs to its owner.
  if (write_int(channel, static_cast<uint32_t>(list->items.size())) == 0) return 0;
  for (const std::string& s : list->items) {
    uint32_t n = static_cast<uint32_t>(s.size() + (terminators ? 1 : 0));
    if (write_bytestring(channel, n, s.c_str()) == 0) return 0;
  }
  return 1;
}

int read_list(IpcChannel* channel, CombineRoutine combine, void* list, void* context,
              uint32_t max_count, uint32_t max_length) {
  if (channel == nullptr || combine == nullptr) {
    zv_log(ZV_LOG_ERRORS, "zvlib: proto::read_list bad parameters (%d.%d) were passed",
           channel == nullptr, combine == nullptr);
    return 0;
  }
  uint32_t count = 0;
  if (read_int(channel, &count) == 0) return 0;
  zv_log(ZV_LOG_DEBUG, "zvlib: proto::read_list %d strings should be read",
         static_cast<int>(count));
  if (count > max_count) {
    zv_log(ZV_LOG_ERRORS, "zvlib: proto::read_list count %u exceeds the limit %u", count,
           max_count);
    return 0;
  }
  for (uint32_t i = 0; i < count; ++i) {
    size_t length = 0;
    std::unique_ptr<char[]> text;
    if (read_bytestring(channel, &length, &text, 1, max_length) == 0) return 0;
    if (combine(length, text.get(), list, context) == 0) {
      zv_log(ZV_LOG_ERRORS, "zvlib: proto::read_list combine routine failed on line[size=%d]=%s",
             static_cast<int>(length), text.get());
      return 0;
    }
  }
  return 1;
}

int write_stat(IpcChannel* channel, const ScanStatistics* statistics) {
  if (statistics == nullptr) {
    zv_log(ZV_LOG_ERRORS, "zvlib: proto::write_stat bad parameters was passed");
    return 0;
  }
  zv_log(ZV_LOG_DEBUG, "zvlib: proto::write_stat %d pairs should be written", kWrittenPairs);
  bool ok = write_int(channel, kWrittenPairs) == 1;
  for (int i = 0; ok && i < kWrittenPairs; ++i) {
    ok = write_int(channel, kReadOrder[i].mask) == 1 &&
         write_int(channel, static_cast<uint32_t>(statistics->*kReadOrder[i].counter)) == 1;
  }
  if (!ok) {
    zv_log(ZV_LOG_ERRORS, "zvlib: proto::write_stat - protocol error");
    return 0;
  }
  return 1;
}

int read_stat(IpcChannel* channel, ScanStatistics* statistics) {
  if (statistics == nullptr) {
    zv_log_bad_parameter("zvlib: proto::read_stat");
    return 0;
  }
  uint32_t pairs = 0;
  if (read_int(channel, &pairs) == 0) return 0;
  zv_log(ZV_LOG_DEBUG, "zvlib: proto::read_stat %d pairs should be read", static_cast<int>(pairs));
  add_wrapping(&statistics->scanned, 1);
  for (uint32_t i = 0; i < pairs; ++i) {
    uint32_t mask = 0;
    uint32_t value = 0;
    if (read_int(channel, &mask) == 0 || read_int(channel, &value) == 0) {
      zv_log(ZV_LOG_ERRORS, "zvlib: proto::read_stat cannot read pair #%d", static_cast<int>(i));
      return 0;
    }
    zv_log(ZV_LOG_DEBUG, "zvlib: proto::read_stat (%#X:%d)", mask, static_cast<int>(value));
    for (const CounterMask& c : kReadOrder) {
      if ((c.mask & mask) != 0) {
        add_wrapping(&(statistics->*c.counter), value);
        break;
      }
    }
  }
  return 1;
}

std::optional<std::string> read_report(IpcChannel* channel, uint32_t limit, const char* path) {
  if (channel == nullptr) {
    zv_log(ZV_LOG_ERRORS, "zvlib: proto::read_report bad parameter was passed");
    return std::nullopt;
  }
  StringListPtr lines(strings::create(limit));
  if (!lines) {
    zv_log(ZV_LOG_ERRORS, "zvlib: proto::read_report cannot allocate report list");
    return std::nullopt;
  }
  int ok = path != nullptr
               ? read_list(channel, combiner::add_multistring_and_delete_path, lines.get(),
                           const_cast<char*>(path), kMaxAnswerListCount, kMaxReportLineLength)
               : read_list(channel, combiner::add_string, lines.get(), nullptr, kMaxAnswerListCount,
                           kMaxReportLineLength);
  if (ok == 0) return std::nullopt;
  return strings::join(lines.get(), strings::kForward);
}

}  // namespace proto

namespace combiner {

int add_string(size_t /*length*/, const char* line, void* list, void* /*context*/) {
  return strings::add(static_cast<StringList*>(list), line);
}

int add_multistring_and_delete_path(size_t length, const char* line, void* list, void* context) {
  const char* path = static_cast<const char*>(context);
  auto* lines = static_cast<StringList*>(list);
  if (line == nullptr || lines == nullptr || path == nullptr) {
    zv_log(ZV_LOG_ERRORS,
           "zvlib: combiner::add_multistring_and_delete_path bad parameters (%d.%d.%d.%d) were "
           "passed",
           0, line == nullptr, lines == nullptr, path == nullptr);
    return 0;
  }
  const char* slash = strrchr(path, '/');
  size_t dir = slash != nullptr ? static_cast<size_t>(slash - path) + 1 : 0;
  const char* at = dir > 0 && dir < length && path[0] != '\0' ? strstr(line, path) : nullptr;
  // A line beyond the report's cap is left out; reading goes on with the next one.
  if (at == nullptr) {
    (void)strings::add(lines, line);
    return 1;
  }
  if (at != line) {
    try {
      (void)strings::add(lines, std::string(line, static_cast<size_t>(at - line)));
    } catch (const std::bad_alloc&) {
      zv_log(ZV_LOG_ERRORS, "zvlib: combiner::add_multistring_and_delete_path no memory");
    }
  }
  (void)strings::add(lines, at + dir);
  return 1;
}

int parse_viruses(size_t length, const char* line, void* list, void* /*context*/) {
  auto* lists = static_cast<VirusLists*>(list);
  if (line == nullptr || lists == nullptr) {
    zv_log(ZV_LOG_ERRORS,
           "zvlib: combiner::add_multistring_and_delete_path bad parameters (%d.%d.%d) were "
           "passed",
           0, line == nullptr, lists == nullptr);
    return 0;
  }
  const char* comma = strrchr(line, ',');
  if (comma == nullptr) {
    zv_log(ZV_LOG_ERRORS, "zvlib: combiner::parse_viruses line malformed - [%d]%s",
           static_cast<int>(length), line);
    return 0;
  }
  char type = comma[1];
  const char* letter = type != '\0' ? strchr(kVirusKindLetters, type) : nullptr;
  if (letter == nullptr) {
    zv_log(ZV_LOG_ERRORS,
           "zvlib: combiner::parse_viruses unknown infection type '%c' in line - [%d]%s",
           type != '\0' ? type : ' ', static_cast<int>(length), line);
    return 0;
  }
  auto kind = static_cast<size_t>(letter - kVirusKindLetters);
  StringListPtr& target = lists->lists[kind];
  if (!target) {
    target.reset(strings::create(0));
    if (!target) {
      zv_log(ZV_LOG_ERRORS, "zvlib: combiner::parse_viruses no memory");
      return 0;
    }
  }
  std::string name;
  try {
    name.assign(line, static_cast<size_t>(comma - line));
  } catch (const std::bad_alloc&) {
    zv_log(ZV_LOG_ERRORS, "zvlib: combiner::parse_viruses no memory");
    return 0;
  }
  zv_log(ZV_LOG_DEBUG, "zvlib: combiner::parse_viruses to list '%c' add virus %s", type,
         name.c_str());
  return strings::add(target.get(), name);
}

}  // namespace combiner
