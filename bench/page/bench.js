// Page-delivery benchmark: Pelorin, its page taking messages through PEL_listener and through
// PEL_receive, against a Node.js server that pushes each POST to a page in headless Chromium
// over Server-Sent Events. The same sender drives all; all pages run page.js and are read
// through the DevTools protocol. Then the round trip of requests that wait for the page's
// answer, the rate of the page's events to a subscriber of GET /events, and the start-up time
// and idle memory of Pelorin beside a bare QWebEngineView program showing the same page.
//
//   node --experimental-websocket bench.js <work-dir> <name> <pelorin-binary> <minimal-binary>
//       [<name> <pelorin-binary> <minimal-binary>]...   (more builds, printed side by side)
//   node bench.js --sse-server <port> <page.js>        (the anchor, started by the above)
'use strict';
const http = require('http');
const fs = require('fs');
const path = require('path');
const {spawn} = require('child_process');
const {children, stopAll, freePort, getJson, sleep} = require('../common/processes.js');

const N = +(process.env.N || 20000);
const CONNECTIONS = +(process.env.CONNECTIONS || 8);
const PACED = +(process.env.PACED || 5000);
const RATE = +(process.env.RATE || 1000);
// The flood's sender: "wrk" (post.lua, WRK_SECONDS long, WRK_THREADS threads) or "node"
// (N messages from this process, which on a small machine limits the rate it can measure).
const SENDER = process.env.SENDER || 'wrk';
const WRK_SECONDS = +(process.env.WRK_SECONDS || 3);
const WRK_THREADS = +(process.env.WRK_THREADS || 1);
// Requests that wait for the page's answer: ANSWERED of them at ANSWER_RATE per second.
const ANSWERED = +(process.env.ANSWERED || 2000);
const ANSWER_RATE = +(process.env.ANSWER_RATE || 200);
// Events the page publishes at once, and start-up runs of each program.
const EVENTS = +(process.env.EVENTS || 20000);
const STARTS = +(process.env.STARTS || 3);
const now = () => performance.timeOrigin + performance.now();

if (process.argv[2] === '--sse-server') {
    const pageJs = fs.readFileSync(process.argv[4], 'utf8');
    const clients = [];
    http.createServer((req, res) => {
        if (req.method === 'GET' && req.url === '/events') {
            res.writeHead(200, {'Content-Type': 'text/event-stream', 'Cache-Control': 'no-cache'});
            res.write(':\n\n');
            clients.push(res);
            return;
        }
        if (req.method === 'GET') {
            res.writeHead(200, {'Content-Type': 'text/html'});
            res.end('<html><head><script>' + pageJs + '</script><script>'
                    + 'var es = new EventSource("/events");'
                    + 'es.onmessage = function (e) { PEL_listener(e.data); };'
                    + 'es.onopen = function () { window.sseOpen = true; };'
                    + '</script></head><body>sse</body></html>');
            return;
        }
        const parts = [];
        req.on('data', c => parts.push(c));
        req.on('end', () => {
            const data = 'data: ' + Buffer.concat(parts).toString().replace(/\n/g, '\ndata: ') + '\n\n';
            for (const c of clients)
                c.write(data);
            res.writeHead(200, {'Content-Type': 'application/json'});
            res.end('{"status":"OK"}');
        });
    }).listen(+process.argv[3], '127.0.0.1');
    return;
}

class DevTools {
    static async attach(port, urlPart, timeoutMs) {
        const end = Date.now() + timeoutMs;
        while (Date.now() < end) {
            try {
                const targets = await getJson(`http://127.0.0.1:${port}/json`);
                const page = targets.find(t => t.type === 'page' && t.url.includes(urlPart));
                if (page) {
                    const dt = new DevTools(page.webSocketDebuggerUrl);
                    await dt.opened;
                    if (await dt.eval('document.readyState === "complete" && typeof S === "object"'))
                        return dt;
                    dt.ws.close();
                }
            } catch (e) { }
            await sleep(200);
        }
        throw new Error('no page at DevTools port ' + port);
    }
    constructor(url) {
        this.ws = new WebSocket(url);
        this.id = 0;
        this.waiting = new Map();
        this.opened = new Promise((resolve, reject) => {
            this.ws.onopen = resolve;
            this.ws.onerror = reject;
        });
        this.ws.onmessage = e => {
            const m = JSON.parse(e.data);
            const w = this.waiting.get(m.id);
            if (w) {
                this.waiting.delete(m.id);
                w(m.result && m.result.result ? m.result.result.value : undefined);
            }
        };
    }
    eval(expression) {
        const id = ++this.id;
        this.ws.send(JSON.stringify({id, method: 'Runtime.evaluate', params: {expression, returnByValue: true}}));
        return new Promise(resolve => this.waiting.set(id, resolve));
    }
    async waitCount(count, timeoutMs) {
        const end = Date.now() + timeoutMs;
        let seen = 0;
        while (Date.now() < end) {
            seen = await this.eval('S.count');
            if (seen >= count)
                return seen;
            await sleep(50);
        }
        return seen;
    }
}

// The sender: POST {"t":<send time in ms>,"i":<n>} to port, CONNECTIONS keep-alive
// connections, either as fast as the replies come back or paced at RATE per second.
// Resolves with the status (0 for a failed connection) and the milliseconds to the answer.
function post(agent, port, i, extraHeaders) {
    return new Promise(resolve => {
        const sent = now();
        const body = `{"t":${sent.toFixed(3)},"i":${i}}`;
        const req = http.request({host: '127.0.0.1', port, method: 'POST', path: '/', agent,
                                  headers: {'Content-Type': 'application/json',
                                            'Content-Length': Buffer.byteLength(body),
                                            ...extraHeaders}},
                                 res => {
                                     res.resume();
                                     res.on('end', () => resolve({status: res.statusCode,
                                                                  ms: now() - sent}));
                                 });
        req.on('error', () => resolve({status: 0, ms: now() - sent}));
        req.end(body);
    });
}

async function sendFlood(port, count) {
    const agent = new http.Agent({keepAlive: true, maxSockets: CONNECTIONS});
    let next = 0;
    const start = now();
    const worker = async () => { while (next < count) await post(agent, port, next++); };
    await Promise.all(Array.from({length: CONNECTIONS}, worker));
    agent.destroy();
    return start;
}

// wrk floods port for WRK_SECONDS; resolves with the send start time and the number of
// requests wrk saw answered.
function sendFloodWrk(port) {
    return new Promise((resolve, reject) => {
        const start = now();
        const wrk = spawn('wrk', ['-t', String(WRK_THREADS), '-c', String(CONNECTIONS),
                                  '-d', `${WRK_SECONDS}s`, '-s', path.join(__dirname, 'post.lua'),
                                  `http://127.0.0.1:${port}/`],
                          {stdio: ['ignore', 'ignore', 'pipe']});
        children.push(wrk);
        let err = '';
        wrk.stderr.on('data', c => err += c);
        wrk.on('error', reject);
        wrk.on('close', code => {
            const m = /wrk: (\d+) requests/.exec(err);
            if (code === 0 && m)
                resolve({start, sent: +m[1]});
            else
                reject(new Error('wrk failed: ' + code + ' ' + err));
        });
    });
}

// Waits until the page's count has not changed for quietMs.
async function waitQuiet(dt, quietMs, timeoutMs) {
    const end = Date.now() + timeoutMs;
    let seen = -1, since = Date.now();
    while (Date.now() < end) {
        const count = await dt.eval('S.count');
        if (count !== seen) {
            seen = count;
            since = Date.now();
        } else if (Date.now() - since >= quietMs) {
            break;
        }
        await sleep(50);
    }
    return seen;
}

async function sendPaced(port, count, rate, extraHeaders) {
    const agent = new http.Agent({keepAlive: true, maxSockets: CONNECTIONS});
    const pending = [];
    const start = now();
    for (let i = 0; i < count; ++i) {
        const due = start + i * 1000 / rate;
        while (now() < due - 2)
            await sleep(1);
        while (now() < due)
            await new Promise(r => setImmediate(r));
        pending.push(post(agent, port, i, extraHeaders));
    }
    const results = await Promise.all(pending);
    agent.destroy();
    return results;
}

function percentile(sorted, p) {
    return sorted[Math.min(sorted.length - 1, Math.floor(p / 100 * sorted.length))];
}

function rssKiB(rootPid) {
    const parents = new Map();
    for (const pid of fs.readdirSync('/proc').filter(p => /^\d+$/.test(p))) {
        try {
            const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
            const ppid = stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1];
            if (!parents.has(ppid)) parents.set(ppid, []);
            parents.get(ppid).push(pid);
        } catch (e) { }
    }
    let total = 0;
    const todo = [String(rootPid)];
    while (todo.length) {
        const pid = todo.shift();
        try {
            const m = /VmRSS:\s+(\d+)/.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'));
            if (m) total += +m[1];
        } catch (e) { }
        todo.push(...(parents.get(pid) || []));
    }
    return total;
}

async function measure(name, port, dt) {
    await dt.eval('resetStats()');
    let start, got, sent;
    if (SENDER === 'wrk') {
        ({start, sent} = await sendFloodWrk(port));
        got = await waitQuiet(dt, 1000, 120000);
    } else {
        start = await sendFlood(port, N);
        got = await dt.waitCount(N, 120000);
        sent = N;
    }
    const last = await dt.eval('S.last');
    const rate = got / ((last - start) / 1000);
    await dt.eval('resetStats()');
    await sendPaced(port, PACED, RATE);
    await dt.waitCount(PACED, 60000);
    const lat = (await dt.eval('S.lat')).sort((a, b) => a - b);
    const result = {name, delivered: got, sent, msgsPerSec: Math.round(rate),
                    p50ms: +percentile(lat, 50).toFixed(3), p99ms: +percentile(lat, 99).toFixed(3),
                    pacedDelivered: lat.length};
    console.error(JSON.stringify(result));
    return result;
}

// Pelorin from an app directory of its own, its page counting calls; with receive, the page
// defines PEL_receive.
async function startPelorin(binary, work, name, receive) {
    const pageJs = fs.readFileSync(path.join(__dirname, 'page.js'), 'utf8');
    const appDir = path.join(work, name);
    fs.mkdirSync(path.join(appDir, 'assets'), {recursive: true});
    fs.copyFileSync(binary, path.join(appDir, 'pelorin'));
    fs.chmodSync(path.join(appDir, 'pelorin'), 0o755);
    const port = await freePort();
    const debug = await freePort();
    fs.writeFileSync(path.join(appDir, 'config.ini'),
                     `[CONNECT]\nHOST=127.0.0.1\nPORT=${port}\nURL=\nCRYPTO=\n[UIUX]\nTITLE=Pelorin\nBASESIZE_H=600\nBASESIZE_W=400\n`);
    fs.writeFileSync(path.join(appDir, 'assets', 'index.html'),
                     `<html><head>${receive ? '<script>window.PEL_BENCH_RECEIVE = true;</script>' : ''}`
                     + `<script>${pageJs}</script></head><body>counting</body></html>`);
    const startedAt = now();
    const proc = spawn(path.join(appDir, 'pelorin'), [], {
        cwd: appDir, stdio: 'ignore',
        env: {...process.env, QTWEBENGINE_REMOTE_DEBUGGING: `127.0.0.1:${debug}`,
              QTWEBENGINE_DISABLE_SANDBOX: '1'}});
    children.push(proc);
    return {proc, port, debug, startedAt};
}

// Requests that wait for the page's answer, paced: milliseconds from send to answer.
async function roundTrip(port) {
    const results = await sendPaced(port, ANSWERED, ANSWER_RATE,
                                    {'Prefer': 'return=representation'});
    const answered = results.filter(r => r.status === 200);
    const ms = answered.map(r => r.ms).sort((a, b) => a - b);
    return {answered: answered.length, p50ms: +percentile(ms, 50).toFixed(3),
            p99ms: +percentile(ms, 99).toFixed(3)};
}

// Events the page publishes with pelorin.send, counted by a subscriber of GET /events.
function eventsRate(port, dt) {
    return new Promise((resolve, reject) => {
        let seen = 0, start = 0, pending = '';
        const timer = setTimeout(() => { req.destroy(); resolve({events: seen, perSec: 0}); },
                                 120000);
        const req = http.get({host: '127.0.0.1', port, path: '/events',
                              headers: {'Accept': 'text/event-stream'}}, res => {
            res.setEncoding('utf8');
            res.on('data', chunk => {
                const lines = (pending + chunk).split('\n');
                pending = lines.pop();
                seen += lines.filter(l => l.startsWith('data: ')).length;
                if (seen >= EVENTS) {
                    clearTimeout(timer);
                    req.destroy();
                    resolve({events: seen, perSec: Math.round(seen / ((now() - start) / 1000))});
                }
            });
            start = now();
            dt.eval(`sendEvents(${EVENTS})`);
        });
        req.on('error', reject);
    });
}

// From spawning a program to the first message its page gets, and its memory 3 s later.
async function startOnce(kind, pelorinBinary, minimalBinary, work, run) {
    let proc, startedAt, debug;
    if (kind === 'pelorin') {
        let port;
        ({proc, port, debug, startedAt} = await startPelorin(pelorinBinary, work,
                                                             `start-${run}`, false));
        // one message, sent as soon as the server takes it; Pelorin holds it for the page
        for (let i = 0; i < 6000; ++i) {
            const agent = new http.Agent({keepAlive: false});
            const r = await post(agent, port, i);
            agent.destroy();
            if (r.status === 200)
                break;
            await sleep(5);
        }
    } else {
        const html = path.join(work, 'minimal.html');
        fs.writeFileSync(html, `<html><head><script>${fs.readFileSync(path.join(__dirname, 'page.js'), 'utf8')}`
                               + '</script></head><body>counting</body></html>');
        debug = await freePort();
        startedAt = now();
        proc = spawn(minimalBinary, [html], {
            stdio: 'ignore',
            env: {...process.env, QTWEBENGINE_REMOTE_DEBUGGING: `127.0.0.1:${debug}`,
                  QTWEBENGINE_DISABLE_SANDBOX: '1'}});
        children.push(proc);
    }
    const dt = await DevTools.attach(debug, kind === 'pelorin' ? '/assets/index.html' : 'minimal.html',
                                     60000);
    await dt.waitCount(1, 60000);
    const firstMs = (await dt.eval('S.first')) - startedAt;
    await sleep(3000);
    const idleKiB = rssKiB(proc.pid);
    dt.ws.close();
    process.kill(proc.pid, 'SIGTERM');
    await new Promise(r => proc.exitCode !== null || proc.signalCode !== null ? r() : proc.on('exit', r));
    return {firstMs, idleKiB};
}

const median = values => [...values].sort((a, b) => a - b)[Math.floor((values.length - 1) / 2)];

// The engine behind a DevTools port, from its user agent: "QtWebEngine/6.4.2 Chrome/102.0...".
async function chromiumOf(port) {
    try {
        const agent = (await getJson(`http://127.0.0.1:${port}/json/version`))['User-Agent'];
        return (agent.match(/(QtWebEngine|Chrome)\/[\d.]+/g) || ['?']).join(' ');
    } catch (e) {
        return '?';
    }
}

// One build's figures: both pages flooded and paced, the answered round trip and the events.
async function benchBuild(build, work) {
    const listener = await startPelorin(build.binary, work, `${build.name}-pelorin`, false);
    const receiver = await startPelorin(build.binary, work, `${build.name}-pelorin-receive`, true);
    const listenerPage = await DevTools.attach(listener.debug, '/assets/index.html', 60000);
    const receiverPage = await DevTools.attach(receiver.debug, '/assets/index.html', 60000);
    build.chromium = await chromiumOf(listener.debug);
    await sleep(3000);
    build.listener = await measure(`${build.name} PEL_listener`, listener.port, listenerPage);
    build.afterFloodKiB = rssKiB(listener.proc.pid);
    build.receiver = await measure(`${build.name} PEL_receive`, receiver.port, receiverPage);
    build.answers = await roundTrip(receiver.port);
    build.events = await eventsRate(receiver.port, receiverPage);
    for (const p of [listener, receiver])
        process.kill(p.proc.pid, 'SIGTERM');
    build.starts = {pelorin: [], minimal: []};
}

async function main() {
    const [work, ...rest] = process.argv.slice(2);
    const builds = [];
    for (let i = 0; i + 2 < rest.length; i += 3)
        builds.push({name: rest[i], binary: rest[i + 1], minimal: rest[i + 2]});

    // The anchor: Node.js SSE server and headless Chromium.
    const ssePort = await freePort();
    const sseDebug = await freePort();
    const sse = spawn(process.execPath, [__filename, '--sse-server', String(ssePort),
                                         path.join(__dirname, 'page.js')], {stdio: 'inherit'});
    children.push(sse);
    await sleep(500);
    const chromium = spawn('chromium', ['--headless', '--no-sandbox', '--disable-gpu',
                                        '--disable-background-timer-throttling',
                                        '--disable-renderer-backgrounding',
                                        `--remote-debugging-port=${sseDebug}`,
                                        `--user-data-dir=${path.join(work, 'chromium')}`,
                                        `http://127.0.0.1:${ssePort}/`], {stdio: 'ignore'});
    children.push(chromium);
    const ssePage = await DevTools.attach(sseDebug, `127.0.0.1:${ssePort}`, 60000);
    for (let i = 0; i < 100 && !(await ssePage.eval('window.sseOpen === true')); ++i)
        await sleep(100);
    const anchorChromium = await chromiumOf(sseDebug);
    const anchor = await measure('node-sse-chromium', ssePort, ssePage);
    for (const p of [sse, chromium])
        process.kill(p.pid, 'SIGTERM');

    for (const build of builds)
        await benchBuild(build, work);
    // Start-ups take turns, so that a busy moment of the machine falls on every build alike.
    for (let run = 0; run < STARTS; ++run) {
        for (const build of builds) {
            for (const kind of ['pelorin', 'minimal'])
                build.starts[kind].push(await startOnce(kind, build.binary, build.minimal, work,
                                                        `${build.name}-${run}`));
        }
    }

    console.log(`sender ${SENDER === 'wrk' ? `wrk ${WRK_SECONDS}s, ${WRK_THREADS} thread(s)` : `node, N=${N}`}`
                + ` connections=${CONNECTIONS} paced=${PACED} at ${RATE}/s; anchor: headless ${anchorChromium}`);
    console.log('case                    msgs/s  x sse   p50 ms  p99 ms  delivered');
    const results = [anchor, ...builds.flatMap(b => [b.listener, b.receiver])];
    for (const r of results)
        console.log(`${r.name.padEnd(22)} ${String(r.msgsPerSec).padStart(7)} ${(r.msgsPerSec / anchor.msgsPerSec).toFixed(2).padStart(6)}`
                    + ` ${r.p50ms.toFixed(3).padStart(8)} ${r.p99ms.toFixed(3).padStart(7)}  ${r.delivered}/${r.sent}, ${r.pacedDelivered}/${PACED}`);
    console.log(`targets: PEL_listener >= 1.5x sse, PEL_receive no slower; paced p50 <= 0.5 ms, p99 <= 3 ms`);
    for (const b of builds) {
        const med = (kind, key) => median(b.starts[kind].map(s => s[key]));
        b.startMs = med('pelorin', 'firstMs');
        b.minimalStartMs = med('minimal', 'firstMs');
        b.idleKiB = med('pelorin', 'idleKiB');
        b.minimalIdleKiB = med('minimal', 'idleKiB');
        console.log(`${b.name}: answered requests (Prefer: return=representation) at ${ANSWER_RATE}/s: ${b.answers.answered}/${ANSWERED},`
                    + ` p50 ${b.answers.p50ms} ms (<= 1), p99 ${b.answers.p99ms} ms (<= 5)`);
        console.log(`${b.name}: events from pelorin.send to a GET /events subscriber: ${b.events.perSec}/s (${b.events.events} events)`);
        console.log(`${b.name}: start-up to the first message, median of ${STARTS}: pelorin ${b.startMs.toFixed(0)} ms,`
                    + ` bare QWebEngineView ${b.minimalStartMs.toFixed(0)} ms`
                    + ` (x ${(b.startMs / b.minimalStartMs).toFixed(2)}, target <= 1.10)`);
        console.log(`${b.name}: resident memory with web-engine processes, idle: pelorin ${b.idleKiB} KiB,`
                    + ` bare QWebEngineView ${b.minimalIdleKiB} KiB; pelorin after the flood's`
                    + ` ${b.listener.delivered} messages ${b.afterFloodKiB} KiB`);
    }
    if (builds.length > 1)
        printSideBySide(builds, anchor);
    stopAll();
}

// The builds in columns, one figure a row.
function printSideBySide(builds, anchor) {
    const rows = [
        ['web engine', b => b.chromium.split(' ')[0]],
        ['Chromium', b => b.chromium.split(' ').slice(1).join(' ') || '?'],
        ['PEL_listener msgs/s (x sse)', b => `${b.listener.msgsPerSec} (${(b.listener.msgsPerSec / anchor.msgsPerSec).toFixed(2)})`],
        ['PEL_listener p50 / p99 ms', b => `${b.listener.p50ms.toFixed(3)} / ${b.listener.p99ms.toFixed(3)}`],
        ['PEL_receive msgs/s (x sse)', b => `${b.receiver.msgsPerSec} (${(b.receiver.msgsPerSec / anchor.msgsPerSec).toFixed(2)})`],
        ['PEL_receive p50 / p99 ms', b => `${b.receiver.p50ms.toFixed(3)} / ${b.receiver.p99ms.toFixed(3)}`],
        ['answered p50 / p99 ms', b => `${b.answers.p50ms.toFixed(3)} / ${b.answers.p99ms.toFixed(3)}`],
        ['events/s', b => String(b.events.perSec)],
        [`start-up ms, median of ${STARTS}`, b => b.startMs.toFixed(0)],
        ['  bare QWebEngineView ms', b => b.minimalStartMs.toFixed(0)],
        ['idle memory KiB', b => String(b.idleKiB)],
        ['  bare QWebEngineView KiB', b => String(b.minimalIdleKiB)],
        ['memory after the flood KiB', b => String(b.afterFloodKiB)],
    ];
    const width = Math.max(...builds.flatMap(b => [b.name, ...rows.map(([, value]) => value(b))])
                                     .map(text => text.length)) + 2;
    console.log(`\n${''.padEnd(30)}${builds.map(b => b.name.padStart(width)).join('')}`);
    for (const [label, value] of rows)
        console.log(`${label.padEnd(30)}${builds.map(b => value(b).padStart(width)).join('')}`);
}

main().then(() => process.exit(0), e => { console.error(e); process.exit(1); });
