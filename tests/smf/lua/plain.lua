-- One clean message whose end is answered with REPLY (a letter), nothing added.
dofile(LIB)
protect(function()
  run_cases({ { name = "plain", reply = string.byte(REPLY) } })
end)
