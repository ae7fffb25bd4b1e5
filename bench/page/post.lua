-- wrk sender for the page benchmark: POST {"t":<send time in ms since the epoch>,"i":<n>},
-- the same body the Node.js sender in bench.js makes, so that the page can take the latency.
local ffi = require("ffi")
ffi.cdef [[
typedef struct { long tv_sec; long tv_nsec; } pelbench_timespec;
int clock_gettime(int clock, pelbench_timespec *tp);
]]
local ts = ffi.new("pelbench_timespec")
local n = 0

wrk.method = "POST"
wrk.headers["Content-Type"] = "application/json"

request = function()
    ffi.C.clock_gettime(0, ts) -- CLOCK_REALTIME, the page's performance.timeOrigin base
    n = n + 1
    local t = tonumber(ts.tv_sec) * 1000 + tonumber(ts.tv_nsec) / 1e6
    return wrk.format(nil, nil, nil, string.format('{"t":%.3f,"i":%d}', t, n))
end

done = function(summary, latency, requests)
    io.stderr:write(string.format("wrk: %d requests, %d errors\n", summary.requests,
        summary.errors.connect + summary.errors.read + summary.errors.write
        + summary.errors.status + summary.errors.timeout))
end
