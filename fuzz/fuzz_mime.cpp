// The stand-in daemon's MIME engine on one message: the input is FLAGS (4 bytes) and
// EXTENDED (4 bytes), the request's option words, then the message. A message it rewrites
// goes through the engine once more, so the writer's output is read back as well.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "tools/zvscand_signatures.h"
#include "zv_fuzz_support.h"
#include "zvscand_engine.h"
#include "zvscand_mime.h"

namespace {
std::shared_ptr<const zvscand::Engine>* g_engine = nullptr;
constexpr size_t kHeader = 8;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zvfuzz::quiet_logging();
  zvscand::mime_init();
  std::string error;
  auto engine =
      zvscand::load_engine(zvfuzz::write_scratch("sigs", zvtest::kFindingKindSignatures), &error);
  if (!engine) std::abort();
  g_engine = new std::shared_ptr<const zvscand::Engine>(engine);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kHeader) return 0;
  const uint32_t flags = zvfuzz::be32_at(data, size, 0);
  const uint32_t extended = zvfuzz::be32_at(data, size, 4);
  const std::string_view message(reinterpret_cast<const char*>(data) + kHeader, size - kHeader);
  zvscand::ScanOutcome out =
      zvscand::scan_content(**g_engine, "/spool/msg.1", message, flags, extended);
  if (out.modified) {
    zvscand::ScanOutcome again =
        zvscand::scan_content(**g_engine, "/spool/msg.1", out.content, flags, extended);
    (void)again;
  }
  return 0;
}
