#!/usr/bin/env node
// Measures what hostile or careless clients cost a running `agentctl view` (process PID,
// page at URL). Run it where the viewer runs: inside a private network namespace.
//
//   view_stress.js body URL PID [MB]       a POST without token declaring and sending MB (300) of body
//   view_stress.js headers URL PID [MB]    a GET followed by MB (188) of header lines
//   view_stress.js slow URL [SECONDS]      8 clients sending their request a byte every 3 s while
//                                          a normal GET of the page is timed every 2 s
//   view_stress.js peers URL [N]           P messages of N (4000) agents with 1300-character names
//                                          to the group, then the size of one state answer,
//                                          plain and compressed
// Each prints one line; the memory figures are the viewer's peak resident set (VmRSS).
'use strict';
const dgram = require('dgram');
const fs = require('fs');
const net = require('net');
const http = require('http');

const sleep = ms => new Promise(r => setTimeout(r, ms));

function rssMiB(pid) {
  const m = /VmRSS:\s+(\d+) kB/.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'));
  return m ? Number(m[1]) / 1024 : NaN;
}

// Streams `total` bytes after `head` as fast as the server takes them; resolves to what
// happened and the peak resident memory of pid meanwhile.
function flood(url, pid, head, line, total) {
  const u = new URL(url);
  return new Promise(resolve => {
    const before = rssMiB(pid);
    let peak = before, sent = 0, answer = '', done = false;
    const watch = setInterval(() => { peak = Math.max(peak, rssMiB(pid)); }, 20);
    const finish = why => {
      if (done) return;
      done = true;
      clearInterval(watch);
      peak = Math.max(peak, rssMiB(pid));
      socket.destroy();
      resolve(`${why}; sent ${(sent / 2 ** 20).toFixed(1)} MiB; answer "${answer.split('\r\n')[0]}"; ` +
              `viewer memory ${before.toFixed(1)} MiB before, peak ${peak.toFixed(1)} MiB`);
    };
    const socket = net.connect(Number(u.port), u.hostname, () => {
      socket.write(head);
      const pump = () => {
        while (!done && sent < total) {
          sent += line.length;
          if (!socket.write(line)) return;
        }
        if (sent >= total) socket.end();
      };
      socket.on('drain', pump);
      pump();
    });
    socket.on('data', d => { answer += d; });
    socket.on('error', e => finish(`connection ended (${e.code})`));
    socket.on('close', () => finish('connection closed'));
    setTimeout(() => finish('gave up after 120 s'), 120000);
  });
}

function get(url, path, headers = {}) {
  const started = Date.now();
  return new Promise(resolve => {
    const req = http.get(new URL(path, url), {headers, agent: false}, res => {
      let bytes = 0;
      res.on('data', d => { bytes += d.length; });
      res.on('end', () => resolve({status: res.statusCode, bytes, ms: Date.now() - started}));
    });
    req.setTimeout(15000, () => { req.destroy(); resolve({status: 'timed out', bytes: 0, ms: Date.now() - started}); });
    req.on('error', e => resolve({status: e.code, bytes: 0, ms: Date.now() - started}));
  });
}

async function slow(url, seconds) {
  const u = new URL(url);
  const request = `GET / HTTP/1.1\r\nHost: ${u.host}\r\nX-Slow: ${'a'.repeat(100)}\r\n\r\n`;
  const clients = [];
  let cut = 0;
  for (let i = 0; i < 8; ++i) {
    const c = {socket: net.connect(Number(u.port), u.hostname), at: 0, answer: ''};
    c.socket.on('data', d => { c.answer += d; });
    c.socket.on('close', () => { if (!c.closed) { c.closed = true; ++cut; } });
    c.socket.on('error', () => {});
    c.timer = setInterval(() => { if (!c.closed && c.at < request.length) c.socket.write(request[c.at++]); }, 3000);
    clients.push(c);
  }
  const times = [];
  const end = Date.now() + seconds * 1000;
  while (Date.now() < end) {
    await sleep(2000);
    const r = await get(url, '/');
    times.push(r.status === 200 ? `${r.ms} ms` : `${r.status} after ${r.ms} ms`);
  }
  clients.forEach(c => { clearInterval(c.timer); c.socket.destroy(); });
  const answers = [...new Set(clients.map(c => c.answer.split('\r\n')[0]).filter(a => a))];
  return `normal GETs while 8 clients send a byte every 3 s: ${times.join(', ')}; ` +
         `${cut} slow clients cut off (${answers.join('; ') || 'no answer'})`;
}

async function peers(url, count) {
  const socket = dgram.createSocket('udp4');
  const send = text => new Promise(resolve => socket.send(Buffer.from(text + '\0'), 60001, '239.0.0.77', resolve));
  for (let i = 0; i < count; ++i) {
    await send(`P ${String(i).padStart(6, '0')}-${'n'.repeat(1293)} ${1000 + i} ${2000 + i} 0`);
    if (i % 200 === 199) await sleep(20);  // within the receive buffer
  }
  socket.close();
  await sleep(1000);
  const plain = await get(url, '/api/state');
  const packed = await get(url, '/api/state', {'Accept-Encoding': 'gzip, deflate'});
  return `state of ${count} agents with 1300-character names: ${plain.bytes} bytes plain, ${packed.bytes} bytes ` +
         `compressed for a browser (status ${plain.status}, ${plain.ms} ms)`;
}

async function main() {
  const [what, url, third, fourth] = process.argv.slice(2);
  const u = new URL(url);
  let line;
  if (what === 'body') {
    const mb = Number(fourth || 300);
    const head = `POST /api/mode?robot=all&value=99 HTTP/1.1\r\nHost: ${u.host}\r\nContent-Length: ${mb * 2 ** 20}\r\n\r\n`;
    line = `${mb} MiB body without token: ` + await flood(url, third, head, 'a'.repeat(65536), mb * 2 ** 20);
  } else if (what === 'headers') {
    const mb = Number(fourth || 188);
    const head = `GET / HTTP/1.1\r\nHost: ${u.host}\r\n`;
    line = `${mb} MiB of headers: ` + await flood(url, third, head, `X-Pad: ${'a'.repeat(1016)}\r\n`, mb * 2 ** 20);
  } else if (what === 'slow') {
    line = await slow(url, Number(third || 30));
  } else if (what === 'peers') {
    line = await peers(url, Number(third || 4000));
  } else {
    console.error('usage: view_stress.js body|headers URL PID [MB] | slow URL [SECONDS] | peers URL [N]');
    process.exit(2);
  }
  console.log(line);
  process.exit(0);
}

main().catch(e => { console.error(e.stack || String(e)); process.exit(1); });
