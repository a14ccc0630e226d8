#!/usr/bin/env node
// Terminates TLS on a free port of 127.0.0.1 and passes the bytes on, unchanged, to a plain
// HTTP server: for the tests that reach the CouchDB-compatible server through https://.
//
//   node scripts/tls-proxy.mjs KEY CERT TARGET_URL
//
// KEY and CERT are PEM files. Prints "https://127.0.0.1:<port>" once it listens, and runs
// until its standard input ends or it is stopped.
import { readFileSync } from 'node:fs';
import net from 'node:net';
import tls from 'node:tls';

const [keyFile, certFile, target] = process.argv.slice(2);
if (!target) {
    console.error('usage: tls-proxy.mjs KEY CERT TARGET_URL');
    process.exit(2);
}
const upstream = new URL(target);

const server = tls.createServer(
    { key: readFileSync(keyFile), cert: readFileSync(certFile) },
    (client) => {
        const backend = net.connect(Number(upstream.port || 80), upstream.hostname);
        const close = () => {
            client.destroy();
            backend.destroy();
        };
        client.on('error', close);
        backend.on('error', close);
        client.pipe(backend).pipe(client);
    },
);
// A client that refuses the certificate ends the handshake; that is not the proxy's failure.
server.on('tlsClientError', () => {});
server.listen(0, '127.0.0.1', () => {
    console.log(`https://127.0.0.1:${server.address().port}`);
});
process.stdin.on('end', () => process.exit(0));
process.stdin.resume();
