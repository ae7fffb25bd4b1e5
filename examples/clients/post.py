#!/usr/bin/env python3
"""Sends one JSON message to Pelorin with the Python standard library and prints the reply.

Usage: post.py [port]     (port 9977 by default)
"""
import json
import sys
import urllib.request

port = int(sys.argv[1]) if len(sys.argv) > 1 else 9977
message = {"source": "python", "text": "hello from Python", "version": sys.version.split()[0]}
request = urllib.request.Request(
    "http://127.0.0.1:%d/" % port,
    data=json.dumps(message).encode("utf-8"),
    headers={"Content-Type": "application/json"},
    method="POST",
)
with urllib.request.urlopen(request, timeout=5) as reply:
    sys.stdout.buffer.write(reply.read())
