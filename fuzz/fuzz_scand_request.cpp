// The stand-in daemon serving one session whose request is the input, sent through a
// socket pair (whatever the session answers is read and dropped). The engine holds the
// built-in signature and those of the daemon's tests, one per kind of finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/zvscand_signatures.h"
#include "zv_fuzz_support.h"
#include "zvscand_mime.h"
#include "zvscand_session.h"

namespace {
zvscand::EngineStore* g_engines = nullptr;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zvfuzz::quiet_logging();
  zvscand::mime_init();
  std::string error;
  auto engine =
      zvscand::load_engine(zvfuzz::write_scratch("sigs", zvtest::kFindingKindSignatures), &error);
  if (!engine) std::abort();
  g_engines = new zvscand::EngineStore;
  g_engines->set(engine);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const zvscand::DaemonSettings settings;
  static const std::atomic<bool> stopping{false};
  zvfuzz::SocketFeed feed(std::string_view(reinterpret_cast<const char*>(data), size));
  zvscand::serve_session(feed.take_fd(), settings, *g_engines, stopping);
  return 0;
}
