#!/usr/bin/env node
// Drives headless Chromium against a running `agentctl view` through the DevTools
// protocol over a pipe (no network port, only Node's built-in modules). Run it where the
// viewer runs: inside the private network namespace of the test or the measurement.
//
//   view_probe.js check URL NAME... [--screenshot FILE] [--settle S]
//       the named robots appear in the page's list, the canvas changes over time, a
//       command without or with a wrong token or to another host is refused (403), so are
//       a GET of a command and a read addressed to another host, a click on the map sends
//       the chosen robot a goal and mode 3, the page without the token shows no commands;
//       prints what it saw, exits 1 on a failure
//   view_probe.js latency URL COUNT [--grow]
//       sends COUNT P messages of a robot "probe-PID" to the group (5 a second), and reports
//       the median and 90th percentile of the time from each send to the page's first
//       drawing of that pose, the page's own time per update and the map answers' sizes;
//       --grow first makes the team map 1000 x 1000 cells (robots 49 m from the origin)
//   view_probe.js screenshot URL FILE [--settle S]
//
// Exit status 1: a check failed; 77: Chromium could not start (the caller skips, saying so).
'use strict';
const {spawn} = require('child_process');
const crypto = require('crypto');
const dgram = require('dgram');
const fs = require('fs');
const http = require('http');
const os = require('os');
const path = require('path');

const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const CANNOT_START = 77;

function fail(message) {
  console.error('view_probe: ' + message);
  process.exit(1);
}

const sleep = ms => new Promise(r => setTimeout(r, ms));

class Browser {
  static async start() {
    const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'view-probe-'));
    const args = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--disable-default-apps', '--disable-extensions', '--no-default-browser-check', '--mute-audio',
      '--remote-debugging-pipe', '--window-size=1400,900', `--user-data-dir=${profile}`, 'about:blank'];
    const child = spawn(CHROMIUM, args, {stdio: ['ignore', 'ignore', 'pipe', 'pipe', 'pipe']});
    const b = new Browser(child, profile);
    child.stderr.on('data', d => { b.log += d; });
    child.on('error', e => { b.failed = String(e); });
    child.on('exit', code => { b.exited = code; });
    try {
      await b.send('Browser.getVersion', {}, null, 20000);
    } catch (e) {
      await b.close();
      console.error(`view_probe: Chromium could not start (${CHROMIUM}): ${e.message}\n${b.log.slice(-2000)}`);
      process.exit(CANNOT_START);
    }
    return b;
  }

  constructor(child, profile) {
    this.child = child;
    this.profile = profile;
    this.log = '';
    this.next = 1;
    this.waiting = new Map();
    this.buffer = Buffer.alloc(0);
    child.stdio[4].on('data', chunk => this.receive(chunk));
  }

  receive(chunk) {
    this.buffer = Buffer.concat([this.buffer, chunk]);
    for (let end; (end = this.buffer.indexOf(0)) >= 0;) {
      const message = JSON.parse(this.buffer.subarray(0, end).toString());
      this.buffer = this.buffer.subarray(end + 1);
      const w = message.id !== undefined && this.waiting.get(message.id);
      if (!w) continue;
      this.waiting.delete(message.id);
      if (message.error) w.reject(new Error(JSON.stringify(message.error)));
      else w.resolve(message.result);
    }
  }

  send(method, params = {}, sessionId = null, timeoutMs = 15000) {
    const id = this.next++;
    const message = {id, method, params};
    if (sessionId) message.sessionId = sessionId;
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => { this.waiting.delete(id); reject(new Error(`${method} timed out`)); }, timeoutMs);
      this.waiting.set(id, {resolve: v => { clearTimeout(timer); resolve(v); }, reject: e => { clearTimeout(timer); reject(e); }});
      this.child.stdio[3].write(JSON.stringify(message) + '\0');
    });
  }

  async open(url) {
    const {targetId} = await this.send('Target.createTarget', {url: 'about:blank'});
    const {sessionId} = await this.send('Target.attachToTarget', {targetId, flatten: true});
    const page = {
      send: (method, params) => this.send(method, params, sessionId),
      evaluate: async expression => {
        const r = await this.send('Runtime.evaluate', {expression, returnByValue: true, awaitPromise: true}, sessionId);
        if (r.exceptionDetails) throw new Error(`${expression}: ${JSON.stringify(r.exceptionDetails)}`);
        return r.result.value;
      },
    };
    await page.send('Page.enable');
    await page.send('Page.navigate', {url});
    return page;
  }

  // Ends Chromium and, once it is gone, removes its profile.
  async close() {
    if (this.exited === undefined) {
      const gone = new Promise(resolve => this.child.once('exit', resolve));
      this.child.kill('SIGKILL');
      await Promise.race([gone, sleep(5000)]);
    }
    try {
      fs.rmSync(this.profile, {recursive: true, force: true, maxRetries: 5});
    } catch (e) {
      console.error(`view_probe: left the profile ${this.profile}: ${e.message}`);
    }
  }
}

async function waitFor(page, expression, seconds, what) {
  const end = Date.now() + seconds * 1000;
  for (;;) {
    const value = await page.evaluate(expression).catch(() => null);
    if (value) return value;
    if (Date.now() > end) fail(`timed out after ${seconds} s waiting for ${what}`);
    await sleep(200);
  }
}

const canvasHash = page => page.evaluate('document.getElementById("map").toDataURL()')
  .then(data => crypto.createHash('sha1').update(data).digest('hex'));

async function screenshot(page, file) {
  const {data} = await page.send('Page.captureScreenshot', {format: 'png'});
  fs.writeFileSync(file, Buffer.from(data, 'base64'));
}

// A POST with the given token (none when null) and Host header; resolves to the status.
function post(url, pathAndQuery, token, host) {
  const u = new URL(url);
  const headers = {Host: host || u.host, 'Content-Length': 0};
  if (token !== null) headers['X-Token'] = token;
  return new Promise((resolve, reject) => {
    const req = http.request({host: u.hostname, port: u.port, path: pathAndQuery, method: 'POST', headers}, res => {
      res.resume();
      res.on('end', () => resolve(res.statusCode));
    });
    req.on('error', reject);
    req.end();
  });
}

async function checkRefusals(url) {
  const token = new URL(url).searchParams.get('token');
  const wrong = token.slice(0, -1) + (token.endsWith('0') ? '1' : '0');
  const stop = '/api/mode?robot=all&value=99';
  const statuses = [await post(url, stop, null), await post(url, stop, wrong),
    await post(url, stop, token, 'rebound.example:' + new URL(url).port)];
  if (statuses.some(s => s !== 403)) fail(`commands without the right token or host answered ${statuses}, not 403`);
  const get = (pathAndQuery, headers) => new Promise((resolve, reject) => {
    http.get(new URL(pathAndQuery, url), {headers}, res => { res.resume(); resolve(res.statusCode); }).on('error', reject);
  });
  const command = await get(stop, {'X-Token': token});
  if (command < 400) fail(`a GET of a command with the token answered ${command}`);
  const rebound = await get('/api/state', {Host: 'rebound.example:' + new URL(url).port});
  if (rebound !== 403) fail(`a read addressed to another host answered ${rebound}, not 403`);
  console.log(`refused: ${statuses.join(' ')}, GET of a command ${command}, read from another host ${rebound}`);
}

async function check(url, names, options) {
  await checkRefusals(url);
  const browser = await Browser.start();
  try {
    const page = await browser.open(url);
    const listed = JSON.stringify(names);
    await waitFor(page, `(() => { const shown = [...document.querySelectorAll('#robots li')].map(li => li.dataset.name);
                                  return ${listed}.every(n => shown.includes(n)); })()`, 30, `robots ${names} in the list`);
    console.log(`robots listed: ${await page.evaluate(`[...document.querySelectorAll('#robots li')].map(li => li.dataset.name).join(' ')`)}`);
    const first = await canvasHash(page);
    const updates = await page.evaluate('window.viewStats.updates');
    await sleep(3000);
    const second = await canvasHash(page);
    const later = await page.evaluate('window.viewStats.updates');
    if (first === second) fail('the canvas did not change in 3 s while the robots moved');
    console.log(`canvas changed; ${later - updates} updates in 3 s`);
    if (later - updates < 6) fail(`only ${later - updates} updates in 3 s`);
    if (options.settle) await sleep(options.settle * 1000);
    if (options.screenshot) await screenshot(page, options.screenshot);
    // A click on the map, with the first robot chosen, sends it a goal and mode 3.
    await page.evaluate(`(() => { const t = document.getElementById('target'); t.value = ${JSON.stringify(names[0])};
                                  t.dispatchEvent(new Event('change')); return true; })()`);
    const box = await page.evaluate('(() => { const r = document.getElementById("map").getBoundingClientRect(); return [r.left, r.top, r.width, r.height]; })()');
    const [x, y] = [box[0] + box[2] * 0.6, box[1] + box[3] * 0.4];
    for (const type of ['mouseMoved', 'mousePressed', 'mouseReleased']) {
      await page.send('Input.dispatchMouseEvent', {type, x, y, button: 'left', buttons: type === 'mousePressed' ? 1 : 0, clickCount: 1});
    }
    const reply = await waitFor(page, `(() => { const t = document.getElementById('reply').textContent; return t.includes('M ') ? t : ''; })()`,
      10, 'the reply to the click');
    console.log(`click: ${reply.replace(/\n/g, ' | ')}`);
    if (!reply.includes(`sent: G ${names[0]} `) || !reply.includes(`sent: M ${names[0]} 3`)) fail(`the click sent: ${reply}`);
    // Without the token the page only shows the team.
    const readOnly = await browser.open(url.replace(/[?&]token=[^&]*/, ''));
    await waitFor(readOnly, 'window.viewStats && window.viewStats.updates > 0', 20, 'the read-only page');
    if (!await readOnly.evaluate('document.getElementById("command").hidden')) fail('the read-only page shows commands');
  } finally {
    await browser.close();
  }
}

function percentile(sorted, p) {
  return sorted[Math.min(sorted.length - 1, Math.floor(p * sorted.length))];
}

const sendP = (socket, name, x, y) =>
  new Promise(resolve => socket.send(Buffer.from(`P ${name} ${x.toFixed(3)} ${y.toFixed(3)} 0.000\0`), 60001, '239.0.0.77', resolve));

function summary(values, unit) {
  const sorted = [...values].sort((a, b) => a - b);
  return `median ${percentile(sorted, 0.5).toFixed(1)} ${unit}, p90 ${percentile(sorted, 0.9).toFixed(1)} ${unit}, ` +
         `max ${sorted[sorted.length - 1].toFixed(1)} ${unit}`;
}

async function latency(url, count, options) {
  const browser = await Browser.start();
  const socket = dgram.createSocket('udp4');
  try {
    if (options.grow) {
      await sendP(socket, 'corner-ne', 49000, 49000);
      await sendP(socket, 'corner-sw', -49000, -49000);
    }
    const page = await browser.open(url);
    await page.evaluate('performance.setResourceTimingBufferSize(100000)');
    await waitFor(page, 'window.viewStats && window.viewStats.updates > 0', 20, 'the first update');
    await sleep(1000);
    const layout = await page.evaluate('layout && [layout.width, layout.height]');
    const updatesBefore = await page.evaluate('window.viewStats.updates');
    const sent = new Map();
    const name = `probe-${process.pid}`;  // a robot no earlier run left in the viewer
    for (let i = 0; i < count; ++i) {
      const x = 1000 + 10 * i;
      sent.set(x, performance.timeOrigin + performance.now());
      await sendP(socket, name, x, 500);
      await sleep(200);
    }
    await sleep(1500);
    const drawn = await page.evaluate(`window.viewStats.drawn.filter(d => d.name === ${JSON.stringify(name)})`);
    const delays = drawn.filter(d => sent.has(d.x) && d.t >= sent.get(d.x)).map(d => d.t - sent.get(d.x));
    if (delays.length === 0) fail('no pose of the probe was drawn');
    const updates = await page.evaluate('window.viewStats.updates') - updatesBefore;
    const work = await page.evaluate(`window.viewStats.work.slice(-${updates})`);
    const sizes = await page.evaluate(`performance.getEntriesByType('resource').filter(e => e.name.includes('/api/map'))
                                         .map(e => [e.encodedBodySize, e.decodedBodySize])`);
    const seconds = count * 0.2 + 1.5;
    console.log(`map ${layout ? layout.join(' x ') : '?'} cells; poses sent ${count}, drawn ${delays.length}`);
    console.log(`send to canvas: ${summary(delays, 'ms')}`);
    console.log(`updates ${(updates / seconds).toFixed(1)}/s; page time per update: ${summary(work, 'ms')}`);
    console.log(`map answers: first ${sizes[0][0]} bytes (${sizes[0][1]} unpacked); later ${summary(sizes.slice(1).map(s => s[0]), 'bytes')}`);
  } finally {
    socket.close();
    await browser.close();
  }
}

async function main() {
  const [command, url, ...rest] = process.argv.slice(2);
  const options = {};
  const operands = [];
  for (let i = 0; i < rest.length; ++i) {
    if (rest[i] === '--screenshot') options.screenshot = rest[++i];
    else if (rest[i] === '--settle') options.settle = Number(rest[++i]);
    else if (rest[i] === '--grow') options.grow = true;
    else operands.push(rest[i]);
  }
  if (!url) fail('usage: view_probe.js check|latency|screenshot URL ...');
  if (command === 'check') await check(url, operands, options);
  else if (command === 'latency') await latency(url, Number(operands[0] || 100), options);
  else if (command === 'screenshot') {
    const browser = await Browser.start();
    try {
      const page = await browser.open(url);
      await waitFor(page, 'window.viewStats && window.viewStats.updates > 0', 20, 'the first update');
      await sleep((options.settle || 2) * 1000);
      await screenshot(page, operands[0]);
    } finally {
      await browser.close();
    }
  } else fail(`unknown command ${command}`);
  process.exit(0);
}

main().catch(e => fail(e.stack || String(e)));
