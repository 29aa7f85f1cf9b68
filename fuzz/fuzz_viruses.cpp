// The non-notified viruses list file, loaded and then asked about a few virus names in
// every role.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "zv_fuzz_support.h"
#include "zv_viruses.h"
#include "zvc_strings.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zvfuzz::quiet_logging();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path =
      zvfuzz::write_scratch("viruses", std::string_view(reinterpret_cast<const char*>(data), size));
  VirusesListPtr list(viruses_load(path.c_str(), 1));
  if (!list) return 0;
  viruses_print(list.get(), 9);
  StringListPtr names(strings::create(0));
  if (!names) return 0;
  for (const char* name : {"EICAR-Test-File", "Trojan.Win32.X", "", "Worm.Mydoom.a"})
    if (strings::add(names.get(), name) != 1) return 0;
  for (int role : {VIRUSES_ROLE_SENDER, VIRUSES_ROLE_RCPTS, VIRUSES_ROLE_ADMIN})
    (void)viruses_may_notify(list.get(), names.get(), role);
  (void)viruses_may_quarantine(list.get(), names.get());
  (void)viruses_reload(list.get(), path.c_str());
  return 0;
}
