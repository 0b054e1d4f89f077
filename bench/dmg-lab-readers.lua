-- wrk script of bench/dmg-lab-bench.sh: one connection per thread, each
-- reading its own region of the disc in order in 64 KiB ranges and going
-- round again at its end, as a lab's clients each install their own part.
--   wrk -t N -c N -s dmg-lab-readers.lua URL -- REGION_BYTES
local next_id = 0

function setup(thread)
  thread:set("id", next_id)
  next_id = next_id + 1
end

function init(args)
  region = tonumber(args[1])
  first = id * region
  at = first
end

function request()
  local range = string.format("bytes=%d-%d", at, at + 65535)
  at = at + 65536
  if at >= first + region then at = first end
  return wrk.format("GET", "/CdRom0.dmg", { Range = range })
end
