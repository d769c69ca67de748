'use strict';
// Shared fixtures: the addon under test, tracked child processes and direct /proc reads.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

// The test command passes the freshly built addon; `npm test` uses the package's own.
const addon = require(process.env.ZORVAN_PROCLIST_ADDON || path.join(__dirname, '..', 'index.js'));

const children = new Set();

// Children get a clean environment: no sanitizer preload, only what each test sets.
function start(file, args, { env = {}, argv0 } = {}) {
  const child = spawn(file, args, {
    argv0,
    env: { PATH: process.env.PATH || '/usr/bin:/bin', ...env },
    stdio: 'ignore',
  });
  children.add(child);
  child.on('exit', () => children.delete(child));
  return child;
}

function killAll() {
  for (const child of children) child.kill('SIGKILL');
}

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

async function waitFor(predicate, what, timeoutMs = 20000) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = predicate();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await sleep(10);
  }
}

function readProc(pid, name) {
  try {
    return fs.readFileSync(`/proc/${pid}/${name}`, 'latin1');
  } catch {
    return null;
  }
}

function cmdline(pid) {
  const text = readProc(pid, 'cmdline');
  return text === null ? null : text.split('\0').slice(0, -1);
}

// Children of `pid` straight from every process's stat line (name in parentheses skipped).
function childrenOf(pid) {
  const result = [];
  for (const entry of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    const stat = readProc(entry, 'stat');
    if (stat === null) continue;
    const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
    if (Number(fields[1]) === pid) result.push(Number(entry));
  }
  return result;
}

// Resolves once `pid` runs `command` (after exec, not the forked parent's image).
function waitForCommand(pid, command) {
  return waitFor(() => {
    const args = cmdline(pid);
    return args !== null && args[0] === command;
  }, `${pid} to run ${command}`);
}

function statusKiB(pid, key) {
  const match = new RegExp(`^${key}:\\s+(\\d+) kB`, 'm').exec(readProc(pid, 'status') || '');
  return match ? Number(match[1]) : null;
}

module.exports = { addon, start, killAll, sleep, waitFor, readProc, cmdline, childrenOf, waitForCommand, statusKiB };
