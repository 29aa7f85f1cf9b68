-- Messages whose spool files the test reads back (DebugSpool on): the Received: header
-- for each HELO situation, the queue identifier, headers and a body in several chunks, and
-- line breaks in the texts the MTA hands in.
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
    -- Line breaks in what the MTA hands in, a header value folded with bare LFs and one
    -- with breaks that are no folds.
    { name = "injected", qid = "QINJECTED\nX", helo = "client.example\r\n\r\n",
      relay = "client.example [192.0.2.1]\r\nX-Injected: relay",
      from = "<sender@example.com\r\nX-Injected: from>",
      headers = { { "X-Folded", "one\n\ttwo" }, { "X-Broken", "one\n\ntwo\n" } },
      reply = SMFIR_ACCEPT },
  })
end)
