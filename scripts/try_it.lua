-- Sends a clean message and one carrying the EICAR test string through the filter and
-- prints what the filter answers to each.
-- Usage: miltertest -D SOCK=unix:run/milter.sock -s scripts/try_it.lua
local sock = SOCK or "unix:run/milter.sock"
local eicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"
local answers = {
  [SMFIR_ACCEPT] = "accept", [SMFIR_REJECT] = "reject", [SMFIR_DISCARD] = "discard",
  [SMFIR_TEMPFAIL] = "tempfail", [SMFIR_CONTINUE] = "continue",
  [SMFIR_REPLYCODE] = "reject with the filter's own SMTP reply",
}
local function must(r, what) if r ~= nil then error(what .. ": " .. tostring(r)) end end

local function send(name, body)
  local conn = mt.connect(sock, 10, 0.5)
  if conn == nil then error("cannot connect to " .. sock) end
  must(mt.macro(conn, SMFIC_CONNECT, "_", "client.example [192.0.2.1]"), "macro")
  must(mt.conninfo(conn, "client.example", "192.0.2.1"), "conninfo")
  must(mt.helo(conn, "client.example"), "helo")
  must(mt.macro(conn, SMFIC_MAIL, "i", "TRY" .. name:upper()), "macro")
  must(mt.mailfrom(conn, "<alice@example.com>"), "mailfrom")
  must(mt.rcptto(conn, "<bob@example.net>"), "rcptto")
  must(mt.header(conn, "Subject", "a " .. name .. " message"), "header")
  must(mt.eoh(conn), "eoh")
  must(mt.bodystring(conn, body), "body")
  must(mt.eom(conn), "eom")
  local r = mt.getreply(conn)
  mt.echo(name .. " message: " .. (answers[r] or string.char(r)))
  local code = mt.getheader(conn, "X-Antivirus-Code", 0)
  if code ~= nil then mt.echo("  X-Antivirus-Code: " .. code) end
  must(mt.disconnect(conn), "disconnect")
end

local ok, err = xpcall(function()
  send("clean", "Hello Bob,\r\nsee you tomorrow.\r\n")
  send("infected", "Hello Bob,\r\n" .. eicar .. "\r\n")
end, debug.traceback)
if not ok then
  io.stderr:write("try_it: ", tostring(err), "\n")
  error(err)
end
