#!/usr/bin/env python3
"""Sends one JSON message to Pelorin with the Python standard library and prints the reply.

Usage: post.py [port]     (port: $PELORIN_PORT, else 9977; PELORIN_TOKEN when CONNECT/TOKEN
                           is set)
"""
import json
import os
import sys
import urllib.request

port = int(sys.argv[1] if len(sys.argv) > 1 else os.environ.get("PELORIN_PORT") or 9977)
headers = {"Content-Type": "application/json"}
if os.environ.get("PELORIN_TOKEN"):
    headers["Authorization"] = "Bearer " + os.environ["PELORIN_TOKEN"]
message = {"source": "python", "text": "hello from Python", "version": sys.version.split()[0]}
request = urllib.request.Request(
    "http://127.0.0.1:%d/" % port,
    data=json.dumps(message).encode("utf-8"),
    headers=headers,
    method="POST",
)
with urllib.request.urlopen(request, timeout=5) as reply:
    sys.stdout.buffer.write(reply.read())
