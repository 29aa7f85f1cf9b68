-- An empty envelope sender: REPLY is the letter of the reply expected at the sender, or
-- "a" when the message is to be let through and accepted at its end.
dofile(LIB)
protect(function()
  local reply = string.byte(REPLY)
  local c = { name = "emptyfrom", from = "", helo = "client.example", reply = reply }
  if reply ~= SMFIR_ACCEPT then c.stop = "mail" end
  run_cases({ c })
end)
