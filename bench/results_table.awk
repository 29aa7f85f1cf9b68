# Turns the RESULT lines of run_bench.sh into the Markdown results page.
# Input lines: "phase=P system=NAME RESULT key=value ..." or "phase=P system=NAME ERROR ...";
# the phases are main (the systems side by side), inet, memory and many.
# Variables: load_before, load_after, started, quick, host_cpus.

function sizeclass(bytes) {
  if (bytes < 50000) return "10 KiB"
  if (bytes < 1000000) return "100 KiB"
  if (bytes < 50000000) return "10 MiB"
  return "100 MiB"
}
function fmt(x) { return x == "" ? "-" : sprintf("%.1f", x) }
function ratio(a, b) { return (a == "" || b == "" || b == 0) ? "-" : sprintf("%.2f", a / b) }

{
  phase = substr($1, 7)
  sys = substr($2, 8)
  $1 = ""
  $0 = substr($0, 2)
  if ($2 == "ERROR") {
    errors[++nerr] = sys ": " substr($0, index($0, "ERROR"))
    next
  }
  delete f
  for (i = 3; i <= NF; i++) {
    split($i, kv, "=")
    f[kv[1]] = kv[2]
  }
  cell = f["conns"] SUBSEP sizeclass(f["size"]) SUBSEP f["content"]
  mps[phase, sys, cell] = f["mps"]
  if (phase == "main" && !(cell in cellseen)) { cellseen[cell] = 1; cells[++ncell] = cell }
  rows[++nrow] = sprintf("| %s | %s | %s | %s | %s | %.1f | %.2f | %.2f | %.2f | %.1f -> %.1f (end %.1f) | %s -> %s |",
    phase, sys, f["conns"], sizeclass(f["size"]), f["content"], f["mps"], f["p50_ms"], f["p99_ms"],
    f["msgs"] > 0 ? f["cpu_s"] * 1000 / f["msgs"] : 0,
    f["rss_start_kb"] / 1024, f["rss_peak_kb"] / 1024, f["rss_end_kb"] / 1024,
    f["fds_start"], f["fds_end"])
  if (phase == "memory") { big_start = f["rss_start_kb"]; big_peak = f["rss_peak_kb"]; big_msgs = f["msgs"] }
  if (phase == "many") {
    many_msgs = f["msgs"]; many_rss0 = f["rss_start_kb"]; many_rss1 = f["rss_end_kb"]
    many_peak = f["rss_peak_kb"]; many_fd0 = f["fds_start"]; many_fd1 = f["fds_end"]
  }
}

END {
  print "# Milter benchmark results"
  print ""
  printf "Run started %s UTC on a %d-CPU machine; load average %s before, %s after.", started, host_cpus, load_before, load_after
  if (quick == 1) printf " **Quick run (a few messages per cell): a check of the script, not a measurement.**"
  print ""
  print "Produced by `bench/run_bench.sh`; every number below was measured in this one run, the"
  print "systems taking turns cell by cell. Compare ratios within this page, not absolute figures"
  print "across runs or machines. Every message's answer was checked; a run with a wrong or"
  print "missing answer is listed under errors and has no number."
  print ""
  print "Systems: `null` (libmilter, accepts, adds a header), `floor` (the same, writing, fsyncing"
  print "and removing a spool file per message on the disk of zarvik-smf's spool),"
  print "`smf-instant` (zarvik-smf + zvscand --engine=instant), `smf-clamav` (zarvik-smf +"
  print "zvscand --engine=clamav), `clamav-milter` (Debian clamav-milter + clamd). Both ClamAV"
  print "set-ups load the same database: etc/clamav/eicar.ndb and 100,000 synthetic ndb"
  print "signatures. CPU and memory are summed over the filter and its daemon."
  print ""
  if (nerr > 0) {
    print "## Errors"
    print ""
    for (i = 1; i <= nerr; i++) print "- " errors[i]
    print ""
  }
  print "## Throughput (messages/s) over Unix sockets"
  print ""
  print "| conns | size | content | null | floor | smf-instant | smf-clamav | clamav-milter | smf-instant / floor | smf-clamav / clamav-milter |"
  print "|---|---|---|---|---|---|---|---|---|---|"
  for (i = 1; i <= ncell; i++) {
    c = cells[i]
    split(c, p, SUBSEP)
    printf "| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", p[1], p[2], p[3],
      fmt(mps["main", "null", c]), fmt(mps["main", "floor", c]), fmt(mps["main", "smf-instant", c]),
      fmt(mps["main", "smf-clamav", c]), fmt(mps["main", "clamav-milter", c]),
      ratio(mps["main", "smf-instant", c], mps["main", "floor", c]),
      ratio(mps["main", "smf-clamav", c], mps["main", "clamav-milter", c])
  }
  print ""
  print "## inet against Unix sockets (10 KiB clean, messages/s)"
  print ""
  print "`null-inet` is the stock libmilter null filter over TCP, `null-nodelay-inet` the same with"
  print "the front-end's accept() interposer (TCP_NODELAY on accepted connections);"
  print "`smf-nagle-inet` is zarvik-smf built without it (before), `smf-instant-inet` with it"
  print "(after). The driver itself sends without delay, as an MTA that does not stall on its"
  print "own side."
  print ""
  print "| conns | null unix | null-inet | null-nodelay-inet | smf unix | smf-nagle-inet (before) | smf-instant-inet (after) | after inet / unix |"
  print "|---|---|---|---|---|---|---|---|"
  for (conns = 1; conns <= 8; conns += 7) {
    c = conns SUBSEP "10 KiB" SUBSEP "clean"
    printf "| %d | %s | %s | %s | %s | %s | %s | %s |\n", conns, fmt(mps["inet", "null", c]),
      fmt(mps["inet", "null-inet", c]), fmt(mps["inet", "null-nodelay-inet", c]),
      fmt(mps["inet", "smf-instant", c]), fmt(mps["inet", "smf-nagle-inet", c]),
      fmt(mps["inet", "smf-instant-inet", c]), ratio(mps["inet", "smf-instant-inet", c], mps["inet", "smf-instant", c])
  }
  print ""
  print "## Memory"
  print ""
  if (big_msgs != "")
    printf "- zarvik-smf alone, %d message(s) of 100 MiB: RSS %.1f MiB before, peak %.1f MiB, a rise of %.1f MiB.\n",
      big_msgs, big_start / 1024, big_peak / 1024, (big_peak - big_start) / 1024
  if (many_msgs != "")
    printf "- zarvik-smf alone, %d messages of 10 KiB over 8 connections (after 2,000 warm-up messages): RSS %.1f MiB at the start, %.1f MiB at the end (peak %.1f MiB); descriptors %d at the start, %d at the end.\n",
      many_msgs, many_rss0 / 1024, many_rss1 / 1024, many_peak / 1024, many_fd0, many_fd1
  print ""
  print "## Every run"
  print ""
  print "| phase | system | conns | size | content | msg/s | p50 ms | p99 ms | CPU ms/msg | RSS MiB start -> peak | fds |"
  print "|---|---|---|---|---|---|---|---|---|---|---|"
  for (i = 1; i <= nrow; i++) print rows[i]
}
