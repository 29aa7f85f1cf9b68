// Running totals and the agent conversation; see zvagent_totals.h.
#include "zvagent_totals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <new>
#include <thread>

#include "zv_log.h"
#include "zv_owned.h"
#include "zvc_lib.h"
#include "zvs_server.h"
#include "zvs_wire.h"

namespace zvagent {
namespace {

// Counters fed by statistics pairs, in the order in which a pair's mask is matched,
// and their index in the counter table (after the three exchange counters).
struct MaskRow {
  uint32_t mask;
  const char* name;
};
constexpr MaskRow kMaskRows[] = {
    {kMaskKnown, "known_viruses"},
    {kMaskModifications, "modifications"},
    {kMaskSuspicious, "suspicious"},
    {kMaskSkipped, "skipped_objects"},
    {kMaskArchive, "archive_restrictions"},
    {kMaskRuleReject, "rule_filter_rejects"},
    {kMaskErrors, "scanning_errors"},
    {kMaskCured, "cured"},
    {kMaskDeleted, "deleted"},
    {kStatusAdware, "adware"},
    {kStatusDialer, "dialers"},
    {kStatusJoke, "jokes"},
    {kStatusRiskware, "riskware"},
    {kStatusHacktool, "hacktools"},
};
constexpr size_t kRegistrations = 0, kDeregistrations = 1, kReports = 2, kFirstMask = 3;

constexpr int kIdleMs = 60 * 1000;  // within one exchange
constexpr int kLookUpMs = 200;      // between exchanges, to notice a stop

bool read_names(zvs::WireConn& conn, std::vector<std::string>* names) {
  uint32_t count = 0;
  if (!conn.read_int(&count)) return false;
  if (count > kMaxNames) {
    zv_log(ZV_LOG_ERRORS, "zvagent: list of %u names refused", count);
    return false;
  }
  for (uint32_t i = 0; i < count; ++i) {
    std::string name;
    if (!conn.read_bytestring(kMaxNameLength, &name)) return false;
    // Names travel with their terminator.
    while (!name.empty() && name.back() == '\0') name.pop_back();
    if (!name.empty()) names->push_back(std::move(name));
  }
  return true;
}

}  // namespace

std::vector<std::pair<std::string, int64_t>> Totals::initial_counters() {
  std::vector<std::pair<std::string, int64_t>> c = {
      {"registrations", 0}, {"deregistrations", 0}, {"reports", 0}};
  for (const auto& r : kMaskRows) c.emplace_back(r.name, 0);
  return c;
}

void Totals::add_registration() {
  std::lock_guard<std::mutex> g(mu_);
  ++counters_[kRegistrations].second;
  write_locked();
}

void Totals::add_deregistration() {
  std::lock_guard<std::mutex> g(mu_);
  ++counters_[kDeregistrations].second;
  write_locked();
}

void Totals::add_report(const std::vector<std::pair<uint32_t, int32_t>>& pairs,
                        const std::vector<std::string>& names) {
  std::lock_guard<std::mutex> g(mu_);
  ++counters_[kReports].second;
  for (const auto& [mask, value] : pairs) {
    for (size_t i = 0; i < std::size(kMaskRows); ++i) {
      if (mask & kMaskRows[i].mask) {
        counters_[kFirstMask + i].second += value;
        break;
      }
    }
  }
  for (const auto& n : names) ++viruses_[n];
  write_locked();
}

void Totals::write() {
  std::lock_guard<std::mutex> g(mu_);
  write_locked();
}

std::string Totals::text() const {
  std::lock_guard<std::mutex> g(mu_);
  return text_locked();
}

std::string Totals::text_locked() const {
  std::string t;
  for (const auto& [name, value] : counters_) t += name + " " + std::to_string(value) + "\n";
  for (const auto& [name, count] : viruses_)
    t += "virus " + name + " " + std::to_string(count) + "\n";
  return t;
}

void Totals::write_locked() const {
  if (path_.empty()) return;
  std::string text = text_locked();
  std::string tmp = path_ + ".tmp";
  zv::UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  bool ok = fd.valid();
  size_t done = 0;
  while (ok && done < text.size()) {
    ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  if (fd.close() != 0) ok = false;
  if (ok && ::rename(tmp.c_str(), path_.c_str()) != 0) ok = false;
  if (!ok) {
    zv_log(ZV_LOG_ERRORS, "zvagent: cannot write totals to %s: %s", path_.c_str(),
           stdlib_error(errno));
    ::unlink(tmp.c_str());
  }
}

void serve_agent_session(int fd, const AgentSettings& settings, Totals& totals,
                         const std::atomic<bool>& stopping) {
  try {
    zvs::WireConn conn(fd, kIdleMs);
    bool registered = false;
    while (!stopping.load()) {
      int ready = conn.wait_readable(kLookUpMs);
      if (ready < 0) break;
      if (ready == 0) continue;
      uint32_t command = 0, second = 0;
      bool eof = false;
      if (!conn.read_int(&command, &eof)) {
        if (!eof) zv_log(ZV_LOG_ERRORS, "zvagent: %s", conn.error().c_str());
        break;
      }
      const char* what = nullptr;
      if (command == 101) {
        totals.add_deregistration();
        registered = false;
        what = "deregister";
      } else if (command == 1) {
        if (!conn.read_int(&second)) {
          zv_log(ZV_LOG_ERRORS, "zvagent: truncated request: %s", conn.error().c_str());
          break;
        }
        if (!registered && second == 100) {
          registered = true;
          totals.add_registration();
          what = "register";
        } else {
          if (second > kMaxPairs) {
            zv_log(ZV_LOG_ERRORS, "zvagent: statistics block of %u pairs refused", second);
            break;
          }
          std::vector<std::pair<uint32_t, int32_t>> pairs;
          bool ok = true;
          for (uint32_t i = 0; ok && i < second; ++i) {
            uint32_t mask = 0, value = 0;
            ok = conn.read_int(&mask) && conn.read_int(&value);
            pairs.emplace_back(mask, static_cast<int32_t>(value));
          }
          std::vector<std::string> names;
          ok = ok && read_names(conn, &names) && read_names(conn, &names);
          if (!ok) {
            zv_log(ZV_LOG_ERRORS, "zvagent: bad statistics report: %s", conn.error().c_str());
            break;
          }
          totals.add_report(pairs, names);
          what = "statistics";
        }
      } else {
        zv_log(ZV_LOG_ERRORS, "zvagent: unknown request %u - connection closed", command);
        break;
      }
      if (settings.delay_ms > 0) zvs::sleep_unless_stopping(settings.delay_ms, stopping);
      conn.put_int(static_cast<uint32_t>(settings.reply));
      bool sent = conn.flush();
      zv_log(ZV_LOG_INFO, "zvagent: %s answered with %d%s", what, settings.reply,
             sent ? "" : " (not delivered)");
      if (!sent) break;
    }
  } catch (const std::bad_alloc&) {
    zv_log(ZV_LOG_ERRORS, "zvagent: no memory - connection closed");
  }
}

}  // namespace zvagent
