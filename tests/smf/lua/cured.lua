-- A message with two parts, the second infected, and two Content-Transfer-Encoding
-- headers. The daemon removes the infected part; the filter hands the rewritten body
-- back (NEWBODY, or any new body when it is empty) and sets the last encoding to 7bit.
dofile(LIB)
protect(function()
  run_cases({ {
    name = "cured",
    headers = { { "MIME-Version", "1.0" },
                { "Content-Type", "multipart/mixed; boundary=\"b1\"" },
                { "Content-Transfer-Encoding", "8bit" },
                { "Subject", "cured" },
                { "Content-Transfer-Encoding", "binary" } },
    body = { "--b1\r\nContent-Type: text/plain\r\n\r\nhello\r\n",
             "--b1\r\nContent-Type: text/plain\r\n\r\n" .. EICAR .. "\r\n--b1--\r\n" },
    reply = SMFIR_ACCEPT,
    changed = { { "Content-Transfer-Encoding", "7bit" } },
    newbody = NEWBODY,
    added = { { "X-Antivirus", "Zarvik (R) for Mail Servers on " .. HOST .. " host" },
              { "X-Antivirus-Code", "80020" } },
  } })
end)
