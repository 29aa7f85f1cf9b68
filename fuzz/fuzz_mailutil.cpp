// Header texts from the mail: decode_subject() on a Subject with encoded words, and the
// address normaliser. The input is "CHARSET\0SUBJECT", or a subject alone (the template
// charset is then unset, which means us-ascii).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "zv_fuzz_support.h"
#include "zv_mailutil.h"
#include "zv_options.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zvfuzz::quiet_logging();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const zvfuzz::Split in = zvfuzz::split_at_nul(data, size);
  // A subject is a C string: it ends at the first zero byte it holds.
  const char* subject = in.tail.c_str();
  char* decoded = decode_subject(subject, in.split ? in.head.c_str() : nullptr);
  if (decoded != nullptr) {
    // The decoded text must be a terminated string the caller can use.
    volatile size_t length = strlen(decoded);
    (void)length;
    free(decoded);
  }
  char* address = nullptr;
  if (normalize_mail_address(subject, &address) == 1) {
    if (address == nullptr || address[0] == '\0') std::abort();
    free(address);
  }
  return 0;
}
