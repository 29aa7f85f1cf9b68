-- One message per combination of uncheckable (deny-listed) sender and recipients, and the
-- stage at which each deny mode (MODE) lets the message go unchecked. "eom" means the
-- message is scanned; the others end with an accept at that stage.
dofile(LIB)
local S, s = "<skip-sender@example.com>", "<sender@example.com>"
local R, r = "<skip@example.net>", "<rcpt@example.net>"
local messages = {
  { name = "sender", from = S, rcpts = { r } },
  { name = "onercpt", from = s, rcpts = { R, r } },
  { name = "allrcpts", from = s, rcpts = { R, R } },
  { name = "everyone", from = S, rcpts = { R, R } },
  { name = "senderandone", from = S, rcpts = { R, r } },
  { name = "nobody", from = s, rcpts = { r } },
}
local stages = {
  byAll =                   { "eom", "eom", "eom", "header", "eom", "eom" },
  byOne =                   { "mail", "rcpt", "rcpt", "mail", "mail", "eom" },
  bySender =                { "mail", "eom", "eom", "mail", "mail", "eom" },
  bySenderAndOneRecipient = { "eom", "eom", "eom", "rcpt", "rcpt", "eom" },
  byOneRecipient =          { "eom", "rcpt", "rcpt", "rcpt", "rcpt", "eom" },
  byAllRecipients =         { "eom", "eom", "header", "header", "eom", "eom" },
}
protect(function()
  local cases = {}
  for i, m in ipairs(messages) do
    local stage = stages[MODE][i]
    m.name = MODE .. "-" .. m.name
    m.reply = SMFIR_ACCEPT
    if stage ~= "eom" then m.stop = stage end
    cases[#cases + 1] = m
  end
  run_cases(cases)
end)
