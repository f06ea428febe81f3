'use strict';
// What the tests share on the client side: the npm packages of tests/node, and the ROS 2
// decoding that Foxglove and Lichtblick apply to a channel: its ros2msg schema parsed by
// @foxglove/rosmsg, its CDR read by @foxglove/rosmsg2-serialization.
const path = require('path');
const nodeRequire = require('module').createRequire(path.join(__dirname, '..', 'node', 'package.json'));
const {parse} = nodeRequire('@foxglove/rosmsg');
const {MessageReader} = nodeRequire('@foxglove/rosmsg2-serialization');

function readerFor(schemaName, schemaText) {
  return new MessageReader(parse(schemaText, {ros2: true}));
}

// Cells of a decoded nav_msgs/OccupancyGrid by value.
function countCells(grid) {
  const counts = {free: 0, occupied: 0, unknown: 0, other: 0};
  for (const v of grid.data) {
    if (v === 0) counts.free++;
    else if (v === 100) counts.occupied++;
    else if (v === -1) counts.unknown++;
    else counts.other++;
  }
  return counts;
}

function headingDegrees(q) {
  return Math.atan2(2 * (q.w * q.z + q.x * q.y), 1 - 2 * (q.y * q.y + q.z * q.z)) * 180 / Math.PI;
}

module.exports = {nodeRequire, readerFor, countCells, headingDegrees};
