#!/usr/bin/env python3
"""Pelorin under pressure, as an attacker and a careless program would press it.

Memory figures, not tests: each scenario runs the built Pelorin under Xvfb in an app directory
of its own, with a page that takes whole requests (PEL_receive), and prints Pelorin's peak and
final resident memory (VmRSS of its own process; "all" adds its web engine processes), what the
local program got and what reached the page, beside the targets.

  bench/memory/pressure.py [--build DIR] [SCENARIO ...]     (all when none is named)

Scenarios:
  flood        headless Chromium runs three loops of no-cors 16 MiB POSTs for DURATION
               seconds (40) while a local program POSTs 100 small messages and GETs
  control      one POST of 16 MiB of 0x01 bytes; GUI-thread CPU time and GETs meanwhile
  waiters      2,100 connections wait for an answer that never comes; then a plain GET
  subscribers  1,000 kept events of 200 KB, 1,500 subscribers that never read, one that does
  sendloop     the page calls pelorin.send 2,000,000 times in one synchronous loop
"""

import http.client
import json
import os
import resource
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

PAGE = r"""<!DOCTYPE html><title>pressure</title><script>
// Counts the requests it is handed by the first part of their path; answers /count with the
// counts, never answers /hold, and runs the page's own share of a scenario on request.
var seen = {};
function publish(count, size) {
  var text = 'x'.repeat(size), sent = 0;
  return new Promise(function (done) {
    (function more() {
      try {
        for (; sent < count; ++sent) pelorin.send({n: sent, text: text});
        done({sent: sent});
      } catch (e) {
        if (!(e instanceof RangeError)) throw e;
        setTimeout(more, 10);
      }
    })();
  });
}
function sendLoop(count) {
  var sent = 0, refused = 0;
  for (var i = 0; i < count; ++i) {
    try { pelorin.send({i: i}); ++sent; } catch (e) { ++refused; }
  }
  return {sent: sent, refused: refused};
}
function PEL_receive(r) {
  var kind = r.path.split('/')[1];
  var arg = Number(r.query) || 0;
  if (kind === 'count') return seen;
  if (kind === 'hold') return new Promise(function () {});
  seen[kind] = (seen[kind] || 0) + 1;
  if (kind === 'publish') return publish(arg, 200 * 1000);
  if (kind === 'sendloop') return sendLoop(arg);
}
</script>"""

FLOOD = r"""<!DOCTYPE html><script>
var body = new Uint8Array(16 << 20).fill(1);
async function loop() {
  for (;;) {
    try { await fetch('http://127.0.0.1:%d/flood', {method: 'POST', mode: 'no-cors', body: body}); }
    catch (e) { await new Promise(function (r) { setTimeout(r, 100); }); }
  }
}
loop(); loop(); loop();
</script>"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def rss_kb(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def descendants(pid):
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    ppid = int(f.read().rsplit(")", 1)[1].split()[1])
                children.setdefault(ppid, []).append(int(entry))
            except (OSError, ValueError, IndexError):
                pass
    found, todo = [], [pid]
    while todo:
        found.append(todo.pop())
        todo.extend(children.get(found[-1], []))
    return found


def mb(kb):
    return "%d MB" % (kb // 1024)


class Sampler(threading.Thread):
    """Samples Pelorin's VmRSS (and its process tree's) every 50 ms, keeping the peaks."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid, self.peak, self.peak_all, self.running = pid, 0, 0, True
        self.start()

    def run(self):
        n = 0
        while self.running:
            self.peak = max(self.peak, rss_kb(self.pid))
            if n % 20 == 0:  # walking /proc costs more
                self.peak_all = max(self.peak_all, sum(map(rss_kb, descendants(self.pid))))
            n += 1
            time.sleep(0.05)

    def stop(self):
        self.running = False
        self.join()


RUNNING = []


class Pelorin:
    def __init__(self, build):
        RUNNING.append(self)
        self.dir = tempfile.mkdtemp(prefix="pelorin-pressure.")
        self.port = free_port()
        shutil.copy(os.path.join(build, "bin", "pelorin"), self.dir)
        with open(os.path.join(self.dir, "page.html"), "w") as f:
            f.write(PAGE)
        with open(os.path.join(self.dir, "config.ini"), "w") as f:
            f.write("[CONNECT]\nHOST=127.0.0.1\nPORT=%d\nURL=%s/page.html\n[UIUX]\nTITLE=pressure\n"
                    "BASESIZE_H=400\nBASESIZE_W=300\n" % (self.port, self.dir))
        env = dict(os.environ)
        if os.getuid() == 0:
            env["QTWEBENGINE_DISABLE_SANDBOX"] = "1"
        self.log = open(os.path.join(self.dir, "log"), "wb")
        # the shell writes its PID and becomes Pelorin
        self.runner = subprocess.Popen(
            ["xvfb-run", "-a", "-s", "-screen 0 1024x768x24", "sh", "-c",
             'echo $$ >"$1/pid"; cd "$1" && exec ./pelorin', "sh", self.dir],
            stdout=self.log, stderr=subprocess.STDOUT, env=env, start_new_session=True)
        deadline = time.time() + 60
        while time.time() < deadline:
            try:
                if self.ask("/count", timeout=5) is not None:
                    break
            except OSError:
                pass
            time.sleep(0.2)
        else:
            raise SystemExit("Pelorin did not come up; its log: " + self.dir + "/log")
        with open(os.path.join(self.dir, "pid")) as f:
            self.pid = int(f.read())
        time.sleep(2)  # let the web engine settle

    def rss(self):
        return rss_kb(self.pid)

    def rss_all(self):
        return sum(map(rss_kb, descendants(self.pid)))

    def gui_cpu(self):
        """CPU seconds of the GUI thread, the one whose id is the process's."""
        with open("/proc/%d/task/%d/stat" % (self.pid, self.pid)) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def request(self, method, path, body=None, headers=None, timeout=30):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            conn.request(method, path, body, headers or {})
            reply = conn.getresponse()
            return reply.status, reply.read()
        finally:
            conn.close()

    def ask(self, path, timeout=30, wait=None):
        prefer = "return=representation" + (", wait=%d" % wait if wait else "")
        status, body = self.request("GET", path, headers={"Prefer": prefer}, timeout=timeout)
        return json.loads(body) if status == 200 else None

    def counts(self, timeout=60):
        """The page's counts, asked until there is room to ask."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            try:
                counts = self.ask("/count", timeout=10)
                if counts is not None:
                    return counts
            except OSError:
                pass
            time.sleep(0.5)
        return {}

    def get_ms(self, timeout=60):
        start = time.time()
        try:
            status, _ = self.request("GET", "/", timeout=timeout)
        except OSError:
            status = "none"
        return (time.time() - start) * 1000, status

    def close(self):
        if self not in RUNNING:
            return
        RUNNING.remove(self)
        died = self.rss() == 0
        try:
            os.kill(self.pid, signal.SIGTERM)
        except (OSError, AttributeError):
            pass
        try:
            self.runner.wait(20)
        except subprocess.TimeoutExpired:
            os.killpg(self.runner.pid, signal.SIGKILL)
            self.runner.wait(10)
        self.log.close()
        lines = open(os.path.join(self.dir, "log"), errors="replace").readlines()
        if died:
            print("  Pelorin had ended; its log ends:")
        else:
            lines = [l for l in lines if "pelorin." in l][:5]
        for line in lines[-12:]:
            print("    log: " + line.rstrip()[:150])
        shutil.rmtree(self.dir, ignore_errors=True)


def latencies(pelorin, stop, every=0.25):
    """Plain GETs one after the other until stop is set; their times in ms."""
    times = []

    def run():
        while not stop.is_set():
            times.append(pelorin.get_ms()[0])
            time.sleep(every)

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return times, thread


def report(name, before, sampler, pelorin, lines, targets):
    sampler.stop()
    print("%s:" % name)
    print("  VmRSS before %s, peak %s (+%s), final %s (+%s); all processes peak %s"
          % (mb(before), mb(sampler.peak), mb(sampler.peak - before), mb(pelorin.rss()),
             mb(pelorin.rss() - before), mb(sampler.peak_all)))
    for line in lines:
        print("  " + line)
    print("  targets: " + targets)


def tcp_memory_pages():
    """Pages the kernel holds for TCP sockets, all of them (each subscriber's unsent events)."""
    with open("/proc/net/sockstat") as f:
        for line in f:
            if line.startswith("TCP:"):
                fields = line.split()
                return int(fields[fields.index("mem") + 1])
    return 0


def median(values):
    return "%.0f ms" % statistics.median(values) if values else "n/a"


def flood(build):
    duration = int(os.environ.get("DURATION", "40"))
    pelorin = Pelorin(build)
    site = tempfile.mkdtemp(prefix="pelorin-flood.")
    with open(os.path.join(site, "flood.html"), "w") as f:
        f.write(FLOOD % pelorin.port)
    site_port = free_port()
    server = subprocess.Popen([sys.executable, "-m", "http.server", "-b", "127.0.0.1",
                               str(site_port)], cwd=site, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    before, sampler = pelorin.rss(), Sampler(pelorin.pid)
    browser = subprocess.Popen(
        ["chromium", "--headless", "--no-sandbox", "--disable-gpu",
         "--user-data-dir=" + os.path.join(site, "profile"),
         "--host-resolver-rules=MAP rebind.test 127.0.0.1",
         "http://rebind.test:%d/flood.html" % site_port],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    stop = threading.Event()
    gets, getter = latencies(pelorin, stop)
    statuses = {}
    for i in range(100):
        try:
            status, _ = pelorin.request("POST", "/local/%d" % i, b"message %d" % i, timeout=60)
        except OSError:
            status = "none"
        statuses[status] = statuses.get(status, 0) + 1
        time.sleep(duration / 100)
    stop.set()
    getter.join()
    os.killpg(browser.pid, signal.SIGTERM)
    browser.wait(20)
    server.terminate()
    server.wait(10)
    shutil.rmtree(site, ignore_errors=True)
    counts = pelorin.counts()
    report("browser flood (3 loops of 16 MiB no-cors POSTs, %d s) beside a local program" % duration,
           before, sampler, pelorin,
           ["local program's 100 POSTs: %s" % ", ".join("%s: %d" % kv for kv in sorted(statuses.items(), key=str)),
            "reached the page: %d local (of %d answered 200), %d from the browser"
            % (counts.get("local", 0), statuses.get(200, 0), counts.get("flood", 0)),
            "plain GETs meanwhile: median %s, max %.0f ms (%d)" % (median(gets), max(gets or [0]), len(gets))],
           "every local 200 reached the page; GET median within 100 ms")
    pelorin.close()


def control(build):
    pelorin = Pelorin(build)
    before, cpu, sampler = pelorin.rss(), pelorin.gui_cpu(), Sampler(pelorin.pid)
    stop = threading.Event()
    gets, getter = latencies(pelorin, stop, every=0.05)
    start = time.time()
    status, _ = pelorin.request("POST", "/control", b"\x01" * (16 << 20), timeout=120)
    while pelorin.counts().get("control", 0) < 1 and time.time() - start < 120:
        time.sleep(0.2)
    reached = time.time() - start
    time.sleep(1)
    stop.set()
    getter.join()
    report("one POST of 16 MiB of 0x01 bytes", before, sampler, pelorin,
           ["answered %s; in the page after %.1f s; GUI thread busy %.2f s"
            % (status, reached, pelorin.gui_cpu() - cpu),
            "plain GETs meanwhile: median %s, max %.0f ms" % (median(gets), max(gets or [0]))],
           "RSS +200 MB at most; GUI thread busy 1 s at most")
    pelorin.close()


def waiters(build):
    pelorin = Pelorin(build)
    before, sampler = pelorin.rss(), Sampler(pelorin.pid)
    sockets, refused = [], 0
    for i in range(2100):
        try:
            s = socket.create_connection(("127.0.0.1", pelorin.port), timeout=2)
            s.sendall(b"GET /hold/%d HTTP/1.1\r\nHost: 127.0.0.1\r\nPrefer: "
                      b"return=representation, wait=86400\r\n\r\n" % i)
            sockets.append(s)
        except OSError:
            refused += 1
    time.sleep(2)
    first = [pelorin.get_ms(timeout=200) for _ in range(5)]
    for s in sockets[:20]:
        s.close()
    time.sleep(1)
    after = [pelorin.get_ms(timeout=200) for _ in range(5)]
    answered = {}
    for s in sockets[20:]:
        s.setblocking(False)
        try:
            status = s.recv(1024)[9:12].decode() or "closed"
        except OSError:
            status = "waiting"
        answered[status] = answered.get(status, 0) + 1
        s.close()
    report("2,100 connections waiting for an answer that never comes", before, sampler, pelorin,
           ["connections not taken within 2 s: %d" % refused,
            "plain GETs: median %s, max %.0f ms, statuses %s"
            % (median([t for t, _ in first]), max(t for t, _ in first), [s for _, s in first]),
            "after 20 waiters left: median %s, statuses %s"
            % (median([t for t, _ in after]), [s for _, s in after]),
            "the other waiters by the end: %s" % ", ".join("%s: %d" % kv for kv in sorted(answered.items()))],
           "a plain GET answered within 100 ms")
    pelorin.close()


def subscribers(build):
    pelorin = Pelorin(build)
    before = pelorin.rss()
    published = pelorin.ask("/publish?1000", timeout=620, wait=600)
    time.sleep(1)
    kept = pelorin.rss()
    sampler = Sampler(pelorin.pid)
    silent = []
    for _ in range(1500):
        s = socket.create_connection(("127.0.0.1", pelorin.port), timeout=10)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n"
                  b"Last-Event-ID: 0\r\n\r\n")
        silent.append(s)
    time.sleep(3)
    tcp_pages = tcp_memory_pages()
    start = time.time()
    reader = socket.create_connection(("127.0.0.1", pelorin.port), timeout=60)
    reader.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n"
                   b"Last-Event-ID: 0\r\n\r\n")
    tail, caught_up = b"", None
    while time.time() - start < 60:
        data = reader.recv(1 << 20)
        if not data:
            break
        if b"\nid: 1000\n" in tail + data:
            caught_up = time.time() - start
            break
        tail = (tail + data)[-16:]
    reader.close()
    for s in silent:
        s.close()
    time.sleep(10)
    report("1,500 subscribers that never read, 1,000 kept events of 200 KB", before, sampler,
           pelorin,
           ["events published: %s" % (published or {}).get("sent"),
            "a reading subscriber caught up in %s"
            % ("%.1f s" % caught_up if caught_up is not None else "never (60 s)"),
            "with the events kept, before any subscriber: %s" % mb(kept),
            "the system's memory for all TCP sockets with them: %s" % mb(tcp_pages * 4),
            "10 s after all left: %s above the start, %d descriptors open"
            % (mb(pelorin.rss() - before), len(os.listdir("/proc/%d/fd" % pelorin.pid)))],
           "RSS +500 MB at most; caught up within 2 s; within 50 MB of the start 10 s after")
    pelorin.close()


def sendloop(build):
    pelorin = Pelorin(build)
    before, sampler = pelorin.rss(), Sampler(pelorin.pid)
    result = pelorin.ask("/sendloop?2000000", timeout=620, wait=600)
    time.sleep(5)
    report("pelorin.send 2,000,000 times in one loop", before, sampler, pelorin,
           ["the page: %s" % result], "RSS +100 MB at most")
    pelorin.close()


SCENARIOS = {"flood": flood, "control": control, "waiters": waiters,
             "subscribers": subscribers, "sendloop": sendloop}


def main():
    args = sys.argv[1:]
    build = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build")
    if args[:1] == ["--build"]:
        build, args = args[1], args[2:]
    if not os.access(os.path.join(build, "bin", "pelorin"), os.X_OK):
        raise SystemExit("no %s/bin/pelorin: build it first" % build)
    unknown = [a for a in args if a not in SCENARIOS]
    if unknown:
        raise SystemExit(__doc__)
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 8192)), hard))
    try:
        for name in args or SCENARIOS:
            SCENARIOS[name](build)
    finally:
        for pelorin in list(RUNNING):
            pelorin.close()


if __name__ == "__main__":
    main()
