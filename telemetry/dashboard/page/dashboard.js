// The dashboard reads the views of its own design document, beside which it is served: every
// address is relative, so it works behind any proxy and asks nothing of any other server.
'use strict';

const kDayMs = 86400000;
const kDefaultDays = 14;
const kLatestCount = 10;
const kPalette = ['#2f6fbd', '#d9822b', '#3a9c5a', '#b8455a', '#7a5cc2', '#8c6d31', '#2a9ca0',
  '#c25fa3'];

const $ = (id) => document.getElementById(id);

function dayOf(ms) {
  return new Date(ms).toISOString().slice(0, 10);
}

function daysBetween(from, to) {
  const days = [];
  for (let ms = Date.parse(from); ms <= Date.parse(to); ms += kDayMs)
    days.push(dayOf(ms));
  return days;
}

async function view(name, params) {
  const query = Object.entries(params).map(([key, value]) =>
    `${key}=${encodeURIComponent(typeof value === 'string' ? value : JSON.stringify(value))}`);
  const reply = await fetch(`_view/${name}?${query.join('&')}`, { credentials: 'same-origin' });
  if (!reply.ok)
    throw new Error(`${name}: ${reply.status} ${await reply.text()}`);
  return (await reply.json()).rows;
}

// The distinct first members of a view's keys, then each one's rows within the range.
async function keysOf(name) {
  return (await view(name, { group_level: 1 })).map((row) => row.key[0]);
}

async function perDayRows(name, first, range) {
  return view(name, { group: true, startkey: [...first, range.from],
    endkey: [...first, range.to] });
}

function cell(row, text, className) {
  const td = document.createElement(row.parentElement?.tagName === 'THEAD' ? 'th' : 'td');
  td.textContent = text;
  if (className)
    td.className = className;
  row.appendChild(td);
  return td;
}

function fillRows(table, rows) {
  const body = table.tBodies[0];
  body.replaceChildren();
  for (const values of rows) {
    const row = body.insertRow();
    values.forEach((value) => cell(row, String(value), typeof value === 'number' ? 'number' : ''));
  }
}

// Counts step by whole numbers; statistics by whatever suits them.
const kWholeSteps = [1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 1e5, 1e6];

function drawChart(target, days, series, counts) {
  target.replaceChildren();
  if (!series.length)
    return;
  const width = Math.max(320, target.clientWidth || 720);
  const options = {
    width, height: 260,
    scales: { x: { time: true } },
    series: [{ label: 'Day', value: (u, seconds) => seconds == null ? '' : dayOf(seconds * 1000) },
      ...series.map((one, i) => ({ label: one.label, stroke: kPalette[i % kPalette.length],
        width: 2, points: { show: true } }))],
    axes: [{}, counts ? { size: 56, incrs: kWholeSteps } : { size: 56 }],
  };
  const x = days.map((day) => Date.parse(day) / 1000);
  new uPlot(options, [x, ...series.map((one) => one.values)], target);
}

async function showCounts(range) {
  const days = daysBetween(range.from, range.to);
  const types = await keysOf('by_type_day');
  const counts = new Map(); // type → day → count
  await Promise.all(types.map(async (type) => {
    const perDay = new Map();
    for (const row of await perDayRows('by_type_day', [type], range))
      perDay.set(row.key[1], row.value);
    if (perDay.size)
      counts.set(type, perDay);
  }));
  const shown = types.filter((type) => counts.has(type));
  drawChart($('chart'), days, shown.map((type) => ({
    label: type, values: days.map((day) => counts.get(type).get(day) ?? 0) })), true);

  const table = $('counts');
  const head = table.tHead;
  head.replaceChildren();
  const titles = head.insertRow();
  ['Day', ...shown].forEach((title) => cell(titles, title));
  const body = table.tBodies[0];
  body.replaceChildren();
  for (const day of days.slice().reverse()) {
    if (!shown.some((type) => counts.get(type).has(day)))
      continue;
    const row = body.insertRow();
    row.dataset.day = day;
    cell(row, day);
    for (const type of shown) {
      const td = cell(row, String(counts.get(type).get(day) ?? 0), 'number');
      td.dataset.type = type;
    }
  }
}

// Records per version or system within the range, most first.
async function showSplit(name, table, range) {
  const totals = [];
  await Promise.all((await keysOf(name)).map(async (key) => {
    const rows = await perDayRows(name, [key], range);
    const total = rows.reduce((sum, row) => sum + row.value, 0);
    if (total)
      totals.push([key, total]);
  }));
  totals.sort((a, b) => b[1] - a[1] || String(a[0]).localeCompare(String(b[0])));
  fillRows(table, totals);
}

async function showLatest() {
  const rows = await view('by_time', { reduce: false, descending: true, limit: kLatestCount,
    include_docs: true });
  fillRows($('latest'), rows.map(({ doc }) => {
    const version = doc.applicationVersion ?? doc.application?.version ?? '';
    const { _id, _rev, ...members } = doc;
    return [new Date(doc.timestamp).toISOString().replace('T', ' ').slice(0, 19), doc.type,
      String(version), JSON.stringify(members)];
  }));
  for (const td of $('latest').querySelectorAll('td:last-child'))
    td.className = 'document';
}

async function listProperties() {
  const select = $('property');
  const chosen = select.value || new URLSearchParams(location.search).get('property');
  const pairs = (await view('property_stats', { group_level: 2 })).map((row) => row.key);
  select.replaceChildren(...pairs.map(([type, name]) => {
    const option = document.createElement('option');
    option.value = `${type}\u001f${name}`;
    option.textContent = `${type} · ${name}`;
    return option;
  }));
  if (pairs.some(([type, name]) => `${type}\u001f${name}` === chosen))
    select.value = chosen;
}

async function showProperty(range) {
  const [type, name] = $('property').value.split('\u001f');
  if (!name) {
    fillRows($('stats'), []);
    $('property-chart').replaceChildren();
    return;
  }
  const perDay = new Map();
  for (const row of await perDayRows('property_stats', [type, name], range))
    perDay.set(row.key[2], row.value);
  const days = daysBetween(range.from, range.to);
  const statOf = (day, pick) => (perDay.has(day) ? pick(perDay.get(day)) : null);
  drawChart($('property-chart'), days, [
    { label: 'minimum', values: days.map((day) => statOf(day, (s) => s.min)) },
    { label: 'mean', values: days.map((day) => statOf(day, (s) => s.sum / s.count)) },
    { label: 'maximum', values: days.map((day) => statOf(day, (s) => s.max)) }]);
  const round = (value) => Math.round(value * 1000) / 1000;
  fillRows($('stats'), days.filter((day) => perDay.has(day)).reverse().map((day) => {
    const stats = perDay.get(day);
    return [day, stats.count, round(stats.min), round(stats.sum / stats.count), round(stats.max)];
  }));
}

function chosenRange() {
  const query = new URLSearchParams(location.search);
  const to = query.get('to') || dayOf(Date.now());
  const from = query.get('from') || dayOf(Date.parse(to) - (kDefaultDays - 1) * kDayMs);
  return from <= to ? { from, to } : { from: to, to: from };
}

async function show(task) {
  document.body.dataset.state = 'loading';
  $('status').textContent = '';
  try {
    await task();
    document.body.dataset.state = 'ready';
  } catch (error) {
    $('status').textContent = `The views cannot be read: ${error.message}`;
    document.body.dataset.state = 'error';
  }
}

function start() {
  const parts = location.pathname.split('/');
  $('database').textContent = decodeURIComponent(parts[parts.indexOf('_design') - 1] ?? '');
  const range = chosenRange();
  $('from').value = range.from;
  $('to').value = range.to;
  // The range travels in the address, so that a view can be shared and reloaded.
  $('range').addEventListener('submit', (event) => {
    event.preventDefault();
    const query = new URLSearchParams({ from: $('from').value, to: $('to').value });
    if ($('property').value)
      query.set('property', $('property').value);
    location.search = query.toString();
  });
  $('property').addEventListener('change', () => show(() => showProperty(range)));
  show(async () => {
    await listProperties();
    await Promise.all([showCounts(range), showSplit('by_version_day', $('versions'), range),
      showSplit('by_os_day', $('systems'), range), showLatest(), showProperty(range)]);
  });
}

start();
