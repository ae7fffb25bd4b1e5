#!/usr/bin/env python3
"""Counts the clicks on the buttons of its page and keeps the page's display current.

The page, examples/buttons/index.html, goes to assets/index.html beside the pelorin
executable; the program starts with Pelorin when config.ini names it:

    [CONNECT]
    CRYPTO=python3 /path/to/examples/buttons/buttons.py 9977

It listens on GET /events, where every pelorin.send({"button": "plus"}) of the page
arrives, changes its count by the button clicked ("plus", "minus" or "reset") and POSTs
the new state to Pelorin, whose page shows it through PEL_receive. A dropped stream is
taken up again with Last-Event-ID, so no click is lost; after a few failed attempts in a
row Pelorin is taken to be gone and the program stops. SIGTERM and Ctrl+C stop it too.
Set PELORIN_TOKEN when CONNECT/TOKEN is set. Only the Python standard library is used.
"""

import argparse
import json
import os
import signal
import sys
import time
import urllib.error
import urllib.request

# The stream sends a comment every 15 s: a longer silence means the connection is dead.
STREAM_TIMEOUT = 40
# Bytes of one event line that are read; Pelorin's events are at most 256 KiB.
MAX_LINE = 1024 * 1024


def request(url, data=None, headers=None):
    headers = dict(headers or {})
    token = os.environ.get("PELORIN_TOKEN")
    if token:
        headers["Authorization"] = "Bearer " + token
    return urllib.request.Request(url, data=data, headers=headers)


def events(stream):
    """Yields (id, value) for every event of an open text/event-stream."""
    event_id, data = None, []
    while True:
        line = stream.readline(MAX_LINE)
        if not line:
            return
        line = line.decode("utf-8", "replace").rstrip("\r\n")
        if line.startswith("id:"):
            event_id = line[3:].strip()
        elif line.startswith("data:"):
            data.append(line[5:].lstrip(" "))
        elif not line and data:
            try:
                yield event_id, json.loads("\n".join(data))
            except ValueError:
                pass  # not ours to understand
            data = []


class Counter:
    def __init__(self, url):
        self.url = url
        self.count = 0
        self.clicks = 0

    def react(self, value):
        """Changes the state for one event; False when the event is none of our buttons."""
        button = value.get("button") if isinstance(value, dict) else None
        if button == "plus":
            self.count += 1
        elif button == "minus":
            self.count -= 1
        elif button == "reset":
            self.count = 0
        else:
            return False
        self.clicks += 1
        return True

    def show(self):
        state = {"count": self.count, "clicks": self.clicks, "time": time.strftime("%H:%M:%S")}
        body = json.dumps(state).encode("utf-8")
        with urllib.request.urlopen(request(self.url, body, {"Content-Type": "application/json"}),
                                    timeout=5) as reply:
            reply.read()


def main():
    parser = argparse.ArgumentParser(description="React to the buttons of a Pelorin page.")
    parser.add_argument("port", nargs="?", type=int,
                        default=int(os.environ.get("PELORIN_PORT") or 9977),
                        help="Pelorin's port (CONNECT/PORT): $PELORIN_PORT, else 9977")
    parser.add_argument("--host", default="127.0.0.1", help="Pelorin's address")
    parser.add_argument("--max-failures", type=int, default=5,
                        help="stop after this many failed connections in a row (5 by default)")
    args = parser.parse_args()

    base = "http://%s:%d" % (args.host, args.port)
    counter = Counter(base + "/")
    last_id = None
    failures = 0
    while True:
        headers = {"Accept": "text/event-stream"}
        if last_id is not None:
            headers["Last-Event-ID"] = last_id
        try:
            with urllib.request.urlopen(request(base + "/events", headers=headers),
                                        timeout=STREAM_TIMEOUT) as stream:
                if not stream.headers.get("Content-Type", "").startswith("text/event-stream"):
                    raise OSError("no event stream at %s/events" % base)
                # Subscribed: whatever is clicked from now on reaches us.
                counter.show()
                failures = 0
                for event_id, value in events(stream):
                    last_id = event_id or last_id
                    if counter.react(value):
                        counter.show()
        except (OSError, urllib.error.URLError) as error:
            failures += 1
            if failures >= args.max_failures:
                print("buttons: %d connections to %s failed in a row (%s), stopping"
                      % (failures, base, error), file=sys.stderr)
                return 1
        # A stream that ended or failed is taken up again, a little later each time.
        time.sleep(min(0.25 * 2 ** failures, 5))


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(0))
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(0)
