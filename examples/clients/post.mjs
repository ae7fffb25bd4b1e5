// Sends one JSON message to Pelorin with the fetch of Node.js 18 or later and prints the reply.
// Usage: node post.mjs [port]     (port 9977 by default)
const port = Number(process.argv[2] ?? 9977);
const message = { source: "node", text: "hello from Node.js", version: process.version };

const reply = await fetch(`http://127.0.0.1:${port}/`, {
  method: "POST",
  headers: { "Content-Type": "application/json" },
  body: JSON.stringify(message),
});
if (!reply.ok) {
  console.error(`Pelorin answered ${reply.status}`);
  process.exit(1);
}
process.stdout.write(await reply.text());
