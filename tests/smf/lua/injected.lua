-- A base64 EICAR attachment sent with line breaks in what the MTA hands in (HELO name,
-- relay macro, envelope sender, queue identifier) and in header values: each
-- message must still be refused. EICAR is never in the raw bytes, so only a scan that
-- still sees the MIME structure finds it.
dofile(LIB)
local b64 = "WDVPIVAlQEFQWzRcUFpYNTQoUF4pN0NDKTd9JEVJQ0FSLVNUQU5EQVJELUFOVElWSVJVUy1URVNU\r\n" ..
            "LUZJTEUhJEgrSCo=\r\n"
local function mime(extra)
  local h = { { "From", "Sender <sender@example.com>" }, { "Subject", "invoice" } }
  for _, x in ipairs(extra or {}) do h[#h + 1] = x end
  h[#h + 1] = { "MIME-Version", "1.0" }
  h[#h + 1] = { "Content-Type", "multipart/mixed; boundary=\"b1\"" }
  return h
end
local body = { "--b1\r\nContent-Type: text/plain\r\n\r\nhello\r\n",
               "--b1\r\nContent-Type: application/octet-stream\r\n" ..
               "Content-Transfer-Encoding: base64\r\n\r\n" .. b64 .. "--b1--\r\n" }
local function case(name, fields)
  local c = { name = name, headers = mime(), body = body, reply = SMFIR_REJECT }
  for k, v in pairs(fields) do c[k] = v end
  return c
end
protect(function()
  run_cases({
    case("plain", {}),
    case("helo", { helo = "client.example\r\n\r\n" }),
    case("relay", { relay = "client.example [192.0.2.1]\r\n\r\nX-Injected: relay" }),
    case("sender", { from = "<sender@example.com\r\n\r\n>" }),
    case("qid", { qid = "QQID\n\n" }),
    case("folded", { headers = mime({ { "X-Folded", "one\n\ttwo\n three\rfour" } }) }),
    case("empty line in a value", { headers = mime({ { "X-Broken", "one\n\ntwo" } }) }),
    case("break ending a value", { headers = mime({ { "X-Broken", "one\r\n" } }) }),
    case("break in a name", { headers = mime({ { "X-Broken\r\n\r\nX-Name", "one" } }) }),
  })
end)
