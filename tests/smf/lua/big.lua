-- One message of at least SIZE bytes of random body lines; its end is answered with
-- REPLY (a letter). The test compares the filter's memory before and after it.
dofile(LIB)
protect(function()
  mt.set_timeout(120)
  local conn = mt.connect(SOCK, 40, 0.25)
  if conn == nil then error("mt.connect failed") end
  local function must(r, what) if r ~= nil then error(what .. ": " .. tostring(r)) end end
  must(mt.conninfo(conn, "client.example", "192.0.2.1"), "conninfo")
  must(mt.helo(conn, "client.example"), "helo")
  must(mt.macro(conn, SMFIC_MAIL, "i", "QBIG"), "macro")
  must(mt.mailfrom(conn, "<sender@example.com>"), "mailfrom")
  must(mt.rcptto(conn, "<rcpt@example.net>"), "rcptto")
  must(mt.header(conn, "Subject", "big"), "header")
  must(mt.eoh(conn), "eoh")
  must(mt.bodyrandom(conn, tonumber(SIZE)), "bodyrandom")
  must(mt.eom(conn), "eom")
  local r = mt.getreply(conn)
  if r ~= string.byte(REPLY) then error("big: eom reply " .. string.char(r)) end
  must(mt.disconnect(conn), "disconnect")
end)
