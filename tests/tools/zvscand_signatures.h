// Signatures for the stand-in daemon's tests: one per kind of infection that the daemon
// reports through a virus list of its own.
#pragma once

namespace zvtest {

// K, S, M, A, D, J and R findings, each named "Test-<Kind>" and found by a short
// marker text ("KNOWN-SIG", "SUSP-SIG", ...).
inline constexpr char kFindingKindSignatures[] =
    "K:Test-Known:\"KNOWN-SIG\"\n"
    "S:Test-Suspicious:\"SUSP-SIG\"\n"
    "M:Test-Modification:\"MOD-SIG\"\n"
    "A:Test-Adware:\"ADW-SIG\"\n"
    "D:Test-Dialer:\"DIAL-SIG\"\n"
    "J:Test-Joke:\"JOKE-SIG\"\n"
    "R:Test-Riskware:\"RISK-SIG\"\n";

}  // namespace zvtest
