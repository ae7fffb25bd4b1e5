#!/usr/bin/env python3
"""Connects its Pelorin to an MQTT broker, so that many Pelorin windows show one feed.

Start it as Pelorin's companion, in config.ini beside the pelorin executable:

    [CONNECT]
    CRYPTO=python3 /path/to/examples/fleet/companion.py 9977 --broker 192.168.1.10 --name hall

Every message published on the topic filter (pelorin/display/# by default) is POSTed to
Pelorin with its topic in an X-Topic header, the display's name in X-Display and the payload
as the body. Every event of the page (pelorin.send) is published on pelorin/events/<name>.
Debian's mosquitto_sub and mosquitto_pub (package mosquitto-clients) speak MQTT; each is
started again, after a growing delay, whenever it exits. The events are read from Pelorin's
GET /events, and a dropped stream is resumed with Last-Event-ID, so no event that Pelorin
still keeps is lost. The companion stops on SIGTERM or SIGINT, and by itself when Pelorin
has not answered for --give-up seconds. Only the Python standard library is used.
"""

import argparse
import collections
import http.client
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

MAX_PAYLOAD = 1024 * 1024     # bytes of one broker message; longer ones are skipped
MAX_EVENT_LINE = 1024 * 1024  # bytes of one line of Pelorin's event stream (events are less)
CONNACK = re.compile(rb"Client \S+ received CONNACK \((\d+)\)$")
STREAM_TIMEOUT = 45           # seconds; Pelorin sends a comment line every 15 s


def log(text):
    print("fleet: " + text, file=sys.stderr, flush=True)


def read_line(stream, limit):
    """The next line without its line end; None at the end of the stream. A line longer
    than limit bytes is read to its end and skipped: the result is then False."""
    line = stream.readline(limit + 1)
    if line.endswith(b"\n"):
        return line.rstrip(b"\r\n")
    if len(line) <= limit:
        return None
    while line and not line.endswith(b"\n"):
        line = stream.readline(limit)
    return False if line else None


class Backoff:
    """The wait before the next attempt: 0.5 s, twice as long after each failure, at most
    15 s; an attempt that lasted a minute counts as a success."""

    def __init__(self):
        self.delay = 0.5

    def wait(self, stop, lasted):
        if lasted >= 60:
            self.delay = 0.5
        stop.wait(self.delay)
        self.delay = min(self.delay * 2, 15.0)


class Children:
    """The mosquitto_sub and mosquitto_pub processes, ended together on stop. They stay in
    the companion's process group, which Pelorin ends when it ends."""

    def __init__(self, stop, environment):
        self.stop = stop
        self.environment = environment
        self.lock = threading.Lock()
        self.running = []

    def spawn(self, command, **pipes):
        """The started process, or None once stopping has begun or when it cannot start."""
        with self.lock:
            if self.stop.is_set():
                return None
            self.running = [p for p in self.running if p.poll() is None]
            try:
                process = subprocess.Popen(command, env=self.environment, **pipes)
            except OSError as error:
                log("cannot start %s: %s" % (command[0], error))
                return None
            self.running.append(process)
            return process

    def end_all(self):
        with self.lock:
            for process in self.running:
                process.terminate()
            deadline = time.monotonic() + 2
            for process in self.running:
                try:
                    process.wait(max(0.0, deadline - time.monotonic()))
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()


class Pelorin:
    """Requests to the companion's own Pelorin, and when it last answered."""

    def __init__(self, options):
        self.port = options.port
        self.headers = {"X-Display": options.name.encode("utf-8")}
        if options.token:
            self.headers["Authorization"] = "Bearer " + options.token
        self.connection = None
        self.last_contact = time.monotonic()

    def touch(self):
        self.last_contact = time.monotonic()

    def connect(self):
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=STREAM_TIMEOUT)

    def post(self, path, body, headers):
        """POSTs over one kept-alive connection, opened again once if it has dropped."""
        for _ in range(2):
            try:
                if self.connection is None:
                    self.connection = self.connect()
                self.connection.request("POST", path, body, dict(self.headers, **headers))
                reply = self.connection.getresponse()
                reply.read()
                self.touch()
                return reply.status == 200
            except (OSError, http.client.HTTPException):
                self.connection.close()
                self.connection = None
        return False


def broker_command(program, options):
    command = [program, "-h", options.broker]
    if options.broker_port:
        command += ["-p", str(options.broker_port)]
    if options.cafile:
        command += ["--cafile", options.cafile]
    return command


def parse_message(line):
    """(topic, payload) of a line of mosquitto_sub -F '%t %x', or None for one that is not
    such a line or whose topic could not go into a header."""
    topic, _, payload = line.rpartition(b" ")
    if not topic or re.search(rb"[\x00-\x1f\x7f]", topic):
        return None
    try:
        return topic, bytes.fromhex(payload.decode("ascii"))
    except ValueError:
        return None


def from_broker(options, stop, children, pelorin):
    """Hands every broker message to Pelorin, in the order of arrival."""
    hello = {"display": options.name, "topic": " ".join(options.topic), "events": options.events_topic,
             "broker": options.broker}
    if not pelorin.post("/hello", json.dumps(hello).encode("utf-8"),
                        {"Content-Type": "application/json"}):
        log("Pelorin did not take the hello")
    # Messages are read as hex, two bytes a payload byte, so that any payload fits on a line,
    # after "M " to tell them from the debug lines that say when the broker connects.
    # stdbuf: those debug lines are not flushed by themselves, unlike the messages.
    command = ["stdbuf", "-oL"] + broker_command("mosquitto_sub", options) + [
        "-d", "-q", "1", "-F", "M %t %x"]
    broker = "%s:%s" % (options.broker, options.broker_port or "default port")
    connected = False
    for topic in options.topic:
        command += ["-t", topic]
    backoff = Backoff()
    while not stop.is_set():
        started = time.monotonic()
        sub = children.spawn(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        while sub:
            line = read_line(sub.stdout, 2 * MAX_PAYLOAD + 4096)
            if line is None:
                status = sub.wait()
                if not stop.is_set():
                    log("mosquitto_sub ended with status %s%s"
                        % (status, "; lost the broker at " + broker if connected else ""))
                connected = False
                break
            if not line.startswith(b"M "):
                acknowledged = CONNACK.match(line)
                if acknowledged and acknowledged.group(1) == b"0":
                    log("connected to the broker at %s" % broker)
                    connected = True
                elif acknowledged:
                    log("the broker at %s refused us (CONNACK %s)"
                        % (broker, acknowledged.group(1).decode()))
                elif connected and re.match(rb"Client \S+ sending CONNECT$", line):
                    log("lost the broker at %s; connecting again" % broker)
                    connected = False
                continue
            message = parse_message(line[2:])
            if message is None:
                log("skipped a broker message: too long, or a topic that is not printable")
            elif not pelorin.post("/", message[1], {"X-Topic": message[0],
                                                   "Content-Type": "text/plain; charset=utf-8"}):
                log("Pelorin did not take the message on %r" % message[0])
        backoff.wait(stop, time.monotonic() - started)


class Publisher:
    """One long-lived mosquitto_pub -l, fed one event a line. mosquitto_pub reads its input
    only once it is connected and keeps what it has read across reconnections; while the
    broker is away the pipe fills and publish() waits, and Pelorin keeps the events meanwhile.
    A process that ends within CONNECT_GRACE of its start (a broker that cannot be reached or
    refuses us) most likely published nothing, so the next one is given its events again (at
    most 1000): an event may come twice, but is not lost."""

    CONNECT_GRACE = 150  # seconds; longer than a TCP connection attempt takes to fail

    def __init__(self, options, stop, children):
        self.command = broker_command("mosquitto_pub", options) + [
            "-l", "-q", "1", "-t", options.events_topic]
        self.stop = stop
        self.children = children
        self.process = None
        self.started = 0.0
        self.young = collections.deque(maxlen=1000)  # given to a process still in its grace
        self.backoff = Backoff()

    def publish(self, event):
        if time.monotonic() - self.started >= self.CONNECT_GRACE:
            self.young.clear()
        self.young.append(event)
        lines = [event]
        while not self.stop.is_set():
            if self.process is None or self.process.poll() is not None:
                if self.process is not None:
                    log("mosquitto_pub ended with status %s" % self.process.returncode)
                if self.started:
                    self.backoff.wait(self.stop, time.monotonic() - self.started)
                self.started = time.monotonic()
                self.process = self.children.spawn(self.command, stdin=subprocess.PIPE)
                lines = list(self.young)
                continue
            try:
                self.process.stdin.write(b"".join(line + b"\n" for line in lines))
                self.process.stdin.flush()
                return
            except OSError:
                self.process.wait()


def to_broker(options, stop, children, pelorin):
    """Publishes the page's events, resuming after the last one published."""
    publisher = Publisher(options, stop, children)
    # 0 asks for every event Pelorin keeps: those from before we connected are not lost.
    last_id = 0
    backoff = Backoff()
    while not stop.is_set():
        started = time.monotonic()
        connection = pelorin.connect()
        try:
            connection.request("GET", "/events", headers=dict(
                pelorin.headers, Accept="text/event-stream", **{"Last-Event-ID": str(last_id)}))
            stream = connection.getresponse()
            if stream.status != 200:
                raise http.client.HTTPException("GET /events answered %d" % stream.status)
            event_id, data = None, None
            while not stop.is_set():
                line = read_line(stream, MAX_EVENT_LINE)
                if line is None:
                    raise http.client.HTTPException("the event stream ended")
                pelorin.touch()
                if line is False:
                    log("skipped an event longer than %d bytes" % MAX_EVENT_LINE)
                elif line.startswith(b"id:"):
                    event_id = int(line[3:])
                elif line.startswith(b"data:"):
                    data = line[6:] if line.startswith(b"data: ") else line[5:]
                elif not line:
                    if data:
                        publisher.publish(data)
                    if event_id is not None:
                        last_id = event_id
                    event_id, data = None, None
        except (OSError, ValueError, http.client.HTTPException) as error:
            if not stop.is_set():
                log("events: %s; resuming after event %d" % (error, last_id))
        finally:
            connection.close()
        backoff.wait(stop, time.monotonic() - started)


def credentials_directory(options):
    """A private XDG_CONFIG_HOME whose mosquitto_sub and mosquitto_pub option files hold the
    user name and password, so that the password never shows in a command line; None when
    there are none."""
    password = os.environ.get("PELORIN_MQTT_PASSWORD", "")
    if options.password_file:
        with open(options.password_file, encoding="utf-8") as source:
            password = source.readline().rstrip("\r\n")
    if not options.username:
        return None
    directory = tempfile.mkdtemp(prefix="pelorin-fleet-")
    for program in ("mosquitto_sub", "mosquitto_pub"):
        descriptor = os.open(os.path.join(directory, program),
                             os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(descriptor, "w", encoding="utf-8") as options_file:
            options_file.write("-u %s\n" % options.username)
            if password:
                options_file.write("-P %s\n" % password)
    return directory


def parse_options():
    parser = argparse.ArgumentParser(description="Connect Pelorin to an MQTT broker.")
    parser.add_argument("port", nargs="?", type=int,
                        default=int(os.environ.get("PELORIN_PORT") or 9977),
                        help="Pelorin's port (CONNECT/PORT): $PELORIN_PORT, else 9977")
    parser.add_argument("--broker", default="localhost", help="the broker's host name or address")
    parser.add_argument("--broker-port", type=int,
                        help="the broker's port (1883, or 8883 with --cafile)")
    parser.add_argument("--name", default=socket.gethostname(),
                        help="this display's name (the host name by default)")
    parser.add_argument("--topic", action="append",
                        help="a topic filter whose messages this display shows (may be "
                             "repeated; pelorin/display/# by default)")
    parser.add_argument("--events", default="pelorin/events",
                        help="the page's events go to EVENTS/<name>")
    parser.add_argument("--username", help="user name at the broker")
    parser.add_argument("--password-file",
                        help="file whose first line is the broker password (or set "
                             "PELORIN_MQTT_PASSWORD)")
    parser.add_argument("--cafile", help="CA certificates: talk TLS to the broker")
    parser.add_argument("--token-file",
                        help="file whose first line is Pelorin's CONNECT/TOKEN "
                             "(else $PELORIN_TOKEN)")
    parser.add_argument("--give-up", type=float, default=60,
                        help="stop when Pelorin has not answered for this many seconds")
    options = parser.parse_args()
    if not re.fullmatch(r"[^/+#\x00-\x1f\x7f]{1,64}", options.name):
        parser.error("--name: 1 to 64 printable characters, without / + #")
    # Both go into the clients' option files line by line: a line break would add options.
    if re.search(r"[\x00-\x1f\x7f]", (options.username or "") + os.environ.get(
            "PELORIN_MQTT_PASSWORD", "")):
        parser.error("--username, PELORIN_MQTT_PASSWORD: control characters are not allowed")
    options.topic = options.topic or ["pelorin/display/#"]
    options.events_topic = options.events.rstrip("/") + "/" + options.name
    options.token = os.environ.get("PELORIN_TOKEN") or None
    if options.token_file:
        with open(options.token_file, encoding="utf-8") as source:
            options.token = source.readline().strip()
    return options


def main():
    options = parse_options()
    stop = threading.Event()
    gave_up = []
    for number in (signal.SIGTERM, signal.SIGINT):
        signal.signal(number, lambda *_: stop.set())
    directory = credentials_directory(options)
    environment = dict(os.environ, XDG_CONFIG_HOME=directory) if directory else None
    children = Children(stop, environment)
    pelorin = Pelorin(options)
    for work in (from_broker, to_broker):
        threading.Thread(target=work, args=(options, stop, children, pelorin),
                         daemon=True).start()
    while not stop.wait(1):
        if time.monotonic() - pelorin.last_contact > options.give_up:
            log("Pelorin on port %d has not answered for %g s, stopping"
                % (options.port, options.give_up))
            gave_up.append(True)
            stop.set()
    children.end_all()
    if directory:
        shutil.rmtree(directory, ignore_errors=True)
    return 1 if gave_up else 0


if __name__ == "__main__":
    sys.exit(main())
