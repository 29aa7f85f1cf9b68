// The libclamav engine; see zvscand_clamav.h.
#include "zvscand_clamav.h"

#include <clamav.h>

#include <algorithm>
#include <mutex>
#include <new>

#include "zv_log.h"
#include "zvc_lib.h"

namespace zvscand {
namespace {

std::once_flag clamav_once;
cl_error_t clamav_init_result = CL_SUCCESS;  // written once under clamav_once

// libclamav's own messages go to the daemon's log instead of standard error.
void log_clamav(enum cl_msg severity, const char*, const char* msg, void*) {
  std::string text(msg != nullptr ? msg : "");
  while (!text.empty() && text.back() == '\n') text.pop_back();
  if (severity == CL_MSG_ERROR)
    zv_log(ZV_LOG_ERRORS, "zvscand: libclamav: %s", text.c_str());
  else if (severity == CL_MSG_WARN)
    zv_log(ZV_LOG_ALERTS, "zvscand: libclamav: %s", text.c_str());
}

// Collects every detection name of one scan (context of the scan call).
struct Detections {
  std::vector<std::string> names;
};

void on_virus_found(int, const char* name, void* context) {
  auto* d = static_cast<Detections*>(context);
  if (d != nullptr && name != nullptr &&
      std::find(d->names.begin(), d->names.end(), name) == d->names.end())
    d->names.emplace_back(name);
}

bool contains(const std::string& text, const char* word) {
  return text.find(word) != std::string::npos;
}

}  // namespace

std::shared_ptr<const ClamavEngine> ClamavEngine::load(const std::string& directory,
                                                       std::string* error) {
  std::call_once(clamav_once, [] {
    cl_set_clcb_msg(log_clamav);
    clamav_init_result = cl_init(CL_INIT_DEFAULT);
  });
  if (clamav_init_result != CL_SUCCESS) {
    *error = std::string("libclamav cannot start: ") + cl_strerror(clamav_init_result);
    return nullptr;
  }
  std::shared_ptr<ClamavEngine> e;
  try {
    e.reset(new ClamavEngine);
  } catch (const std::bad_alloc&) {
    *error = "no memory";
    return nullptr;
  }
  e->engine_ = cl_engine_new();
  if (e->engine_ == nullptr) {
    *error = "no memory for a libclamav engine";
    return nullptr;
  }
  cl_engine_set_num(e->engine_, CL_ENGINE_DISABLE_CACHE, 1);
  cl_engine_set_clcb_virus_found(e->engine_, on_virus_found);
  cl_error_t rc = cl_load(directory.c_str(), e->engine_, &e->signatures_, CL_DB_STDOPT);
  if (rc != CL_SUCCESS) {
    *error = directory + ": " + cl_strerror(rc);
    return nullptr;
  }
  if (e->signatures_ == 0) {
    *error = directory + ": no signatures";
    return nullptr;
  }
  rc = cl_engine_compile(e->engine_);
  if (rc != CL_SUCCESS) {
    *error = directory + ": cannot compile the signatures: " + cl_strerror(rc);
    return nullptr;
  }
  return e;
}

ClamavEngine::~ClamavEngine() {
  if (engine_ != nullptr) cl_engine_free(engine_);
}

const Signature* ClamavEngine::intern(const std::string& key, Signature s) const {
  std::lock_guard<std::mutex> g(mu_);
  auto it = findings_.find(key);
  if (it != findings_.end()) return it->second.get();
  auto owned = std::make_unique<Signature>(std::move(s));
  const Signature* p = owned.get();
  findings_.emplace(key, std::move(owned));
  return p;
}

const Signature* ClamavEngine::finding(const std::string& name) const {
  Signature s;
  s.name = name;
  s.incurable = true;  // libclamav finds, it does not cure
  auto virus = [&](char type) {
    s.kind = FindingKind::kVirus;
    s.type = type;
    s.status = type_status(type);
  };
  auto status = [&](uint32_t bits) {
    s.kind = FindingKind::kStatus;
    s.status = bits;
  };
  if (name.rfind("Heuristics.Limits.Exceeded.MaxRecursion", 0) == 0) {
    status(kStatusNesting);
  } else if (name.rfind("Heuristics.Limits.Exceeded.", 0) == 0) {
    status(kStatusTooBig);
  } else if (name.rfind("Heuristics.Encrypted.", 0) == 0) {
    status(kStatusSkipped);
  } else if (name.rfind("Heuristics.", 0) == 0) {
    virus('S');
  } else if (name.rfind("PUA.", 0) == 0) {
    if (contains(name, "Adware"))
      virus('A');
    else if (contains(name, "Dialer"))
      virus('D');
    else if (contains(name, "Joke"))
      virus('J');
    else if (contains(name, "Tool") || contains(name, "Hacktool"))
      virus('H');
    else
      virus('R');
  } else {
    virus('K');
  }
  return intern("n:" + name, std::move(s));
}

const Signature* ClamavEngine::error_finding(int code) const {
  Signature s;
  s.kind = FindingKind::kStatus;
  switch (code) {
    case CL_EMEM:
      s.status = kStatusNoMemory;
      break;
    case CL_ETIMEOUT:
      s.status = kStatusTimedOut;
      break;
    case CL_EOPEN:
    case CL_EREAD:
    case CL_ESEEK:
    case CL_ESTAT:
    case CL_EMAP:
      s.status = kStatusReadError;
      break;
    case CL_EFORMAT:
    case CL_EPARSE:
    case CL_EUNPACK:
      s.status = kStatusCrcError;
      break;
    default:
      s.status = kStatusInvalidCall;
  }
  s.name = std::string("scanning error: ") + cl_strerror(static_cast<cl_error_t>(code));
  return intern("e:" + std::to_string(code), std::move(s));
}

std::vector<const Signature*> ClamavEngine::scan_whole(std::string_view data,
                                                       bool heuristic) const {
  std::vector<const Signature*> found;
  cl_scan_options options{};
  options.general = CL_SCAN_GENERAL_ALLMATCHES | CL_SCAN_GENERAL_HEURISTICS;
  options.parse = ~0u;
  options.heuristic = CL_SCAN_HEURISTIC_EXCEEDS_MAX | CL_SCAN_HEURISTIC_ENCRYPTED_ARCHIVE;
  Detections detections;
  const char* name = nullptr;
  unsigned long scanned = 0;
  cl_error_t rc;
  if (data.empty()) {
    rc = CL_CLEAN;  // libclamav refuses to map nothing; nothing holds no finding
  } else if (cl_fmap_t* map = cl_fmap_open_memory(data.data(), data.size())) {
    rc = cl_scanmap_callback(map, nullptr, &name, &scanned, engine_, &options, &detections);
    cl_fmap_close(map);
  } else {
    rc = CL_EMEM;
  }
  if (rc == CL_VIRUS && name != nullptr) on_virus_found(-1, name, &detections);
  for (const auto& n : detections.names) {
    const Signature* s = finding(n);
    if (s->kind == FindingKind::kVirus && s->type == 'S' && !heuristic) continue;
    if (std::find(found.begin(), found.end(), s) == found.end()) found.push_back(s);
  }
  if (rc != CL_CLEAN && rc != CL_VIRUS && rc != CL_BREAK) found.push_back(error_finding(rc));
  return found;
}

std::vector<const Signature*> ClamavEngine::scan(std::string_view object, bool heuristic) const {
  return scan_whole(object, heuristic);
}

}  // namespace zvscand
