-- The filter's own notification carrying the valid secure hash (HASH) passes unscanned
-- with the hash header emptied; the same message with a wrong hash (WRONG) is scanned and,
-- carrying EICAR, rejected.
dofile(LIB)
local function message(name, hash)
  return { name = name, from = "<zarvik-smf@localhost>",
           headers = { { "Subject", "notification" }, { "X-zarvik-hash", hash },
                       { "X-After", "not spooled" } },
           body = { EICAR .. "\r\n" } }
end
protect(function()
  local valid = message("valid", HASH)
  valid.reply = SMFIR_ACCEPT
  valid.changed = { { "X-zarvik-hash", "" } }
  local wrong = message("wrong", WRONG)
  wrong.reply = SMFIR_REPLYCODE
  wrong.added = { { "X-Antivirus", "Zarvik (R) for Mail Servers on " .. HOST .. " host" },
                  { "X-Antivirus-Code", "20" } }
  run_cases({ valid, wrong })
end)
