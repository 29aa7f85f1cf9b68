-- One message per finding, each configured with its own action (see the test), and what
-- the filter answers: reply, custom SMTP reply and the X-Antivirus headers, which are
-- added whatever the answer. HOST is the filter's host name, EICAR the test string.
dofile(LIB)
local function x_headers(code)
  return { { "X-Antivirus", "Zarvik (R) for Mail Servers on " .. HOST .. " host" },
           { "X-Antivirus-Code", code } }
end
local function body(text) return { "Hello,\r\n", text .. "\r\n", "bye\r\n" } end
protect(function()
  run_cases({
    { name = "clean", body = body("nothing to see"), reply = SMFIR_ACCEPT, added = x_headers("0") },
    { name = "eicar", body = body(EICAR), reply = SMFIR_REPLYCODE,
      smtp = { "554", "5.7.0", "Zarvik Antivirus: Message is rejected because it contains a virus(es)." },
      added = x_headers(CODE_EICAR) },
    { name = "suspicious", body = body("SUSPICIOUS-TEST"), reply = SMFIR_DISCARD,
      added = x_headers(CODE_SUSPICIOUS) },
    { name = "adware", body = body("ADWARE-TEST"), reply = SMFIR_DISCARD,
      added = x_headers(CODE_ADWARE) },
    { name = "dialer", body = body("DIALER-TEST"), reply = SMFIR_DISCARD,
      added = x_headers(CODE_DIALER) },
    { name = "scanerror", body = body("SCANERROR-TEST"), reply = SMFIR_TEMPFAIL,
      added = x_headers(CODE_SCANERROR) },
  })
end)
