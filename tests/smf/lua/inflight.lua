-- One message that waits three seconds between its headers and its body, so that the
-- test can signal the filter while the message is in flight.
dofile(LIB)
protect(function()
  run_cases({ { name = "inflight", pause = 3, reply = SMFIR_ACCEPT } })
end)
