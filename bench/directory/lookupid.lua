-- Looks up the seeded users' addresses in turn, with a stranger now and then.
local counter = 0
local users = tonumber(os.getenv("HALVDIR_BENCH_USERS") or "1000")

request = function()
  counter = counter + 1
  local n = counter % (users + math.floor(users / 10))
  local email = (n < users) and ("user" .. n .. "%40example.org") or ("stranger" .. n .. "%40example.org")
  return wrk.format("GET", "/cgi-bin/lookupid?" .. email)
end
