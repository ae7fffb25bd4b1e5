// The plain Node.js http server a user would write instead: same document, same six headers.
// Usage: node node-server.js <port>
'use strict';
const http = require('http');

const body = Buffer.from('{\n    "status": "OK"\n}\n');
const headers = {
    'Access-Control-Allow-Origin': '*',
    'Content-Length': String(body.length),
    'Cache-Control': 'no-cache, no-store, max-age=0, must-revalidate',
    'Content-Type': 'application/json',
    'Pelorin': '1.0',
    'Server': 'Pelorin v1.0',
};

http.createServer((req, res) => {
    req.on('data', () => {});
    req.on('end', () => {
        res.writeHead(200, headers);
        res.end(body);
    });
}).listen(Number(process.argv[2]), '127.0.0.1');
