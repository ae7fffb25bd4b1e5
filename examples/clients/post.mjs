#!/usr/bin/env node
// Sends one JSON message to Pelorin with the fetch of Node.js 18 or later and prints the reply.
// Usage: node post.mjs [port]     (port: $PELORIN_PORT, else 9977; PELORIN_TOKEN when
//                                 CONNECT/TOKEN is set)
const port = Number(process.argv[2] || process.env.PELORIN_PORT || 9977);
const headers = { "Content-Type": "application/json" };
if (process.env.PELORIN_TOKEN) headers.Authorization = `Bearer ${process.env.PELORIN_TOKEN}`;
const message = { source: "node", text: "hello from Node.js", version: process.version };

const reply = await fetch(`http://127.0.0.1:${port}/`, {
  method: "POST",
  headers,
  body: JSON.stringify(message),
});
if (!reply.ok) {
  console.error(`Pelorin answered ${reply.status}`);
  process.exit(1);
}
process.stdout.write(await reply.text());
