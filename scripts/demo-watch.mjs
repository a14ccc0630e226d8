// Talks to the demo's CouchDB-compatible server.
//   node demo-watch.mjs reset URL DB...          drop and create the databases
//   node demo-watch.mjs watch URL SECONDS DB=N... print a line per batch that arrives (on
//                                                 stderr) until every DB holds N documents,
//                                                 then "published: COUNT" on stdout
const [command, url, ...rest] = process.argv.slice(2);

async function request(method, path) {
    const response = await fetch(`${url}/${path}`, { method });
    return { status: response.status, body: await response.json() };
}

async function reset(databases) {
    for (const db of databases) {
        await request('DELETE', encodeURIComponent(db));
        const created = await request('PUT', encodeURIComponent(db));
        if (created.status !== 201) throw new Error(`cannot create ${db}: ${created.status}`);
    }
}

async function documentCount(db) {
    const { status, body } = await request('GET', encodeURIComponent(db));
    return status === 200 ? body.doc_count : 0;
}

async function watch(seconds, targets) {
    const expected = Object.fromEntries(targets.map((t) => t.split('=')).map(([db, n]) => [db, +n]));
    const seen = Object.fromEntries(Object.keys(expected).map((db) => [db, 0]));
    const total = Object.values(expected).reduce((a, b) => a + b, 0);
    const deadline = Date.now() + seconds * 1000;
    let published = 0;
    while (published < total && Date.now() < deadline) {
        for (const db of Object.keys(expected)) {
            const count = await documentCount(db);
            if (count === seen[db]) continue;
            published += count - seen[db];
            console.error(`  published ${String(count - seen[db]).padStart(3)} to ${db.padEnd(12)} ` +
                          `(${count}/${expected[db]} there, ${published}/${total} in all)`);
            seen[db] = count;
        }
        await new Promise((resolve) => setTimeout(resolve, 200));
    }
    console.log(`published: ${published}`);
}

if (command === 'reset') await reset(rest);
else if (command === 'watch') await watch(+rest[0], rest.slice(1));
else {
    console.error('usage: demo-watch.mjs reset URL DB... | watch URL SECONDS DB=N...');
    process.exit(2);
}
