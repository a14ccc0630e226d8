#!/usr/bin/env node
// Serves a plain HTTP server under a path prefix on a free port of 127.0.0.1, as a reverse
// proxy in front of a CouchDB often does: "PREFIX/x" goes on as "/x", with the rest of the
// request line as it came (percent-encoding included); anything else gets 404.
//
//   node scripts/prefix-proxy.mjs PREFIX TARGET_URL
//
// Prints "http://127.0.0.1:<port>" once it listens, and runs until its standard input ends or
// it is stopped.
import http from 'node:http';

const [prefix, target] = process.argv.slice(2);
if (!target || !prefix.startsWith('/')) {
    console.error('usage: prefix-proxy.mjs /PREFIX TARGET_URL');
    process.exit(2);
}
const upstream = new URL(target);

const server = http.createServer((request, response) => {
    const rest = request.url.slice(prefix.length);
    if (!request.url.startsWith(prefix) || !(rest === '' || rest.startsWith('/'))) {
        response.writeHead(404, { 'Content-Type': 'application/json' });
        response.end('{"error":"not_found","reason":"outside the prefix"}');
        return;
    }
    const forwarded = http.request(
        {
            host: upstream.hostname,
            port: Number(upstream.port || 80),
            method: request.method,
            path: rest || '/',
            headers: { ...request.headers, host: upstream.host },
        },
        (answer) => {
            response.writeHead(answer.statusCode, answer.headers);
            answer.pipe(response);
        },
    );
    forwarded.on('error', () => {
        response.writeHead(502);
        response.end();
    });
    request.pipe(forwarded);
});
server.listen(0, '127.0.0.1', () => {
    console.log(`http://127.0.0.1:${server.address().port}`);
});
process.stdin.on('end', () => process.exit(0));
process.stdin.resume();
