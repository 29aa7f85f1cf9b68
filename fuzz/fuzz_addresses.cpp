// The non-notified addresses list file, loaded and then asked about a few addresses in
// both roles.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "zv_addresses.h"
#include "zv_fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zvfuzz::quiet_logging();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = zvfuzz::write_scratch(
      "addresses", std::string_view(reinterpret_cast<const char*>(data), size));
  AddressesListPtr list(maddr_load(path.c_str(), 1));
  if (!list) return 0;
  maddr_print(list.get(), 9);
  for (const char* address : {"a@other.org", "<postmaster@example.com>", ""})
    for (int role : {MADDR_ROLE_FROM, MADDR_ROLE_TO})
      (void)maddr_may_notify(list.get(), address, role);
  (void)maddr_reload(list.get(), path.c_str());
  return 0;
}
