-- One clean message; REPLY is the letter of the answer expected at its end, CODE the
-- X-Antivirus-Code expected with it.
dofile(LIB)
protect(function()
  run_cases({ { name = "one", reply = string.byte(REPLY),
                added = { { "X-Antivirus", "Zarvik (R) for Mail Servers on " .. HOST .. " host" },
                          { "X-Antivirus-Code", CODE } } } })
end)
