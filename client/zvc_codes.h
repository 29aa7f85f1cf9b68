// Codes and limits of the transport, below every transport module.
//
// The address families, the result codes that the descriptor operations, the Unix and
// TCP endpoints and the channel layer share (passed up unchanged by the protocol and the
// session), and the budget values. Constants only: no state, no lock. zvc_ipc.h includes
// this header, so users of the channels need no other.
#pragma once

#include <cstddef>

// Address families.
inline constexpr int kIpcTcp = 1;
inline constexpr int kIpcUnix = 2;

// Result codes of the transport (passed up unchanged by the protocol and the session).
inline constexpr int kIpcOk = 0;
inline constexpr int kIpcNoSigpipe = -1;      // SIGPIPE cannot be ignored
inline constexpr int kIpcBadFamily = -4;      // unknown/disabled family, no channel to close
inline constexpr int kIpcBadTimeout = -6;     // invalid time-out
inline constexpr int kIpcAlreadyInit = -8;    // subsystem already initialised
inline constexpr int kIpcNotInit = -9;        // subsystem not initialised
inline constexpr int kIpcFailed = -11;        // bad parameters, unresolvable host, system call
inline constexpr int kIpcTimeout = -13;       // time-out expired
inline constexpr int kIpcClosedByPeer = -14;  // connection closed by the peer

// Budget values (milliseconds) besides 0 .. kIpcMaxBudgetMs.
inline constexpr int kIpcBudgetUnlimited = -1;
inline constexpr int kIpcBudgetUsedUp = -2;
inline constexpr int kIpcMaxBudgetMs = 14400000;  // 4 hours
inline constexpr int kIpcMaxTimeoutSeconds = kIpcMaxBudgetMs / 1000;

// Bytes a channel reads ahead of a receive (its read-ahead buffer).
inline constexpr size_t kIpcReadAhead = 4096;

inline constexpr size_t kIpcAddressTextMax = 254;  // characters kept of host or path
inline constexpr size_t kIpcUnixPathMax = 103;     // characters kept in sockaddr_un
