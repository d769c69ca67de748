'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const { addon } = require('./helpers');

function meminfoBytes(key) {
  const match = new RegExp(`^${key}:\\s+(\\d+) kB$`, 'm').exec(fs.readFileSync('/proc/meminfo', 'latin1'));
  return Number(match[1]) * 1024;
}

test('system memory matches /proc/meminfo and carries no pressure level', () => {
  const memory = addon.zorvan_proclist_system_memory('ignored', 1);
  assert.deepEqual(Object.keys(memory), ['totalBytes', 'availableBytes']);
  assert.equal(memory.totalBytes, meminfoBytes('MemTotal'));
  // Available memory moves between the two reads; 256 MiB is far above that noise.
  assert.ok(Math.abs(memory.availableBytes - meminfoBytes('MemAvailable')) < 256 * 2 ** 20);
  assert.ok(memory.availableBytes > 0 && memory.availableBytes <= memory.totalBytes);
});
