#!/usr/bin/env node
// Reads an MCAP file with @mcap/core, twice: through its summary and indexes
// (McapIndexedReader, as Foxglove opens a file) and from start to end (McapStreamReader,
// checking every CRC). Decodes every message with its channel's schema and prints one JSON
// object: the profile, the schemas, each channel with its message count, the statistics,
// whether log times only grow, the last map's cells by value and each robot's last pose.
//   mcap_read.js FILE
'use strict';
const fs = require('fs');
const {nodeRequire, readerFor, countCells, headingDegrees} = require('./ros_decode');
const {McapIndexedReader, McapStreamReader} = nodeRequire('@mcap/core');
const fzstd = nodeRequire('fzstd');

const decompressHandlers = {zstd: (data) => fzstd.decompress(data)};

async function main() {
  const bytes = fs.readFileSync(process.argv[2]);
  const readable = {
    size: async () => BigInt(bytes.length),
    read: async (offset, size) => bytes.subarray(Number(offset), Number(offset + size)),
  };
  const indexed = await McapIndexedReader.Initialize({readable, decompressHandlers});
  const readers = new Map();
  for (const [id, channel] of indexed.channelsById) {
    const schema = indexed.schemasById.get(channel.schemaId);
    readers.set(id, readerFor(schema.name, new TextDecoder().decode(schema.data)));
  }
  const counts = {};
  let lastTime = -1n;
  let monotone = true;
  let lastMap = null;
  const poses = {};
  for await (const m of indexed.readMessages()) {
    const channel = indexed.channelsById.get(m.channelId);
    const decoded = readers.get(m.channelId).readMessage(m.data);
    counts[channel.topic] = (counts[channel.topic] || 0) + 1;
    if (m.logTime < lastTime) monotone = false;
    lastTime = m.logTime;
    if (channel.topic === '/map') lastMap = decoded;
    if (channel.topic.endsWith('/pose')) {
      const p = decoded.pose;
      poses[channel.topic] = [p.position.x * 1000, p.position.y * 1000, headingDegrees(p.orientation)];
    }
  }
  // The linear pass: every record, chunk CRCs and the data section's CRC checked.
  const stream = new McapStreamReader({decompressHandlers, validateCrcs: true});
  stream.append(bytes);
  let streamed = 0;
  let record;
  while ((record = stream.nextRecord()) !== undefined) {
    if (record.type === 'Message') streamed++;
  }
  if (!stream.done()) throw new Error('the linear read did not reach the end of the file');
  const out = {
    profile: indexed.header.profile,
    schemas: [...indexed.schemasById.values()].map((s) => `${s.name} ${s.encoding}`).sort(),
    channels: [...indexed.channelsById.values()].map((c) => ({
      topic: c.topic, encoding: c.messageEncoding, schema: indexed.schemasById.get(c.schemaId).name,
      qos: c.metadata.get('offered_qos_profiles') || '', count: counts[c.topic] || 0,
    })),
    statistics: Number(indexed.statistics.messageCount),
    chunks: indexed.chunkIndexes.length,
    streamed,
    monotone,
    map: lastMap && {width: lastMap.info.width, height: lastMap.info.height, resolution: lastMap.info.resolution,
      frame: lastMap.header.frame_id, cells: countCells(lastMap)},
    poses,
  };
  console.log(JSON.stringify(out, null, 1));
}

main().catch((e) => {
  console.error('mcap_read: ' + (e.stack || e));
  process.exit(1);
});
