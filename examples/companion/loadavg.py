#!/usr/bin/env python3
"""Posts the machine's load average to Pelorin once a second.

Start it with Pelorin by naming it in config.ini beside the pelorin executable:

    [CONNECT]
    CRYPTO=python3 /path/to/examples/companion/loadavg.py 9977

Every second it POSTs {"load1": 0.42, "load5": 0.37, "load15": 0.31, "running": 1,
"tasks": 412} to http://127.0.0.1:PORT/. Pelorin ends it when it closes; should Pelorin go
away some other way, the script stops by itself after a few POSTs in a row have failed.
The port defaults to $PELORIN_PORT, else 9977; set PELORIN_TOKEN when CONNECT/TOKEN is set.
Only the Python standard library is used.
"""

import argparse
import json
import os
import sys
import time
import urllib.error
import urllib.request


def reading(path="/proc/loadavg"):
    """The load averages over 1, 5 and 15 minutes and the running/total task counts."""
    with open(path, encoding="ascii") as source:
        fields = source.read().split()
    running, tasks = fields[3].split("/")
    return {
        "load1": float(fields[0]),
        "load5": float(fields[1]),
        "load15": float(fields[2]),
        "running": int(running),
        "tasks": int(tasks),
    }


HEADERS = {"Content-Type": "application/json", "User-Agent": "pelorin-loadavg/1.0"}
# Pelorin's CONNECT/TOKEN, when it has one.
if os.environ.get("PELORIN_TOKEN"):
    HEADERS["Authorization"] = "Bearer " + os.environ["PELORIN_TOKEN"]


def post(url, data, timeout):
    request = urllib.request.Request(
        url,
        data=json.dumps(data, separators=(",", ":")).encode("utf-8"),
        headers=dict(HEADERS),
        method="POST",
    )
    with urllib.request.urlopen(request, timeout=timeout) as reply:
        reply.read()


def main():
    parser = argparse.ArgumentParser(description="Post the load average to Pelorin.")
    parser.add_argument("port", nargs="?", type=int,
                        default=int(os.environ.get("PELORIN_PORT") or 9977),
                        help="Pelorin's port (CONNECT/PORT): $PELORIN_PORT, else 9977")
    parser.add_argument("--host", default="127.0.0.1", help="Pelorin's address")
    parser.add_argument("--interval", type=float, default=1.0,
                        help="seconds between two readings (1 by default)")
    parser.add_argument("--max-failures", type=int, default=5,
                        help="stop after this many failed POSTs in a row (5 by default)")
    args = parser.parse_args()

    url = "http://%s:%d/" % (args.host, args.port)
    failures = 0
    while True:
        started = time.monotonic()
        try:
            post(url, reading(), timeout=max(args.interval, 1.0))
            failures = 0
        except (OSError, urllib.error.URLError) as error:
            failures += 1
            if failures >= args.max_failures:
                print("loadavg: %d POSTs to %s failed in a row (%s), stopping"
                      % (failures, url, error), file=sys.stderr)
                return 1
        time.sleep(max(0.0, args.interval - (time.monotonic() - started)))


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(0)
