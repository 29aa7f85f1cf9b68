-- A message larger than the room left in the spool directory: the write of a body chunk
-- fails and the message ends there with the ProcessingErrors answer (REPLY, a letter).
dofile(LIB)
protect(function()
  local body = {}
  for i = 1, 32 do body[i] = string.rep("x", 4094) .. "\r\n" end
  run_cases({ { name = "full", body = body, stop = "body", reply = string.byte(REPLY) } })
end)
