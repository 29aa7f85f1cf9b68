-- One message of many sent at once: with INFECTED "1" it carries EICAR and is rejected,
-- else it is clean and accepted. QID names it.
dofile(LIB)
protect(function()
  local headers = { { "X-Antivirus", "Zarvik (R) for Mail Servers on " .. HOST .. " host" } }
  local c = { name = QID, qid = QID }
  if INFECTED == "1" then
    c.body = { "infected\r\n", EICAR .. "\r\n" }
    c.reply = SMFIR_REPLYCODE
    c.smtp = { "554", "5.7.0", "Zarvik Antivirus: Message is rejected because it contains a virus(es)." }
    c.added = { headers[1], { "X-Antivirus-Code", "20" } }
  else
    c.reply = SMFIR_ACCEPT
    c.added = { headers[1], { "X-Antivirus-Code", "0" } }
  end
  run_cases({ c })
end)
