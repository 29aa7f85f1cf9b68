-- Messages whose spool files the test reads back (DebugSpool on): the Received: header
-- for each HELO situation, the queue identifier, headers and a body in several chunks.
dofile(LIB)
protect(function()
  run_cases({
    { name = "helo", helo = "client.example", relay = "client.example [192.0.2.1]",
      headers = { { "From", "Sender <sender@example.com>" }, { "Subject", "first" },
                  { "Subject", "second" }, { "Empty", "" } },
      body = { "line one\r\n", "part", "ial line \255\r\n" }, reply = SMFIR_ACCEPT },
    { name = "twohelo", helo = { "first.example", "second.example" }, reply = SMFIR_ACCEPT },
    { name = "nohelo", helo = "", relay = "bare.example [192.0.2.9]", reply = SMFIR_ACCEPT },
    { name = "noqid", qid = false, helo = "client.example", reply = SMFIR_ACCEPT },
    { name = "emptyfrom", from = "", helo = "client.example", reply = SMFIR_ACCEPT },
    { name = "aborted", helo = "client.example", abort = true },
  })
end)
