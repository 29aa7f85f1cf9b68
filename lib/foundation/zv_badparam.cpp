// The four forms of the "bad parameters" line; see zv_badparam.h.
#include "zv_badparam.h"

#include <cstring>

#include "zv_logcore.h"

std::string_view zv_source_module(const char* path) {
  if (path == nullptr) return {};
  const char* slash = strrchr(path, '/');
  std::string_view base(slash != nullptr ? slash + 1 : path);
  size_t dot = base.find('.');
  return dot == std::string_view::npos ? base : base.substr(0, dot);
}

namespace {

int module_length(std::string_view module) {
  return static_cast<int>(module.size());
}

}  // namespace

void zv_log_bad_parameters(const char* label, bool a, bool b, std::source_location where) {
  std::string_view module = zv_source_module(where.file_name());
  zv_log(ZV_LOG_ERRORS, "%s bad parameters (%d.%d) were passed (%.*s:%d)", label, a, b,
         module_length(module), module.data(), static_cast<int>(where.line()));
}

void zv_log_bad_parameters(const char* label, bool a, bool b, bool c, std::source_location where) {
  std::string_view module = zv_source_module(where.file_name());
  zv_log(ZV_LOG_ERRORS, "%s bad parameters (%d.%d.%d) were passed (%.*s:%d) ", label, a, b, c,
         module_length(module), module.data(), static_cast<int>(where.line()));
}

void zv_log_bad_parameters(const char* label, bool a, bool b, bool c, bool d,
                           std::source_location where) {
  std::string_view module = zv_source_module(where.file_name());
  zv_log(ZV_LOG_ERRORS, "%s bad parameters (%d.%d.%d.%d) were passed (%.*s:%d)", label, a, b, c, d,
         module_length(module), module.data(), static_cast<int>(where.line()));
}

void zv_log_bad_parameter(const char* label, std::source_location where) {
  std::string_view module = zv_source_module(where.file_name());
  zv_log(ZV_LOG_ERRORS, "%s (%.*s:%d) bad parameter was passed", label, module_length(module),
         module.data(), static_cast<int>(where.line()));
}
