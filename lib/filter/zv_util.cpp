// The links to the scanning daemon's client library and to the statistics agent (see
// zv_util.h).
//
// Locks: drop_stat() takes the agent's "ZarvikAgent::Connection" mutex for each exchange;
// nothing else here locks, because it all runs on the main thread before libmilter starts
// or after it stopped.
#include "zv_util.h"

#include <cstdint>
#include <string>

#include "zv_badparam.h"
#include "zv_log.h"
#include "zv_mutex.h"
#include "zv_options.h"
#include "zvc_ipc.h"
#include "zvc_lib.h"
#include "zvc_proto.h"
#include "zvc_strings.h"

namespace {

constexpr const char* kAgentMutexName = "ZarvikAgent::Connection";

// One exchange with the agent: `count` ints sent, one int received, which must be 0.
bool agent_request(IpcChannel* channel, std::initializer_list<uint32_t> request) {
  for (uint32_t value : request)
    if (!proto::write_int(channel, value)) return false;
  int32_t answer = -1;
  return proto::read_int(channel, &answer) && answer == 0;
}

// Replaces the agent connection after a failed exchange: a late answer may still be on
// its way over the old one, so it is never read again. The fresh connection is opened
// and registered within one agent time-out; on success it takes the old one's place.
// Runs under the agent mutex. 1 when the link is usable again, else 0 (the old
// connection stays, still marked failed, and the next report tries again).
bool reconnect(AgentConfig* agent) {
  IpcChannelPtr channel(ipc::create(agent->address, agent->timeout, 0));
  if (!channel || !agent_request(channel.get(), {kAgentHello, kAgentRegister})) {
    zv_log(ZV_LOG_ERRORS, "drop_stat: cannot reconnect to agent");
    return false;
  }
  (void)ipc::destroy(agent->connection);
  agent->connection = channel.release();
  agent->failed = 0;
  zv_log(ZV_LOG_INFO, "drop_stat: connection(%s) with agent has been re-established",
         agent->address);
  return true;
}

}  // namespace

int init_lib(const DaemonCommunicationConfig* daemon) {
  if (daemon == nullptr) {
    zv_log(ZV_LOG_ERRORS, "init_lib: cannot add address to library (error: %d)", 0);
    return 0;
  }
  const StringList* addresses = daemon->addresses;
  if (strings::count(addresses) == 0) {
    zv_log(ZV_LOG_ERRORS, "init_lib: cannot add address to library (error: %d)", 0);
    return 0;
  }
  // The first address is the primary daemon, every further one a backup, in list order.
  auto address = addresses->begin();
  zv_log(ZV_LOG_VERBOSE, "init_lib: set primary daemon address = <%s>", address->c_str());
  int code = startup(kFilterLibraryVersion, address->c_str(), daemon->timeout, daemon->cache);
  if (code != 0) {
    zv_log(ZV_LOG_VERBOSE, "init_lib: cannot initialize zvclient library (error: %d)", code);
    return 0;
  }
  for (++address; address != addresses->end(); ++address) {
    zv_log(ZV_LOG_VERBOSE, "init_lib: set backup daemon address = <%s>", address->c_str());
    code = add_address(address->c_str(), daemon->timeout, daemon->cache);
    if (code != 0) {
      zv_log(ZV_LOG_VERBOSE, "init_lib: cannot add address to library (error: %d)", code);
      return 0;
    }
  }
  return 1;
}

int init_stat(AgentConfig* agent) {
  if (agent == nullptr) {
    zv_log_bad_parameter("zvlib:init_stat");
    return 0;
  }
  if (agent->address == nullptr) {
    zv_log(ZV_LOG_DEBUG, "init_stat: agent address was not defined - assume no agent");
    return 1;
  }
  NamedMutexPtr mutex(zv_mutex_create(kAgentMutexName));
  if (!mutex) {
    zv_log(ZV_LOG_ERRORS, "init_stat: cannot create locker for connection to agent");
    return 0;
  }
  IpcChannelPtr channel(ipc::create(agent->address, agent->timeout, 0));
  if (!channel) {
    zv_log(ZV_LOG_ERRORS, "init_stat: cannot connect to agent");
    return 0;
  }
  if (!agent_request(channel.get(), {kAgentHello, kAgentRegister})) {
    zv_log(ZV_LOG_ERRORS, "init_stat: cannot register agent");
    return 0;
  }
  agent->connection = channel.release();
  agent->mutex = mutex.release();
  agent->failed = 0;
  zv_log(ZV_LOG_INFO, "init_stat: connection(%s) with agent has been established", agent->address);
  return 1;
}

int drop_stat(AgentConfig* agent, ScanResult* result) {
  if (agent == nullptr || result == nullptr) {
    zv_log_bad_parameters("zvlib:drop_stat:", agent == nullptr, result == nullptr);
    return 0;
  }
  if (agent->address == nullptr) {
    zv_log(ZV_LOG_DEBUG, "drop_stat: agent address was not defined - assume no agent");
    return 1;
  }
  ScanStatistics* statistics = scanresult_stats(result);
  VirusLists* viruses = scanresult_viruses(result);
  if (agent->connection == nullptr || agent->mutex == nullptr || statistics == nullptr ||
      viruses == nullptr) {
    zv_log_bad_parameters("zvlib:drop_stat:", agent->connection == nullptr, agent->mutex == nullptr,
                          statistics == nullptr, viruses == nullptr);
    return 0;
  }
  stat_print(ZV_LOG_VERBOSE, statistics);
  if (!zv_mutex_lock(agent->mutex)) {
    zv_log(ZV_LOG_ERRORS, "drop_stat: cannot lock ipc with agent - skip statistic");
    return 0;
  }
  // Every exchange gets the whole agent time-out. After a failed one the stream may still
  // hold a late answer, which the next exchange would take for its own: that connection
  // is never used again, and this report goes over a fresh one.
  bool delivered = !agent->failed || reconnect(agent);
  IpcChannel* channel = agent->connection;
  delivered = delivered && ipc::set_timeout(channel, agent->timeout) &&
              proto::write_int(channel, kAgentStatistics) &&
              proto::write_stat(channel, statistics) &&
              proto::write_list(channel, viruses->get(kVirusKnown), 1) &&
              proto::write_list(channel, viruses->get(kVirusModification), 1);
  if (delivered) {
    int32_t answer = -1;
    delivered = proto::read_int(channel, &answer) && answer == 0;
  }
  if (!delivered) {
    agent->failed = 1;
    zv_log(ZV_LOG_ERRORS, "drop_stat: errors during talking with agent");
  }
  if (!zv_mutex_unlock(agent->mutex)) {
    zv_log(ZV_LOG_ERRORS, "drop_stat: cannot unlock ipc with agent - FATAL, no more statistic");
    return 0;
  }
  return delivered ? 1 : 0;
}

void fini_stat(AgentConfig* agent) {
  if (agent == nullptr || (agent->address != nullptr && agent->connection == nullptr)) {
    zv_log_bad_parameter("zvlib:fini_stat");
    return;
  }
  if (agent->address == nullptr) {
    zv_log(ZV_LOG_DEBUG, "fini_stat: agent address was not defined - assume no agent");
    return;
  }
  if (agent->failed || !ipc::set_timeout(agent->connection, agent->timeout) ||
      !agent_request(agent->connection, {kAgentDeregister}))
    zv_log(ZV_LOG_ERRORS, "fini_stat: cannot deregister agent");
  (void)ipc::destroy(agent->connection);
  agent->connection = nullptr;
  zv_mutex_destroy(agent->mutex);
  agent->mutex = nullptr;
  agent->failed = 0;
  zv_log(ZV_LOG_INFO, "init_stat: connection(%s) with agent has been closed", agent->address);
}
