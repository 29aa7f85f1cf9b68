#include "support/zv_test_support.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace zvtest {

CaptureLog::CaptureLog(int level, bool syslog, int facility, int priority) {
  zv_log_set_sink(this);
  zv_log_setup(syslog ? nullptr : "console", level, facility, priority, "zarvik-test");
  // The first set-up creates the error-text mutex; its trace is not the test's.
  clear();
}

CaptureLog::~CaptureLog() {
  zv_log_setup("console", 0, 0, 0, "zarvik-test");
  zv_log_set_sink(nullptr);
}

void CaptureLog::open_syslog(const char*) {
  std::lock_guard<std::mutex> g(mu_);
  ++opens_;
}

void CaptureLog::close_syslog() {}

void CaptureLog::syslog(int priority, const char* text) {
  std::lock_guard<std::mutex> g(mu_);
  lines_.push_back({true, priority, text});
}

void CaptureLog::console(const char* text, unsigned long length) {
  std::lock_guard<std::mutex> g(mu_);
  lines_.push_back({false, 0, std::string(text, length)});
}

std::vector<LoggedLine> CaptureLog::lines() const {
  std::lock_guard<std::mutex> g(mu_);
  return lines_;
}

std::vector<std::string> CaptureLog::texts() const {
  std::vector<std::string> out;
  for (const auto& l : lines()) {
    std::string t = l.text;
    if (!l.to_syslog && !t.empty() && t.back() == '\n') t.pop_back();
    out.push_back(t);
  }
  return out;
}

bool CaptureLog::has(const std::string& text) const {
  for (const auto& t : texts())
    if (t == text) return true;
  return false;
}

bool CaptureLog::contains(const std::string& fragment) const {
  for (const auto& t : texts())
    if (t.find(fragment) != std::string::npos) return true;
  return false;
}

void CaptureLog::clear() {
  std::lock_guard<std::mutex> g(mu_);
  lines_.clear();
}

int CaptureLog::syslog_opens() const {
  std::lock_guard<std::mutex> g(mu_);
  return opens_;
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/zvtest.XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::file(const std::string& name) const {
  return path_ + "/" + name;
}

std::string TempDir::write(const std::string& name, const std::string& content) const {
  std::string p = file(name);
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << content;
  return p;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

int open_fd_count() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  if (!d) return -1;
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n - 3;  // ".", ".." and the directory's own descriptor
}

bool wait_for(const std::function<bool()>& ready, int seconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return ready();
}

bool exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

}  // namespace zvtest
