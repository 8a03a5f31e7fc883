-- wrk script for the miss path: every request carries a URL that no earlier
-- request of the run used, so a caching proxy must fetch it from the origin.
-- For the hit path it sends the one URL it is given every time instead.
--
-- Arguments (after "--" on the wrk command line):
--   1  the request target: an absolute URL ("http://127.0.0.1:8080/1k.txt")
--      when wrk talks to a proxy, a path ("/1k.txt") when it talks to the
--      origin directly
--   2  a tag unique to this row of the run (keeps rows apart)
--   3  the value of the Host header (the origin's host:port)
--   4  "same" to send the target as it is in every request (hit path),
--      anything else or nothing for a new URL each time
--
-- Each request is one connection: "Connection: close" is sent and wrk
-- reconnects after every response.  The query string is
-- ?<tag>-<thread>-<counter>, so no two requests of a run share a URL.

local threads = {}
local next_id = 0

function setup(thread)
   next_id = next_id + 1
   thread:set("tid", next_id)
   table.insert(threads, thread)
end

local target, tag, host, same
local counter = 0

function init(args)
   target = args[1]
   tag = args[2]
   host = args[3]
   same = args[4] == "same"
end

function request()
   counter = counter + 1
   if same then
      return "GET " .. target .. " HTTP/1.0\r\nHost: " .. host ..
         "\r\nConnection: close\r\n\r\n"
   end
   return "GET " .. target .. "?" .. tag .. "-" .. tid .. "-" .. counter ..
      " HTTP/1.0\r\nHost: " .. host .. "\r\nConnection: close\r\n\r\n"
end

-- One machine-readable line for bench/run.py.  Times in microseconds.
function done(summary, latency, requests)
   local e = summary.errors
   io.write(string.format(
      "WRKRESULT requests=%d duration_us=%d mean_us=%.1f p99_us=%d " ..
      "connect=%d read=%d write=%d status=%d timeout=%d\n",
      summary.requests, summary.duration, latency.mean,
      latency:percentile(99), e.connect, e.read, e.write, e.status,
      e.timeout))
end
