// What the Node.js benchmark drivers share: the processes they start, ended by PID when the
// driver exits (or is interrupted), a free loopback port, and a JSON GET with a timeout.
'use strict';
const http = require('http');
const net = require('net');

const children = [];
function stopAll() {
    for (const c of children)
        if (c.exitCode === null && c.signalCode === null)
            try { process.kill(c.pid, 'SIGTERM'); } catch (e) { }
}
process.on('exit', stopAll);
process.on('SIGINT', () => process.exit(130));

function freePort() {
    return new Promise(resolve => {
        const s = net.createServer().listen(0, '127.0.0.1', () => {
            const port = s.address().port;
            s.close(() => resolve(port));
        });
    });
}

function getJson(url) {
    return new Promise((resolve, reject) => {
        const req = http.get(url, res => {
            let text = '';
            res.on('data', c => text += c);
            res.on('end', () => { try { resolve(JSON.parse(text)); } catch (e) { reject(e); } });
        });
        req.on('error', reject);
        req.setTimeout(5000, () => req.destroy(new Error('timeout')));
    });
}

const sleep = ms => new Promise(r => setTimeout(r, ms));

module.exports = {children, stopAll, freePort, getJson, sleep};
