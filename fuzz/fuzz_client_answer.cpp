// The client library reading a scan answer from the daemon, through a socket pair that a
// thread feeds with the input. The input is FLAGS (4 bytes, the request flags that say
// which items the answer carries), REPORT_LIMIT (4 bytes), LOCAL (1 byte), SENT_SIZE
// (4 bytes, the size of the streamed content), then the bytes the daemon sends.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "zv_fuzz_support.h"
#include "zvc_ipc.h"
#include "zvc_lib.h"
#include "zvc_result.h"

namespace {
constexpr size_t kHeader = 13;
constexpr const char* kPath = "/var/spool/zarvik/zv.1a2b3c";
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zvfuzz::quiet_logging();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kHeader) return 0;
  const uint32_t flags = zvfuzz::be32_at(data, size, 0);
  // Caps beyond a few megabytes read as none at all, as a configuration would give them.
  const uint32_t report_limit = zvfuzz::be32_at(data, size, 4) % (1u << 22);
  const int local = data[8] & 1;
  const uint32_t sent_size = zvfuzz::be32_at(data, size, 9);
  zvfuzz::SocketFeed feed(
      std::string_view(reinterpret_cast<const char*>(data) + kHeader, size - kHeader));
  IpcChannelPtr channel(ipc::adopt(feed.take_fd(), kIpcUnix, 5));
  if (!channel) std::abort();
  ScanResult* result = nullptr;
  const int rc =
      scan::daemon_answer(channel.get(), flags, kPath, &result, report_limit, local, sent_size);
  ScanResultPtr owned(result);
  if (rc == kZvcOk) {
    if (!owned) std::abort();
    // A report that was asked for keeps within its cap; without one the record
    // gives a fixed text.
    const size_t length = strlen(scanresult_report(result));
    if ((flags & kScanReport) != 0 && report_limit != 0 && length > report_limit) std::abort();
    const char* rule = scanresult_rule(result);
    if (rule != nullptr) (void)strlen(rule);
    VirusLists* viruses = scanresult_viruses(result);
    for (int kind = 0; kind < kVirusKinds; ++kind)
      if (StringList* names = viruses->get(kind))
        for (const std::string& name : names->items) (void)name.size();
    const char* cured = scanresult_cured(result);
    const size_t cured_length = scanresult_cured_length(result);
    if (cured != nullptr && cured_length > 0) {
      volatile char last = cured[cured_length - 1];
      (void)last;
    }
    (void)stat_report(scanresult_stats(result));
  } else if (owned) {
    std::abort();  // a failed answer leaves no record behind
  }
  return 0;
}
