// Shared by the pages of the benchmark: counts messages and keeps the latency of each, from the
// sender's time stamp in the body to the handler's call, in milliseconds. A page that sets
// window.PEL_BENCH_RECEIVE before this script takes whole requests through PEL_receive and
// answers each with {"ok": true}; sendEvents(n) publishes n events through pelorin.send.
window.S = {count: 0, lat: [], first: 0, last: 0};
function record(text) {
    var now = performance.timeOrigin + performance.now();
    var m = /"t":([0-9.]+)/.exec(text);
    if (m)
        S.lat.push(now - parseFloat(m[1]));
    if (S.count++ === 0)
        S.first = now;
    S.last = now;
}
function PEL_listener(arg) { record(arg); }
if (window.PEL_BENCH_RECEIVE)
    window.PEL_receive = function (request) { record(request.body); return {ok: true}; };
function resetStats() { S = {count: 0, lat: [], first: 0, last: 0}; return 1; }
function sendEvents(n) {
    for (var i = 0; i < n; ++i)
        pelorin.send({i: i});
    return n;
}
