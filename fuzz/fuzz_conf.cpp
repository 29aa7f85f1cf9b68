// The configuration file as the filter loads it: the reader of sections and keys, every
// section's checks and conversions, and the list files a section names.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "zv_conf.h"
#include "zv_fuzz_support.h"
#include "zv_options.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zvfuzz::quiet_logging();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = zvfuzz::write_scratch(
      "zarvik_smf.conf", std::string_view(reinterpret_cast<const char*>(data), size));
  static FilterConfig config;
  ConfSection sections[CONFIG_SECTION_COUNT + 1];
  if (load_config(path.c_str(), &config, sections) == 1) {
    log_config_trace(&config);
    release_config(sections);
  }
  return 0;
}
