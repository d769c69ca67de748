'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const { addon, start, killAll, waitFor, readProc, childrenOf, waitForCommand, statusKiB } = require('./helpers');

const scan = addon.zorvan_proclist_scan_async;
test.after(killAll);

function assertTuple(tuple) {
  assert.equal(tuple.length, 9);
  const [pid, ppid, command, extension, cpu, resident, args, conversation, request] = tuple;
  for (const n of [pid, ppid, cpu, resident]) assert.ok(Number.isInteger(n) && n >= 0, `number ${n}`);
  for (const s of [command, extension, conversation, request]) assert.equal(typeof s, 'string');
  assert.ok(Array.isArray(args) && args.every((a) => typeof a === 'string' && a.length > 0));
}

const tagged = {
  ZORVAN_SPAWNED_BY_EXTENSION_ID: 'ext.alpha',
  ZORVAN_CONVERSATION_ID: 'conv-42',
  ZORVAN_REQUEST_ID: 'req-7',
};

// sh -> { sh -> sleep, sleep }: two levels below the root, all tagged.
async function startTree() {
  const root = start('sh', ['-c', 'sh -c "sleep 30; :" & sleep 30 & wait'], { env: tagged });
  const [inner, grandchild] = await waitFor(() => {
    const kids = childrenOf(root.pid);
    if (kids.length !== 2) return null;
    for (const kid of kids) {
      const below = childrenOf(kid);
      if (below.length === 1 && readProc(below[0], 'cmdline')?.startsWith('sleep\0')) return [kid, below[0]];
    }
    return null;
  }, 'the process tree');
  const sleeper = childrenOf(root.pid).find((pid) => pid !== inner);
  await waitForCommand(sleeper, 'sleep');
  return { root: root.pid, inner, sleeper, grandchild };
}

test('exports exactly the two functions', () => {
  assert.deepEqual(Object.keys(addon).sort(), ['zorvan_proclist_scan_async', 'zorvan_proclist_system_memory']);
  assert.ok(scan() instanceof Promise);
});

test('a tree is reported root first, then level by level, with tags, commands and args', async () => {
  const tree = await startTree();
  const tuples = await scan([tree.root]);
  tuples.forEach(assertTuple);
  const pids = tuples.map((t) => t[0]);
  assert.equal(pids.length, 4);
  assert.equal(pids[0], tree.root);
  assert.deepEqual(pids.slice(1, 3).sort(), [tree.inner, tree.sleeper].sort());
  assert.equal(pids[3], tree.grandchild);

  const byPid = new Map(tuples.map((t) => [t[0], t]));
  assert.deepEqual(byPid.get(tree.root).slice(0, 3), [tree.root, process.pid, 'sh']);
  assert.deepEqual(byPid.get(tree.root)[6], ['sh', '-c', 'sh -c "sleep 30; :" & sleep 30 & wait']);
  assert.equal(byPid.get(tree.inner)[1], tree.root);
  assert.equal(byPid.get(tree.grandchild)[1], tree.inner);
  for (const pid of [tree.sleeper, tree.grandchild]) {
    assert.equal(byPid.get(pid)[2], 'sleep');
    assert.deepEqual(byPid.get(pid)[6], ['sleep', '30']);
  }
  for (const t of tuples) {
    assert.deepEqual([t[3], t[7], t[8]], ['ext.alpha', 'conv-42', 'req-7'], `tags of ${t[0]}`);
  }
});

test('an empty identifier is skipped for a later non-empty one; absent ones are empty strings', async () => {
  // Object keys keep their order, so the environment holds "ZORVAN_REQUEST_ID=" first and
  // "ZORVAN_REQUEST_ID=late=1" after it; the conversation entry is only ever empty.
  const child = start('sleep', ['30'], {
    env: { ZORVAN_REQUEST_ID: '', ZORVAN_CONVERSATION_ID: '', 'ZORVAN_REQUEST_ID=late': '1' },
  });
  await waitForCommand(child.pid, 'sleep');
  assert.match(readProc(child.pid, 'environ'), /\0ZORVAN_REQUEST_ID=\0.*ZORVAN_REQUEST_ID=late=1\0/s);
  const [tuple] = await scan([child.pid]);
  assert.deepEqual([tuple[3], tuple[7], tuple[8]], ['', '', 'late=1']);
});

test('args keep the leading strings that fit in 4096 bytes and skip empty ones', async () => {
  const script = 'setInterval(() => {}, 1000)';
  const a = 'a'.repeat(1000);
  // argv0 "p" + "-e" + script + 3 x 1000 + b fill exactly 4096 bytes; "c" and "d" no longer fit.
  const b = 'b'.repeat(4096 - 1 - 2 - script.length - 3000);
  const child = start(process.execPath, ['-e', script, '', a, a, a, b, 'c', 'd'], { argv0: 'p' });
  await waitForCommand(child.pid, 'p');
  const [tuple] = await scan([child.pid]);
  assert.equal(tuple[2], 'p');
  assert.deepEqual(tuple[6], ['p', '-e', script, a, a, a, b]);
});

test('duplicate roots and a root below an earlier root are listed once', async () => {
  const tree = await startTree();
  const once = (await scan([tree.root])).map((t) => t[0]);
  assert.deepEqual((await scan([tree.root, tree.root])).map((t) => t[0]), once);
  assert.deepEqual((await scan([tree.root, tree.grandchild, tree.inner])).map((t) => t[0]), once);
  // A later root keeps its own subtree once it was not reached before.
  const both = (await scan([tree.inner, tree.root])).map((t) => t[0]);
  assert.deepEqual(both.slice(0, 2), [tree.inner, tree.grandchild]);
  assert.equal(both.length, 4);
  assert.equal(new Set(both).size, 4);
});

test('a root that exited yields nothing, next to a live one', async () => {
  const gone = start('sleep', ['30']);
  await waitForCommand(gone.pid, 'sleep');
  const exited = new Promise((resolve) => gone.on('exit', resolve));
  gone.kill('SIGKILL');
  await exited;
  assert.deepEqual(await scan([gone.pid]), []);
  const live = start('sleep', ['30']);
  await waitForCommand(live.pid, 'sleep');
  assert.deepEqual((await scan([gone.pid, live.pid])).map((t) => t[0]), [live.pid]);
});

test('without a usable root the host process is scanned', async () => {
  const child = start('sleep', ['30']);
  await waitForCommand(child.pid, 'sleep');
  const tooFar = new Array(1024).fill('x').concat([child.pid]);
  for (const args of [[], ['not an array'], [{ 0: child.pid, length: 1 }], [[]],
    [[0, -5, 1.5, String(child.pid), NaN, Infinity, 2 ** 31, null, {}]], [tooFar]]) {
    const tuples = await scan(...args);
    assert.equal(tuples[0][0], process.pid, `arguments ${JSON.stringify(args).slice(0, 60)}`);
    assert.equal(tuples[0][1], process.ppid);
    assert.ok(tuples.some((t) => t[0] === child.pid), 'own children are included');
  }
});

test('at most 64 distinct roots are taken', async () => {
  const child = start('sleep', ['30']);
  await waitForCommand(child.pid, 'sleep');
  // Ids above pid_max never exist; repeats do not count towards the 64.
  const absent = Array.from({ length: 63 }, (_, i) => 2147483000 + i);
  assert.deepEqual((await scan([...absent, absent[0], child.pid])).map((t) => t[0]), [child.pid]);
  assert.deepEqual(await scan([...absent, 2147482999, child.pid]), []);
});

test('CPU time of a busy child grows and matches its stat line', async () => {
  const busy = start(process.execPath, ['-e', 'for (;;) {}']);
  await waitForCommand(busy.pid, process.execPath);
  // utime + stime in clock ticks (100 per second for user space on Linux).
  const statMs = () => {
    const fields = readProc(busy.pid, 'stat').split(') ')[1].split(' ');
    return (Number(fields[11]) + Number(fields[12])) * 10;
  };
  await waitFor(() => statMs() >= 100, 'the child to use CPU');
  const [first] = await scan([busy.pid]);
  await waitFor(() => statMs() >= first[4] + 200, 'more CPU time');
  const before = statMs();
  const [second] = await scan([busy.pid]);
  const after = statMs();
  assert.ok(first[4] >= 100, `${first[4]} ms`);
  assert.ok(second[4] >= first[4] + 200, `${first[4]} ms, then ${second[4]} ms`);
  assert.ok(before <= second[4] && second[4] <= after, `${before} <= ${second[4]} <= ${after}`);
});

test('resident size follows VmRSS', async () => {
  const holder = start(process.execPath, ['-e', 'const b = Buffer.alloc(96 << 20, 1); setInterval(() => b[0]++, 1000)']);
  await waitFor(() => (statusKiB(holder.pid, 'VmRSS') || 0) > 96 * 1024, 'the child to touch its buffer');
  // The child may still be starting up: its size is read on both sides of the scan. The
  // stat counter lags VmRSS's exact per-CPU sum by a few pages, hence 1 MiB of slack.
  const before = statusKiB(holder.pid, 'VmRSS') >> 10;
  const [tuple] = await scan([holder.pid]);
  const after = statusKiB(holder.pid, 'VmRSS') >> 10;
  assert.ok(tuple[5] >= 90, `${tuple[5]} MiB`);
  assert.ok(Math.min(before, after) - 1 <= tuple[5] && tuple[5] <= Math.max(before, after) + 1,
    `VmRSS ${before} MiB, scan ${tuple[5]} MiB, VmRSS ${after} MiB`);
});
