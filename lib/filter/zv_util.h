// The two links to the outside made at start-up.
//
// - init_lib(): starts the scanning-daemon client library with the configured daemon
//   addresses.
// - init_stat(), drop_stat(), fini_stat(): the optional statistics agent. One connection
//   serves the whole process; its NamedMutex "ZarvikAgent::Connection" (in AgentConfig)
//   makes every exchange on it one indivisible conversation, because drop_stat() is
//   called from every connection thread.
#pragma once

struct AgentConfig;
struct DaemonCommunicationConfig;
struct ScanResult;

// Version of the client library the filter is written for (major 4, minor 7).
inline constexpr int kFilterLibraryVersion = 0x0407;
// Agent protocol codes.
inline constexpr int kAgentHello = 1;
inline constexpr int kAgentRegister = 100;
inline constexpr int kAgentStatistics = 1;
inline constexpr int kAgentDeregister = 101;

// Starts the client library: the first address as the primary daemon, every further
// one as a backup, in list order. 1 when the library runs with all of them, else 0.
[[nodiscard]] int init_lib(const DaemonCommunicationConfig* daemon);

// Connects to the agent and registers. 1 when registered or when no agent is
// configured; 0 on failure (nothing of the link is left).
[[nodiscard]] int init_stat(AgentConfig* agent);

// Sends the statistics and the known and modification virus names of one scan to the
// agent. 1 when delivered or when no agent is configured; 0 on failure. After a failed
// exchange the next call first opens and registers a fresh connection, so one slow or
// broken answer costs only its own report.
[[nodiscard]] int drop_stat(AgentConfig* agent, ScanResult* result);

// Deregisters from the agent and closes the link. Failures are logged and ignored.
void fini_stat(AgentConfig* agent);
