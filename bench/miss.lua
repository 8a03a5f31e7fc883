-- wrk's requests for bench/run.py, one connection each (Connection: close).
-- Arguments after "--": the target (an absolute URL through a proxy, a path
-- to the origin), a tag unique to the row, the Host header, and "same" to
-- send the target as it is (hit path); otherwise every request asks for a
-- URL no earlier one used (?<tag>-<thread>-<counter>), so a cache must miss.
local next_id, counter, target, tag, host, same = 0, 0

function setup(thread)
   next_id = next_id + 1
   thread:set("tid", next_id)
end

function init(args)
   target, tag, host, same = args[1], args[2], args[3], args[4] == "same"
end

function request()
   counter = counter + 1
   local url = same and target or (target .. "?" .. tag .. "-" .. tid .. "-" .. counter)
   return "GET " .. url .. " HTTP/1.0\r\nHost: " .. host .. "\r\nConnection: close\r\n\r\n"
end

-- One line for the driver to read; times in microseconds.
function done(summary, latency, requests)
   local e = summary.errors
   io.write(string.format("WRKRESULT requests=%d duration_us=%d mean_us=%.1f p99_us=%d "
      .. "connect=%d read=%d write=%d status=%d timeout=%d\n", summary.requests, summary.duration,
      latency.mean, latency:percentile(99), e.connect, e.read, e.write, e.status, e.timeout))
end
