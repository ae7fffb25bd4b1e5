// Soak benchmark: mixed traffic into a Pelorin whose PEL_listener takes about 1 ms per message
// (it records each call with a synchronous request to this script's recorder), for MINUTES:
//   200 POSTs/s on one keep-alive connection; a burst of 2,000 POSTs over 8 connections every
//   20 s; a half-sent request ended by a TCP reset every 15 s; a GET every 10 s; a page reload
//   through DevTools every 30 s; one renderer kill at 2 minutes (half way in shorter runs).
// Prints what was sent, answered, delivered, lost, duplicated and out of order, the latency
// from send to the listener's call, each reload's duration, the page's long tasks, and
// Pelorin's CPU and resident memory at the start and the end. Loopback only; everything it
// starts it ends by PID.
//
//   node --experimental-websocket soak.js <pelorin-binary> <work-dir> <minutes>
'use strict';
const http = require('http');
const net = require('net');
const fs = require('fs');
const path = require('path');
const {spawn} = require('child_process');
const {children, freePort, getJson, sleep} = require('../common/processes.js');

const [binary, work, minutesText] = process.argv.slice(2);
// (with --recorder, binary is the flag and work the port)
const MINUTES = +minutesText || 10;
const DURATION_MS = MINUTES * 60000;
const now = () => performance.timeOrigin + performance.now();

if (process.argv[2] !== '--recorder')
    process.on('SIGTERM', () => process.exit(143));

// What the page reports: "s,k,latency" per listener call, long tasks as "long,<ms>".
const seen = new Map();        // "s,k" -> calls
const lastK = new Map();       // s -> highest k seen
let delivered = 0, duplicated = 0, outOfOrder = 0, foreign = 0;
const latencies = [];
const callTimes = [];
const longTasks = [];
let lastDelivery = 0;

function record(line) {
    if (line.startsWith('long,')) {
        longTasks.push(+line.slice(5));
        return;
    }
    const [s, k, lat, took] = line.split(',').map(Number);
    if (took > 0)
        callTimes.push(took);
    if (!Number.isFinite(s) || !Number.isFinite(k)) {
        ++foreign;
        return;
    }
    lastDelivery = now();
    const key = s + ',' + k;
    const calls = (seen.get(key) || 0) + 1;
    seen.set(key, calls);
    if (calls > 1) {
        ++duplicated;
        return;
    }
    ++delivered;
    latencies.push(lat);
    if (k < (lastK.get(s) ?? -1))
        ++outOfOrder;
    else
        lastK.set(s, k);
}

// The recorder, a process of its own so that the page's synchronous reports wait for no
// traffic: it serves the page at /page.html (the reports to / are then same-origin) and writes
// each report as a line to its output.
if (process.argv[2] === '--recorder') {
    const server = http.createServer((req, res) => {
        if (req.method === 'GET') {
            res.writeHead(200, {'Content-Type': 'text/html', 'Cache-Control': 'no-store'});
            res.end(pageHtml());
            return;
        }
        let body = '';
        req.setEncoding('utf8');
        req.on('data', c => { if (body.length < 4096) body += c; });
        req.on('end', () => {
            process.stdout.write(body.replace(/\n/g, ' ') + '\n');
            res.writeHead(204);
            res.end();
        });
    });
    server.keepAliveTimeout = 60000;
    server.listen(+process.argv[3], '127.0.0.1');
    process.on('SIGTERM', () => process.exit(0));
} else {
    main().then(() => process.exit(0), e => { console.error(e); process.exit(1); });
}

function startRecorder(port) {
    const recorder = spawn(process.execPath, [__filename, '--recorder', String(port)],
                           {stdio: ['ignore', 'pipe', 'inherit']});
    children.push(recorder);
    require('readline').createInterface({input: recorder.stdout}).on('line', record);
    return recorder;
}

function pageHtml() {
    return `<html><head><script>
var recorder = '/';
function report(text) {
    var xhr = new XMLHttpRequest();
    xhr.open('POST', recorder, false);
    try { xhr.send(text); } catch (e) { }
}
var took = 0; // the last call's time, reported with the next
function PEL_listener(arg) {
    var at = performance.timeOrigin + performance.now();
    var m = /s"?[:=](\\d+)[,&]"?k"?[:=](\\d+)[,&]"?t"?[:=]([0-9.]+)/.exec(arg);
    report(m ? m[1] + ',' + m[2] + ',' + (at - parseFloat(m[3])).toFixed(3) + ',' + took : 'x');
    took = (performance.timeOrigin + performance.now() - at).toFixed(3);
}
new PerformanceObserver(function (list) {
    list.getEntries().forEach(function (e) { report('long,' + e.duration.toFixed(1)); });
}).observe({entryTypes: ['longtask']});
</script></head><body>soak</body></html>`;
}

// One POST of stream s, number k, on agent; resolves with the status (0 when it failed).
function post(agent, port, s, k) {
    return new Promise(resolve => {
        const body = `{"s":${s},"k":${k},"t":${now().toFixed(3)}}`;
        const req = http.request({host: '127.0.0.1', port, method: 'POST', path: '/', agent,
                                  headers: {'Content-Type': 'application/json',
                                            'Content-Length': Buffer.byteLength(body)}},
                                 res => { res.resume(); res.on('end', () => resolve(res.statusCode)); });
        req.setTimeout(30000, () => req.destroy());
        req.on('error', () => resolve(0));
        req.end(body);
    });
}

function get(port, s, k) {
    return new Promise(resolve => {
        const req = http.get({host: '127.0.0.1', port, path: `/?s=${s}&k=${k}&t=${now().toFixed(3)}`,
                              agent: false},
                             res => { res.resume(); res.on('end', () => resolve(res.statusCode)); });
        req.setTimeout(30000, () => req.destroy());
        req.on('error', () => resolve(0));
    });
}

let sent = 0, answered = 0;
const answeredKeys = new Set();
async function send(promise, s, k) {
    ++sent;
    if (await promise === 200) {
        ++answered;
        answeredKeys.add(s + ',' + k);
    }
}

// Stream 0: RATE a second on one keep-alive connection, each after the last one's answer.
async function paced(port, until) {
    const agent = new http.Agent({keepAlive: true, maxSockets: 1});
    const start = now();
    for (let k = 0; now() < until; ++k) {
        const due = start + k * 5;
        if (due > now())
            await sleep(due - now());
        await send(post(agent, port, 0, k), 0, k);
    }
    agent.destroy();
}

// Streams 1..8: 2,000 POSTs over 8 connections, 250 each, in order on each.
const burstNext = new Array(9).fill(0);
async function burst(port) {
    await Promise.all(Array.from({length: 8}, async (_, c) => {
        const agent = new http.Agent({keepAlive: true, maxSockets: 1});
        for (let n = 0; n < 250; ++n) {
            const k = burstNext[c + 1]++;
            await send(post(agent, port, c + 1, k), c + 1, k);
        }
        agent.destroy();
    }));
}

// Half a request, then a TCP reset.
function halfSent(port) {
    return new Promise(resolve => {
        const socket = net.connect(port, '127.0.0.1', () => {
            socket.write('POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n'
                         + 'Content-Length: 100\r\n\r\n{"s":99,"k":');
            setTimeout(() => { socket.resetAndDestroy(); resolve(); }, 50);
        });
        socket.on('error', () => resolve());
    });
}

class DevTools {
    constructor(port) { this.port = port; this.id = 0; this.waiting = new Map(); this.events = []; }
    async attach(timeoutMs) {
        const end = Date.now() + timeoutMs;
        while (Date.now() < end) {
            try {
                const page = (await getJson(`http://127.0.0.1:${this.port}/json`))
                        .find(t => t.type === 'page');
                if (page) {
                    this.ws = new WebSocket(page.webSocketDebuggerUrl);
                    await new Promise((resolve, reject) => {
                        this.ws.onopen = resolve;
                        this.ws.onerror = reject;
                    });
                    this.ws.onmessage = e => this.message(JSON.parse(e.data));
                    this.ws.onclose = () => { this.ws = null; };
                    await this.call('Page.enable');
                    return true;
                }
            } catch (e) { }
            await sleep(200);
        }
        return false;
    }
    message(m) {
        const w = this.waiting.get(m.id);
        if (w) {
            this.waiting.delete(m.id);
            w(m);
        } else if (m.method) {
            this.events.push(m.method);
            if (this.onEvent)
                this.onEvent(m.method);
        }
    }
    call(method, params = {}, timeoutMs = 10000) {
        if (!this.ws)
            return Promise.resolve(null);
        const id = ++this.id;
        this.ws.send(JSON.stringify({id, method, params}));
        return new Promise(resolve => {
            const timer = setTimeout(() => { this.waiting.delete(id); resolve(null); }, timeoutMs);
            this.waiting.set(id, m => { clearTimeout(timer); resolve(m); });
        });
    }
    // Milliseconds from the command to the reloaded page's load event; -1 when it never came
    // within 20 s.
    async reload() {
        if (!this.ws && !(await this.attach(10000)))
            return -1;
        const start = now();
        const loaded = new Promise(resolve => {
            const timer = setTimeout(() => resolve(-1), 20000);
            this.onEvent = method => {
                if (method === 'Page.loadEventFired') {
                    clearTimeout(timer);
                    resolve(now() - start);
                }
            };
        });
        await this.call('Page.reload');
        const ms = await loaded;
        this.onEvent = null;
        return ms;
    }
}

// The processes under pid, itself included.
function family(pid) {
    const parents = new Map();
    for (const p of fs.readdirSync('/proc').filter(p => /^\d+$/.test(p))) {
        try {
            const stat = fs.readFileSync(`/proc/${p}/stat`, 'utf8');
            const ppid = stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1];
            if (!parents.has(ppid)) parents.set(ppid, []);
            parents.get(ppid).push(p);
        } catch (e) { }
    }
    const all = [];
    const todo = [String(pid)];
    while (todo.length) {
        const p = todo.shift();
        all.push(p);
        todo.push(...(parents.get(p) || []));
    }
    return all;
}

function rendererPids(pid) {
    return family(pid).filter(p => {
        try {
            return fs.readFileSync(`/proc/${p}/cmdline`, 'utf8').includes('--type=renderer');
        } catch (e) { return false; }
    });
}

// CPU seconds (user + system) and resident KiB of the one process pid.
function usage(pid) {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
    const rss = /VmRSS:\s+(\d+)/.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'));
    return {cpu: (+fields[11] + +fields[12]) / 100, rssKiB: rss ? +rss[1] : 0, at: now()};
}

const percentile = (sorted, p) => sorted.length
        ? sorted[Math.min(sorted.length - 1, Math.floor(p / 100 * sorted.length))] : NaN;

async function main() {
    const appDir = path.join(work, 'app');
    fs.mkdirSync(path.join(appDir, 'assets'), {recursive: true});
    fs.copyFileSync(binary, path.join(appDir, 'pelorin'));
    fs.chmodSync(path.join(appDir, 'pelorin'), 0o755);
    const port = await freePort();
    const debug = await freePort();
    const recorderPort = await freePort();
    const recorder = startRecorder(recorderPort);
    fs.writeFileSync(path.join(appDir, 'config.ini'),
                     `[CONNECT]\nHOST=127.0.0.1\nPORT=${port}\nURL=http://127.0.0.1:${recorderPort}/page.html\nCRYPTO=\n[UIUX]\nTITLE=Pelorin\nBASESIZE_H=600\nBASESIZE_W=400\n`);
    const log = fs.openSync(path.join(work, 'pelorin.log'), 'w');
    const proc = spawn(path.join(appDir, 'pelorin'), [], {
        cwd: appDir, stdio: ['ignore', log, log],
        env: {...process.env, QTWEBENGINE_REMOTE_DEBUGGING: `127.0.0.1:${debug}`,
              QTWEBENGINE_DISABLE_SANDBOX: '1'}});
    children.push(proc);
    const dt = new DevTools(debug);
    if (!(await dt.attach(60000)))
        throw new Error('no page at DevTools port ' + debug);
    await sleep(2000);

    const start = now();
    const until = start + DURATION_MS;
    const killAt = start + Math.min(120000, DURATION_MS / 2);
    const first = usage(proc.pid);
    let afterFirstMinute = null, lastMinute = null;
    const reloads = [];
    let killed = false;
    const traffic = paced(port, until);
    const others = [];
    let getK = 0;
    for (let tick = 1; now() < until; ++tick) {
        await sleep(Math.max(0, start + tick * 1000 - now()));
        const t = tick;
        if (t % 20 === 0) others.push(burst(port));
        if (t % 15 === 0) others.push(halfSent(port));
        if (t % 10 === 0) { const k = getK++; others.push(send(get(port, 9, k), 9, k)); }
        if (t % 30 === 0) reloads.push(await dt.reload());
        if (!killed && now() >= killAt) {
            killed = true;
            for (const pid of rendererPids(proc.pid))
                process.kill(+pid, 'SIGKILL');
            dt.ws && dt.ws.close();
            dt.ws = null;
        }
        if (t === 60) afterFirstMinute = usage(proc.pid);
        if (now() >= until - 60000 && !lastMinute) lastMinute = usage(proc.pid);
    }
    await traffic;
    await Promise.all(others);
    const end = usage(proc.pid);
    // Drain: until every answered message has arrived, or nothing came for 10 s (at most 60 s).
    lastDelivery = now();
    const drainEnd = now() + 60000;
    while (now() < drainEnd && now() - lastDelivery < 10000
           && [...answeredKeys].some(k => !seen.has(k)))
        await sleep(200);
    const lost = [...answeredKeys].filter(k => !seen.has(k)).length;
    process.kill(proc.pid, 'SIGTERM');
    await new Promise(r => proc.exitCode !== null || proc.signalCode !== null ? r() : proc.on('exit', r));
    await sleep(500); // the last reports
    process.kill(recorder.pid, 'SIGTERM');

    const pelorinLog = fs.readFileSync(path.join(work, 'pelorin.log'), 'utf8');
    const counted = [...pelorinLog.matchAll(/(\d+) messages handed to the page's ended renderer/g)]
            .reduce((sum, m) => sum + +m[1], 0);
    const cpuPercent = (a, b) => a && b ? (100 * (b.cpu - a.cpu) / ((b.at - a.at) / 1000)).toFixed(1) : '-';
    latencies.sort((a, b) => a - b);
    callTimes.sort((a, b) => a - b);
    console.log(`soak of ${MINUTES} min, PEL_listener at about 1 ms a call`);
    console.log(`sent ${sent}, answered ${answered}, delivered ${delivered}, lost ${lost},`
                + ` duplicated ${duplicated} (Pelorin counted ${counted} after the renderer kill),`
                + ` out of order ${outOfOrder}, other calls ${foreign}`);
    console.log(`listener's own time a call: p50 ${percentile(callTimes, 50).toFixed(2)} ms,`
                + ` p99 ${percentile(callTimes, 99).toFixed(2)} ms`);
    console.log(`latency send to listener: p50 ${percentile(latencies, 50).toFixed(1)} ms,`
                + ` p99 ${percentile(latencies, 99).toFixed(1)} ms`);
    console.log(`reloads (ms to the load event, -1 = not within 20 s): ${reloads.map(ms => ms.toFixed(0)).join(' ')}`);
    console.log(`long tasks over 50 ms in the page: ${longTasks.length}`
                + (longTasks.length ? ` (ms: ${longTasks.slice(0, 20).join(' ')}${longTasks.length > 20 ? ' ...' : ''})` : ''));
    console.log(`pelorin process: CPU ${cpuPercent(first, afterFirstMinute)}% of a core in the first minute,`
                + ` ${cpuPercent(lastMinute, end)}% in the last; RSS ${first.rssKiB} KiB at the start,`
                + ` ${end.rssKiB} KiB at the end (${((end.rssKiB - first.rssKiB) / 1024).toFixed(1)} MiB growth)`);
    console.log(`targets: 0 lost, 0 duplicated but those counted at the kill, 0 out of order, p50 <= 1000 ms,`
                + ` reloads <= 2000 ms, no long task from delivery, RSS growth < 20 MiB`);
}

