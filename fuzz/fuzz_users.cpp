// The deny list file, loaded and then asked about a few addresses in both roles.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "zv_fuzz_support.h"
#include "zv_users.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zvfuzz::quiet_logging();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path =
      zvfuzz::write_scratch("users", std::string_view(reinterpret_cast<const char*>(data), size));
  DenyListPtr list(users_load(path.c_str(), 1));
  if (!list) return 0;
  users_print(list.get(), 9);
  for (const char* address : {"user@host", "<Spam12@Example.COM>", "", "\"jane roe\"@x"})
    for (int role : {USERS_ROLE_FROM, USERS_ROLE_TO})
      (void)users_match(list.get(), address, role, 1);
  (void)users_reload(list.get(), path.c_str());
  return 0;
}
