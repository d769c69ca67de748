// Times a full scan from PID 1 (about 300 processes) with zorvan_proclist and with the
// popular npm packages for the same job, in one run on one machine: median and p95.
//   node bench.mjs [path/to/zorvan_proclist.node] [--iterations N] [--processes N]
import { spawn } from 'node:child_process';
import { createRequire } from 'node:module';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import psList from 'ps-list';
import pidtree from 'pidtree';

const here = path.dirname(fileURLToPath(import.meta.url));
const require = createRequire(import.meta.url);
const argv = process.argv.slice(2);
const option = (name, fallback) => {
  const at = argv.indexOf(name);
  if (at < 0) return fallback;
  const [, value] = argv.splice(at, 2);
  return Number(value);
};
const iterations = option('--iterations', 50);
const targetProcesses = option('--processes', 300);
const addonPath = argv[0] || process.env.ZORVAN_PROCLIST_ADDON || path.join(here, '..', 'index.js');
const addon = require(path.resolve(addonPath));

const countProcesses = () => fs.readdirSync('/proc').filter((name) => /^\d+$/.test(name)).length;

// Top up the process table with sleepers, all children of one shell.
const missing = Math.max(0, targetProcesses - countProcesses() - 1);
const sleepers = spawn('sh', ['-c', `i=0; while [ $i -lt ${missing} ]; do sleep 600 & i=$((i+1)); done; wait`], {
  stdio: 'ignore',
  detached: true,
});
const stopSleepers = () => {
  try {
    process.kill(-sleepers.pid, 'SIGKILL');
  } catch {}
};
process.on('exit', stopSleepers);
const deadline = Date.now() + 30000;
while (countProcesses() < targetProcesses - 2 && Date.now() < deadline) await new Promise((r) => setTimeout(r, 20));

const contenders = [
  ['zorvan_proclist', async () => (await addon.zorvan_proclist_scan_async([1])).length],
  ['ps-list', async () => (await psList()).length],
  ['pidtree', async () => (await pidtree(1, { root: true })).length],
];

function percentile(sorted, p) {
  return sorted[Math.min(sorted.length - 1, Math.ceil((p / 100) * sorted.length) - 1)];
}

// Blocks of consecutive runs per contender, rotating over five rounds so that all three
// meet the same spells of machine load; a pause between blocks lets the `ps` children of
// the others exit first (a scan that meets a process tearing down its memory waits).
for (const [, run] of contenders) for (let i = 0; i < 3; i++) await run(); // warm-up
const samples = contenders.map(() => ({ times: [], found: 0 }));
const rounds = 5;
for (let round = 0; round < rounds; round++) {
  for (const [index, [, run]] of contenders.entries()) {
    await new Promise((resolve) => setTimeout(resolve, 100));
    for (let i = 0; i < Math.ceil(iterations / rounds); i++) {
      const start = process.hrtime.bigint();
      samples[index].found = await run();
      samples[index].times.push(Number(process.hrtime.bigint() - start) / 1e6);
    }
  }
}
const results = contenders.map(([name], index) => {
  const times = samples[index].times.sort((a, b) => a - b);
  return { name, found: samples[index].found, median: percentile(times, 50), p95: percentile(times, 95) };
});
stopSleepers();

console.log(`full scan from PID 1, ${samples[0].times.length} runs each, ${countProcesses()} processes before teardown`);
console.log('package            processes   median ms     p95 ms   median/proc us');
for (const r of results) {
  console.log(`${r.name.padEnd(18)} ${String(r.found).padStart(9)} ${r.median.toFixed(2).padStart(11)} ${r.p95.toFixed(2).padStart(10)} ${((r.median * 1000) / r.found).toFixed(1).padStart(16)}`);
}
const ours = results[0];
const fastest = results.slice(1).reduce((a, b) => (a.median < b.median ? a : b));
console.log(`zorvan_proclist is ${(fastest.median / ours.median).toFixed(1)}x faster (median) than the fastest other, ${fastest.name}`);
console.log(`zorvan_proclist per 300 processes: ${((ours.median * 300) / ours.found).toFixed(2)} ms`);
