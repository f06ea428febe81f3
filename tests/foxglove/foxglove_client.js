#!/usr/bin/env node
// A client of agentctl foxglove built on @foxglove/ws-protocol (the protocol library of
// Foxglove) with the ws package as its WebSocket. Run it where the server runs: inside the
// private network namespace of the test or the measurement.
//
//   foxglove_client.js check URL TOKEN_URL ROBOTS
//       subscribes to every channel as it is advertised and decodes every message with its
//       advertised ros2msg schema; once every robot of the comma-separated list has a pose
//       and the map has come: a goal published without the token is refused; one published
//       over a second connection with the token is sent; /tf is unsubscribed. It prints
//       "ready" and waits until no message has come for 3 s, then prints one JSON object:
//       channels, messages per topic, the last map's cells, each robot's last pose, what
//       the goals got back, and the /tf messages that came after the unsubscription.
//   foxglove_client.js refused URL
//       a connection without the subprotocol and one that names another host are refused
//   foxglove_client.js latency URL COUNT [--grow]
//       sends COUNT P messages of a robot "probe-PID" to the group (5 a second) and prints
//       the median, 99th percentile and largest time from each send to the pose's frame,
//       and the size of the last map; --grow first makes the team map 1000 x 1000 cells
//       (robots 49 m from the origin)
'use strict';
const dgram = require('dgram');
const {nodeRequire, readerFor, countCells, headingDegrees} = require('./ros_decode');
const {FoxgloveClient} = nodeRequire('@foxglove/ws-protocol');
const WebSocket = nodeRequire('ws');
const {parse} = nodeRequire('@foxglove/rosmsg');
const {MessageWriter} = nodeRequire('@foxglove/rosmsg2-serialization');

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function fail(message) {
  console.error('foxglove_client: ' + message);
  process.exit(1);
}

// A client that subscribes to every channel and decodes what comes.
class Watcher {
  constructor(url) {
    this.client = new FoxgloveClient({ws: new WebSocket(url, [FoxgloveClient.SUPPORTED_SUBPROTOCOL])});
    this.channels = new Map();  // id -> {topic, schemaName, reader, subscription}
    this.bySubscription = new Map();
    this.counts = {};
    this.latest = {};
    this.tfSeen = [];
    this.statuses = [];
    this.lastMessageAt = Date.now();
    this.listeners = [];
    this.client.on('serverInfo', (info) => { this.serverInfo = info; });
    this.client.on('status', (s) => { this.statuses.push(s); });
    this.client.on('error', (e) => fail('connection: ' + (e && e.message || e)));
    this.client.on('advertise', (channels) => {
      for (const c of channels) {
        const subscription = this.client.subscribe(c.id);
        const entry = {topic: c.topic, schemaName: c.schemaName, encoding: c.encoding,
          schemaEncoding: c.schemaEncoding, schema: c.schema, reader: readerFor(c.schemaName, c.schema), subscription};
        this.channels.set(c.id, entry);
        this.bySubscription.set(subscription, entry);
      }
    });
    this.client.on('message', ({subscriptionId, timestamp, data}) => {
      const entry = this.bySubscription.get(subscriptionId);
      if (!entry) fail('a message for subscription ' + subscriptionId + ', which this client does not hold');
      const bytes = new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
      const message = entry.reader.readMessage(bytes);
      this.counts[entry.topic] = (this.counts[entry.topic] || 0) + 1;
      this.latest[entry.topic] = message;
      if (entry.topic === '/tf') this.tfSeen.push(message.transforms);
      this.lastMessageAt = Date.now();
      for (const listener of this.listeners) listener(entry.topic, message, timestamp);
    });
  }

  async waitFor(what, condition, seconds) {
    for (let waited = 0; !condition(); waited += 50) {
      if (waited > seconds * 1000) fail('timed out waiting for ' + what);
      await sleep(50);
    }
  }
}

// A goal published by a client with its own connection; resolves with the status it got.
async function publishGoal(url, topic, x, y) {
  const watcher = new Watcher(url);
  await watcher.waitFor('serverInfo', () => watcher.serverInfo !== undefined, 10);
  if (!watcher.serverInfo.capabilities.includes('clientPublish')) fail('the server does not take client messages');
  const poseStamped = () => [...watcher.channels.values()].find((c) => c.schemaName === 'geometry_msgs/msg/PoseStamped');
  await watcher.waitFor('a PoseStamped channel', () => poseStamped() !== undefined, 10);
  const channel = watcher.client.advertise({topic, encoding: 'cdr', schemaName: 'geometry_msgs/msg/PoseStamped'});
  const writer = new MessageWriter(parse(poseStamped().schema, {ros2: true}));
  const goal = {header: {stamp: {sec: 0, nanosec: 0}, frame_id: 'map'},
    pose: {position: {x, y, z: 0}, orientation: {x: 0, y: 0, z: 0, w: 1}}};
  const before = watcher.statuses.length;
  watcher.client.sendMessage(channel, writer.writeMessage(goal));
  await watcher.waitFor('an answer to the goal', () => watcher.statuses.length > before, 10);
  watcher.client.close();
  return watcher.statuses.slice(before).map((s) => `${s.level} ${s.message}`);
}

async function check(url, tokenUrl, robots) {
  const watcher = new Watcher(url);
  const expected = robots.split(',').map((r) => `/${r.replace(/[^A-Za-z0-9_]/g, '_')}/pose`);
  await watcher.waitFor('the robots\' poses and the map', () =>
    expected.every((t) => watcher.latest[t]) && watcher.latest['/map'], 30);
  const goalTopic = `/${robots.split(',')[0].replace(/[^A-Za-z0-9_]/g, '_')}/goal_pose`;
  const refused = await publishGoal(url, goalTopic, 1.5, -0.25);
  const sent = await publishGoal(tokenUrl, goalTopic, 1.5, -0.25);
  // Every robot's frame, whichever robot's pose came last.
  const frames = new Set();
  for (const transforms of watcher.tfSeen) for (const t of transforms) frames.add(`${t.header.frame_id}->${t.child_frame_id}`);
  const tf = [...watcher.channels.values()].find((c) => c.topic === '/tf');
  watcher.client.unsubscribe(tf.subscription);
  const unsubscribedAt = Date.now();
  let tfAfter = 0;
  watcher.listeners.push((topic) => {
    if (topic === '/tf' && Date.now() - unsubscribedAt > 500) tfAfter++;
  });
  console.log('ready');
  await watcher.waitFor('a quiet group', () => Date.now() - watcher.lastMessageAt > 3000, 60);
  const map = watcher.latest['/map'];
  const poses = {};
  for (const t of expected) {
    const p = watcher.latest[t].pose;
    poses[t] = [p.position.x * 1000, p.position.y * 1000, headingDegrees(p.orientation)];
  }
  console.log(JSON.stringify({
    serverInfo: watcher.serverInfo,
    channels: [...watcher.channels.values()].map((c) => `${c.topic} ${c.schemaName} ${c.encoding} ${c.schemaEncoding}`).sort(),
    counts: watcher.counts,
    map: {width: map.info.width, height: map.info.height, resolution: map.info.resolution, frame: map.header.frame_id,
      origin: [map.info.origin.position.x, map.info.origin.position.y], cells: countCells(map)},
    poses,
    trail: watcher.latest[expected[0].replace('/pose', '/trail')].poses.length,
    frames: [...frames].sort(),
    refused,
    sent,
    tfAfter,
  }, null, 1));
  watcher.client.close();
}

// A plain WebSocket that is expected to be refused; resolves with how it ended.
function tryConnect(url, protocols, options) {
  return new Promise((resolve) => {
    const ws = new WebSocket(url, protocols, options);
    ws.on('open', () => { ws.close(); resolve('opened'); });
    ws.on('unexpected-response', (req, res) => resolve('refused ' + res.statusCode));
    ws.on('error', (e) => resolve('failed ' + e.message));
  });
}

async function refusedConnections(url) {
  const host = new URL(url).host;
  const results = {
    noSubprotocol: await tryConnect(url, []),
    otherHost: await tryConnect(url, [FoxgloveClient.SUPPORTED_SUBPROTOCOL], {headers: {Host: 'rebound.example:' + new URL(url).port}}),
    servedHost: await tryConnect(url, [FoxgloveClient.SUPPORTED_SUBPROTOCOL], {headers: {Host: host}}),
  };
  console.log(JSON.stringify(results));
}

function sendP(socket, name, x, y) {
  return new Promise((r) => socket.send(Buffer.from(`P ${name} ${x}.000 ${y}.000 0.000\0`), 60001, '239.0.0.77', r));
}

async function latency(url, count, grow) {
  const socket = dgram.createSocket('udp4');
  await new Promise((r) => socket.bind(0, '127.0.0.1', r));
  socket.setMulticastInterface('127.0.0.1');
  if (grow) {
    await sendP(socket, 'corner-ne', 49000, 49000);
    await sendP(socket, 'corner-sw', -49000, -49000);
  }
  const watcher = new Watcher(url);
  const name = `probe-${process.pid}`;
  const topic = `/${name.replace(/[^A-Za-z0-9_]/g, '_')}/pose`;
  const sentAt = new Map();
  const delays = [];
  watcher.listeners.push((t, message) => {
    if (t !== topic) return;
    const key = Math.round(message.pose.position.x * 1000);
    if (sentAt.has(key)) {
      delays.push(Number(process.hrtime.bigint() - sentAt.get(key)) / 1e6);
      sentAt.delete(key);
    }
  });
  await watcher.waitFor('the map', () => watcher.latest['/map'] !== undefined, 10);
  for (let i = 0; i < count; i++) {
    const x = 1000 + i;
    sentAt.set(x, process.hrtime.bigint());
    await sendP(socket, name, x, 500);
    await sleep(200);
  }
  await sleep(1000);
  socket.close();
  watcher.client.close();
  delays.sort((a, b) => a - b);
  const at = (q) => delays[Math.min(delays.length - 1, Math.floor(q * delays.length))];
  const map = watcher.latest['/map'].info;
  console.log(JSON.stringify({sent: count, received: delays.length, medianMs: at(0.5), p99Ms: at(0.99),
    maxMs: delays[delays.length - 1], map: `${map.width} x ${map.height}`, maps: watcher.counts['/map']}));
}

const [mode, ...args] = process.argv.slice(2);
const run = mode === 'check' ? check(args[0], args[1], args[2])
  : mode === 'refused' ? refusedConnections(args[0])
  : mode === 'latency' ? latency(args[0], Number(args[1]), args[2] === '--grow')
  : Promise.reject(new Error('usage: foxglove_client.js check|refused|latency ...'));
run.then(() => process.exit(0), (e) => fail(e.stack || String(e)));
