-- Publishes a changing address for every seeded ID in turn: each request is
-- a committed write. The seeded IDs are claimed, so each request carries its
-- password ("pw" and the user's number, as run-wrk.sh stores it) and costs a
-- password hash as well.
local counter = 0
local users = tonumber(os.getenv("HALVDIR_BENCH_USERS") or "1000")

request = function()
  counter = counter + 1
  local id = (counter % users) + 1
  local ip = "10." .. (counter % 250) .. "." .. math.floor(id / 250) .. "." .. (id % 250)
  return wrk.format("GET", "/cgi-bin/updateip?" .. id .. "+" .. ip .. "+pw" .. (id - 1))
end
