// Shared by both pages: counts PEL_listener calls and keeps the latency of each, from the
// sender's time stamp in the body to the call, in milliseconds.
window.S = {count: 0, lat: [], first: 0, last: 0};
function PEL_listener(arg) {
    var now = performance.timeOrigin + performance.now();
    var m = /"t":([0-9.]+)/.exec(arg);
    if (m)
        S.lat.push(now - parseFloat(m[1]));
    if (S.count++ === 0)
        S.first = now;
    S.last = now;
}
function resetStats() { S = {count: 0, lat: [], first: 0, last: 0}; return 1; }
