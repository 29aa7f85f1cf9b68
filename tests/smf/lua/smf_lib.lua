-- Shared driver of the filter's miltertest scripts: runs a table of messages against the
-- filter at SOCK and checks every reply, added or changed header and replaced body.
-- A script sets its table and calls run_cases(cases); -D variables come from the test.
--
-- A case (every field but name optional):
--   name        label in failure messages; also the queue identifier "Q<NAME>" unless qid
--   qid         "{i}" macro value; false sends no "{i}"
--   helo        HELO names, one or several (a list); default "client.example". An empty
--               name stands for a client without HELO: miltertest itself sends a HELO
--               before MAIL when the script did not, and that would wipe the MAIL macros.
--   relay       "{_}" macro value
--   from        envelope sender argument (default "<sender@example.com>")
--   rcpts       recipient arguments (default { "<rcpt@example.net>" })
--   headers     list of { name, value }
--   body        list of chunks
--   stop        the stage whose reply ends the message early: "mail", "rcpt", "header" or
--               "body" (any chunk of it)
--   reply       the expected reply at that stage or at end of message (SMFIR_*)
--   smtp        { code, xcode, text } the custom reply expected
--   added       list of { name, value } headers that must be added
--   changed     list of { name, value } headers that must be changed
--   newbody     the body that must replace the received one ("": any new body)
--   abort       send an abort instead of the end of message
--   pause       seconds to wait between the end of the headers and the body
-- Without `added`, `changed` or `newbody` the case checks that nothing of that kind came.

local failures = {}
local function check(ok, what) if not ok then failures[#failures + 1] = what end end
local function must(r, what) if r ~= nil then error(what .. ": " .. tostring(r)) end end
local function letter(r) if r == nil then return "nil" end return string.char(r) end

local function expect_reply(c, stage, conn)
  local r = mt.getreply(conn)
  if c.stop == stage then
    check(r == c.reply, string.format("%s: %s reply '%s', want '%s'", c.name, stage, letter(r),
                                      letter(c.reply)))
    return true
  end
  check(r == SMFIR_CONTINUE, string.format("%s: %s reply '%s', want 'c'", c.name, stage, letter(r)))
  return false
end

local function run_one(sock, c)
  local conn = mt.connect(sock, 40, 0.25)
  if conn == nil then error("mt.connect(" .. sock .. ") failed") end
  must(mt.macro(conn, SMFIC_CONNECT, "_", c.relay or "client.example [192.0.2.1]"), "macro C")
  must(mt.conninfo(conn, "client.example", "192.0.2.1"), "conninfo")
  check(mt.getreply(conn) == SMFIR_CONTINUE, c.name .. ": connect reply")
  local helos = c.helo or "client.example"
  if type(helos) == "string" then helos = { helos } end
  for _, h in ipairs(helos or {}) do
    must(mt.helo(conn, h), "helo")
    check(mt.getreply(conn) == SMFIR_CONTINUE, c.name .. ": helo reply")
  end
  local qid = c.qid
  if qid == nil then qid = "Q" .. c.name:upper():gsub("%W", "") end
  if qid then must(mt.macro(conn, SMFIC_MAIL, "i", qid), "macro M") end
  must(mt.mailfrom(conn, c.from or "<sender@example.com>"), "mailfrom")
  if expect_reply(c, "mail", conn) then return conn end
  for _, r in ipairs(c.rcpts or { "<rcpt@example.net>" }) do
    must(mt.rcptto(conn, r), "rcptto")
    if expect_reply(c, "rcpt", conn) then return conn end
  end
  for _, h in ipairs(c.headers or { { "Subject", "test" } }) do
    must(mt.header(conn, h[1], h[2]), "header")
    if expect_reply(c, "header", conn) then return conn end
  end
  must(mt.eoh(conn), "eoh")
  check(mt.getreply(conn) == SMFIR_CONTINUE, c.name .. ": eoh reply")
  if c.pause then mt.sleep(c.pause) end
  for _, chunk in ipairs(c.body or { "hello world\r\n" }) do
    must(mt.bodystring(conn, chunk), "bodystring")
    local r = mt.getreply(conn)
    if c.stop == "body" and r ~= SMFIR_CONTINUE then
      -- the chunk that ends the message may be any of them
      check(r == c.reply, string.format("%s: body reply '%s', want '%s'", c.name, letter(r),
                                        letter(c.reply)))
      return conn
    end
    check(r == SMFIR_CONTINUE, string.format("%s: body reply '%s', want 'c'", c.name, letter(r)))
  end
  if c.stop == "body" then
    check(false, c.name .. ": the body ended without the reply that was to stop it")
    return conn
  end
  if c.abort then
    must(mt.abort(conn), "abort")
    return conn
  end
  must(mt.eom(conn), "eom")
  local r = mt.getreply(conn)
  check(r == c.reply, string.format("%s: eom reply '%s', want '%s'", c.name, letter(r),
                                    letter(c.reply)))
  if c.smtp then
    check(mt.eom_check(conn, MT_SMTPREPLY, c.smtp[1], c.smtp[2], c.smtp[3]),
          c.name .. ": reply " .. table.concat(c.smtp, " "))
  end
  if c.added then
    for _, h in ipairs(c.added) do
      check(mt.eom_check(conn, MT_HDRADD, h[1], h[2]), c.name .. ": added " .. h[1] .. ": " .. h[2])
    end
  else
    check(not mt.eom_check(conn, MT_HDRADD), c.name .. ": no header may be added")
  end
  if c.changed then
    for _, h in ipairs(c.changed) do
      check(mt.eom_check(conn, MT_HDRCHANGE, h[1], h[2]),
            c.name .. ": changed " .. h[1] .. ": '" .. h[2] .. "'")
    end
  else
    check(not mt.eom_check(conn, MT_HDRCHANGE), c.name .. ": no header may be changed")
  end
  if c.newbody == "" then
    check(mt.eom_check(conn, MT_BODYCHANGE), c.name .. ": body replaced")
  elseif c.newbody then
    check(mt.eom_check(conn, MT_BODYCHANGE, c.newbody), c.name .. ": body replaced exactly")
  else
    check(not mt.eom_check(conn, MT_BODYCHANGE), c.name .. ": body untouched")
  end
  return conn
end

function run_cases(cases)
  local sock = SOCK
  if sock == nil then error("pass -D SOCK=unix:/path") end
  mt.set_timeout(30)
  for _, c in ipairs(cases) do
    local conn = run_one(sock, c)
    must(mt.disconnect(conn), "disconnect")
    mt.echo("case " .. c.name)
  end
  if #failures > 0 then error(#failures .. " check(s) failed:\n  " .. table.concat(failures, "\n  ")) end
  mt.echo("all checks passed")
end

-- Runs `main` and makes a Lua error visible: this miltertest prints none of its own.
function protect(main)
  local ok, err = xpcall(main, debug.traceback)
  if not ok then
    io.stderr:write("miltertest FAILED: ", tostring(err), "\n")
    error(err)
  end
end
