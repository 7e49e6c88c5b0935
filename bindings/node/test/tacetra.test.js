'use strict';
// The Node binding against the real native library, on files written by the
// suite's fixture program.
//
// Environment: TACETRA_LIBRARY (the built library), TACETRA_LIBRARY_DIR (a
// directory that holds the library under its installed name only),
// TACETRA_FIXTURE_WRITER (the tacetra_write_fixture program), TACETRA_HEADERS
// (tacetra.h and tacetra_version.h, separated by path.delimiter), NODE_PATH
// (where the package is installed).

const { after, before, test } = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync, spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { Worker } = require('node:worker_threads');

const tacetra = require('tacetra');
const library = require('tacetra/lib/library');

// Long enough that a job started on it is still running after the turns of
// the event loop an awaited start and a queued cancel take, even under load.
const LONG_SECONDS = 120;
let inputs;
let longInput;
let shortInput;

function writeFixture(file, seconds) {
  execFileSync(process.env.TACETRA_FIXTURE_WRITER, seconds === undefined ? [file] : [file, String(seconds)]);
  return file;
}

function headerMacros() {
  const macros = {};
  for (const header of process.env.TACETRA_HEADERS.split(path.delimiter)) {
    const text = fs.readFileSync(header, 'utf8');
    for (const [, name, value] of text.matchAll(/^#define (TACETRA_\w+) \(?(-?\d+)\)?/gm)) {
      macros[name] = Number(value);
    }
  }
  return macros;
}

// Runs `body` with a fresh directory and a way to start jobs, and frees
// every job it started before the directory goes, whatever failed.
async function withJobs(body) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tacetra-node-'));
  const jobs = [];
  const start = async (inPath, outPath) => {
    const job = await tacetra.Job.start(inPath, outPath);
    jobs.push(job);
    return job;
  };
  try {
    await body(dir, start);
  } finally {
    for (const job of jobs) await job.free();
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

before(() => {
  inputs = fs.mkdtempSync(path.join(os.tmpdir(), 'tacetra-node-inputs-'));
  longInput = writeFixture(path.join(inputs, 'long.mkv'), LONG_SECONDS);
  shortInput = writeFixture(path.join(inputs, 'short.mkv'));
});

after(() => fs.rmSync(inputs, { recursive: true, force: true }));

test('a job reports progress below 100, then exactly 100', () =>
  withJobs(async (dir, start) => {
    const out = path.join(dir, 'muted.mkv');
    const seen = [];
    const job = await start(longInput, out);
    const final = await job.done({ poll: 1, onProgress: (p) => seen.push(p) });

    assert.equal(final, tacetra.State.DONE, JSON.stringify(await job.result()));
    const percents = seen.map((p) => p.percent);
    assert.ok(percents[0] < 100, JSON.stringify(seen.slice(0, 3)));
    assert.deepEqual(percents, [...percents].sort((a, b) => a - b));
    assert.equal(percents.at(-1), 100);
    assert.equal(seen.at(-1).state, tacetra.State.DONE);
    const result = await job.result();
    assert.equal(result.ok, true);
    assert.equal(result.out_path, out);
    assert.equal(result.out_size_bytes, fs.statSync(out).size);
    assert.equal((await tacetra.probe(out)).audio_tracks, 0);
  }));

test('done() leaves the event loop free while the job runs', () =>
  withJobs(async (dir, start) => {
    const job = await start(longInput, path.join(dir, 'muted.mkv'));
    let turns = 0;
    const ticker = setInterval(() => ++turns, 0);
    try {
      assert.equal(await job.done({ poll: 5 }), tacetra.State.DONE);
    } finally {
      clearInterval(ticker);
    }
    assert.ok(turns > 0, 'no timer ran while done() waited');
  }));

test('a cancelled job ends cancelled and leaves no output', () =>
  withJobs(async (dir, start) => {
    const job = await start(longInput, path.join(dir, 'cancelled.mkv'));
    await job.cancel();
    assert.equal(await job.done({ poll: 1 }), tacetra.State.CANCELLED);
    assert.equal(await job.state(), tacetra.State.CANCELLED);
    const result = await job.result();
    assert.deepEqual([result.state, result.ok, result.out_size_bytes], [4, false, 0]);
    assert.deepEqual(fs.readdirSync(dir), []);
  }));

test('a failed job is told apart from a cancelled one', () =>
  withJobs(async (dir, start) => {
    const job = await start(shortInput, path.join(dir, 'out.no-such-container'));
    assert.equal(await job.done({ poll: 1 }), tacetra.State.FAILED);
    assert.deepEqual(await job.result(), { state: 5, ok: false, error: 'cannot create output' });
  }));

test('refusals throw one error type with the code and its name', () =>
  withJobs(async (dir, start) => {
    const out = path.join(dir, 'out.mkv');
    const cases = [
      ['empty input', '', out, tacetra.StartCode.ERR_ARGS, 'TACETRA_ERR_ARGS'],
      ['longest path and one', path.join(dir, 'x'.repeat(tacetra.PATH_MAX)), out, -1, 'TACETRA_ERR_ARGS'],
      ['output is the input', shortInput, shortInput, -1, 'TACETRA_ERR_ARGS'],
      ['missing input', path.join(dir, 'missing.mkv'), out, tacetra.StartCode.ERR_OPEN, 'TACETRA_ERR_OPEN'],
    ];
    for (const [what, inPath, outPath, code, codeName] of cases) {
      await assert.rejects(start(inPath, outPath), (error) => {
        assert.ok(error instanceof tacetra.StartRefusedError, what);
        assert.deepEqual([error.code, error.codeName], [code, codeName], what);
        assert.match(error.message, new RegExp(`${codeName} \\(${code}\\)`), what);
        return true;
      });
    }
  }));

test('a job beyond the last slot is refused as busy', () =>
  withJobs(async (dir, start) => {
    const jobs = [];
    for (let i = 0; i < tacetra.MAX_JOBS; ++i) jobs.push(await start(longInput, path.join(dir, `out${i}.mkv`)));
    assert.deepEqual(jobs.map((job) => job.id), [...Array(tacetra.MAX_JOBS).keys()]);
    await assert.rejects(start(longInput, path.join(dir, 'one-too-many.mkv')),
      { name: 'StartRefusedError', code: tacetra.StartCode.ERR_BUSY, codeName: 'TACETRA_ERR_BUSY' });
  }));

test('free() frees the slot and the unfinished output', () =>
  withJobs(async (dir, start) => {
    const job = await start(longInput, path.join(dir, 'unfinished.mkv'));
    assert.equal(job.id, 0);
    await job.free();
    for (const use of [() => job.progress(), () => job.result(), () => job.state(), () => job.cancel()]) {
      await assert.rejects(use(), /the job has been freed/);
    }
    await job.free();
    assert.deepEqual(fs.readdirSync(dir), []);
    assert.equal((await start(shortInput, path.join(dir, 'next.mkv'))).id, 0);
  }));

test('Symbol.asyncDispose frees the job', () =>
  withJobs(async (dir) => {
    const job = await tacetra.Job.start(longInput, path.join(dir, 'unfinished.mkv'));
    await job[Symbol.asyncDispose]();
    assert.throws(() => job.id, /the job has been freed/);
    assert.deepEqual(fs.readdirSync(dir), []);
  }));

test('aborting the signal of done() cancels the job', () =>
  withJobs(async (dir, start) => {
    const job = await start(longInput, path.join(dir, 'cancelled.mkv'));
    const aborting = new AbortController();
    // Aborted at its first report, while the job still runs.
    await assert.rejects(job.done({ poll: 1, signal: aborting.signal, onProgress: () => aborting.abort() }),
      { name: 'AbortError' });
    assert.equal(await job.done({ poll: 1 }), tacetra.State.CANCELLED);
    assert.deepEqual(fs.readdirSync(dir), []);
  }));

test('a probe waiting on a late FIFO leaves the event loop free', () =>
  withJobs(async (dir) => {
    const fifo = path.join(dir, 'late.fifo');
    execFileSync('mkfifo', [fifo]);
    // The writer the test means comes from the timer's 20th turn, which a
    // blocked event loop never reaches; a fallback comes much later, so that
    // a blocked loop fails the test rather than hanging it.
    const fallback = spawn('sh', ['-c', 'sleep 10; exec cat "$0" > "$1"', shortInput, fifo], { stdio: 'ignore' });
    let turns = 0;
    let writerTurn = null;
    const ticker = setInterval(() => {
      if (++turns === 20) {
        writerTurn = turns;
        fs.createReadStream(shortInput).pipe(fs.createWriteStream(fifo));
      }
    }, 10);
    try {
      const report = await tacetra.probe(fifo);
      assert.equal(writerTurn, 20, `the timer ran ${turns} times while the probe waited`);
      assert.equal(report.ok, true, JSON.stringify(report));
      assert.deepEqual(report.streams.map((s) => s.type), ['video', 'audio']);
    } finally {
      clearInterval(ticker);
      fallback.kill();
    }
  }));

test('many concurrent promises probing and running jobs get their own answers', () =>
  withJobs(async (dir) => {
    const files = [shortInput, longInput, ...['short.mp4', 'short.ts', 'short.mov'].map((n) => writeFixture(path.join(dir, n)))];
    const alone = new Map();
    for (const file of files) alone.set(file, JSON.stringify(await tacetra.probe(file)));
    assert.equal(new Set(alone.values()).size, files.length);
    const outputs = path.join(dir, 'outputs');
    fs.mkdirSync(outputs);
    const PROBERS = 6, PROBES_EACH = 250, STARTERS = 3, JOBS_EACH = 60;
    const wrong = [];
    let reports = 0;
    let jobsRun = 0;
    const prober = async (p) => {
      for (let i = 0; i < PROBES_EACH; ++i) {
        const file = files[(p + i) % files.length];
        const report = JSON.stringify(await tacetra.probe(file));
        ++reports;
        if (report !== alone.get(file)) wrong.push(`${file}: ${report}`);
      }
    };
    const starter = async (t) => {
      for (let i = 0; i < JOBS_EACH; ++i) {
        const out = path.join(outputs, `t${t}-${i}.mkv`);
        const job = await tacetra.Job.start(shortInput, out);
        const state = await job.done({ poll: 1 });
        const result = await job.result();
        await job.free();
        ++jobsRun;
        if (state !== tacetra.State.DONE || result.out_path !== out || fs.statSync(out).size !== result.out_size_bytes) {
          wrong.push(`${out}: ${state} ${JSON.stringify(result)}`);
        }
      }
    };
    await Promise.all([...Array(PROBERS).keys()].map(prober).concat([...Array(STARTERS).keys()].map(starter)));

    const expected = [];
    for (let t = 0; t < STARTERS; ++t) for (let i = 0; i < JOBS_EACH; ++i) expected.push(`t${t}-${i}.mkv`);
    assert.deepEqual(fs.readdirSync(outputs).sort(), expected.sort());
    console.log(`threads: ${reports} reports checked, ${jobsRun} jobs run, ${wrong.length} wrong`);
    assert.deepEqual([reports, jobsRun], [PROBERS * PROBES_EACH, STARTERS * JOBS_EACH]);
    assert.deepEqual(wrong, []);
  }));

test('loading the binding in a worker thread is refused', async () => {
  const worker = new Worker("require('tacetra')", { eval: true });
  const error = await new Promise((resolve) => worker.once('error', resolve));
  assert.match(error.message, /tacetra cannot be loaded in a worker thread/);
});

test('exit with running jobs leaves no partial file', () =>
  withJobs(async (dir) => {
    const begin = `
      const tacetra = require('tacetra');
      const path = require('node:path');
      const starts = [...Array(tacetra.MAX_JOBS).keys()]
        .map((i) => tacetra.Job.start(${JSON.stringify(longInput)}, path.join(${JSON.stringify(dir)}, \`out\${i}.mkv\`)));
      Promise.all(starts).then((jobs) => {`;
    const cases = [
      ['the event loop empties', '', 0],
      ['process.exit', 'process.exit(3);', 3],
      ['an uncaught exception', "throw new Error('boom');", 1],
    ];
    for (const [what, end, code] of cases) {
      const run = spawnSync(process.execPath, ['-e', `${begin} ${end} });`], { encoding: 'utf8' });
      assert.equal(run.status, code, `${what}: ${run.stderr}`);
      // A job that ended done before the exit has its output; nothing else is left.
      const outputs = [...Array(tacetra.MAX_JOBS).keys()].map((i) => `out${i}.mkv`);
      assert.deepEqual(fs.readdirSync(dir).filter((name) => !outputs.includes(name)), [], what);
      for (const name of fs.readdirSync(dir)) fs.rmSync(path.join(dir, name));
    }
  }));

test('a collected job frees its slot with a warning', () =>
  withJobs(async (dir) => {
    const script = `
      const tacetra = require('tacetra');
      const path = require('node:path');
      process.on('warning', async (warning) => {
        const next = await tacetra.Job.start(${JSON.stringify(shortInput)}, path.join(${JSON.stringify(dir)}, 'next.mkv'));
        console.log(warning.name, warning.message, next.id);
        await next.free();
      });
      tacetra.Job.start(${JSON.stringify(longInput)}, path.join(${JSON.stringify(dir)}, 'dropped.mkv'))
        .then(() => setImmediate(() => gc()));`;
    const run = spawnSync(process.execPath, ['--expose-gc', '-e', script], { encoding: 'utf8' });
    assert.equal(run.status, 0, run.stderr);
    assert.equal(run.stdout.trim(), 'ResourceWarning unfreed job in slot 0: freed as it was collected 0');
    // Outputs only of jobs that ended done first; never a partial file.
    assert.deepEqual(fs.readdirSync(dir).filter((name) => !['next.mkv', 'dropped.mkv'].includes(name)), []);
  }));

test('a file whose name is not ASCII is probed and muted', () =>
  withJobs(async (dir, start) => {
    const name = path.join(dir, 'Übung – 視頻 🎬.mkv');
    fs.copyFileSync(shortInput, name);
    const report = await tacetra.probe(name);
    assert.deepEqual(report, await tacetra.probe(shortInput));
    assert.equal(report.ok, true);
    assert.deepEqual(report.streams.map((s) => s.type), ['video', 'audio']);

    const out = path.join(dir, 'stumm – 無音.mkv');
    const job = await start(name, out);
    assert.equal(await job.done({ poll: 1 }), tacetra.State.DONE);
    assert.equal((await job.result()).out_path, out);
    assert.ok(fs.existsSync(out));
  }));

test('a returned text reads the same twice without being freed', () =>
  withJobs(async (dir, start) => {
    const job = await start(shortInput, path.join(dir, 'out.mkv'));
    await job.done({ poll: 1 });
    for (const read of [() => job.result(), () => job.progress(), () => tacetra.probe(shortInput), tacetra.version]) {
      assert.deepEqual(await read(), await read());
    }
  }));

test('a path that is not a string or holds a NUL is refused before the library', () =>
  withJobs(async (dir, start) => {
    await assert.rejects(start(shortInput, `${path.join(dir, 'out.mkv')}\0.txt`), TypeError);
    await assert.rejects(start(shortInput, null), TypeError);
    await assert.rejects(tacetra.probe(`${shortInput}\0`), TypeError);
    assert.deepEqual(fs.readdirSync(dir), []);
  }));

test('the constants are the header\'s', () => {
  const macros = headerMacros();
  assert.equal(tacetra.MAX_JOBS, macros.TACETRA_MAX_JOBS);
  assert.equal(tacetra.PATH_MAX, macros.TACETRA_PATH_MAX);
  for (const [name, value] of Object.entries(tacetra.State)) assert.equal(value, macros[`TACETRA_${name}`], name);
  const codes = Object.fromEntries(Object.entries(macros).filter(([name]) => name.startsWith('TACETRA_ERR_')));
  assert.deepEqual(codes, Object.fromEntries(Object.entries(tacetra.StartCode).map(([k, v]) => [`TACETRA_${k}`, v])));
  assert.equal(library.NATIVE_MAJOR, macros.TACETRA_VERSION_MAJOR);
  const numbers = ['MAJOR', 'MINOR', 'PATCH'].map((part) => macros[`TACETRA_VERSION_${part}`]).join('.');
  assert.ok(tacetra.version().startsWith(`${numbers} (libavformat `), tacetra.version());
});

test('another major version is refused at load', () => {
  assert.throws(() => library.openLibrary(process.env.TACETRA_LIBRARY, library.NATIVE_MAJOR + 1), (error) => {
    assert.ok(error instanceof tacetra.VersionMismatchError);
    assert.ok(error.message.includes(tacetra.version()), error.message);
    assert.ok(error.message.includes(`needs major version ${library.NATIVE_MAJOR + 1}`), error.message);
    return true;
  });
});

test('a library that does not load is named, and the installed name is found', () => {
  const missing = path.join(os.tmpdir(), 'no-such-dir', 'libquenlark-tacetra.so.1');
  const script = "console.log(require('tacetra').version())";
  const failed = spawnSync(process.execPath, ['-e', script],
    { env: { ...process.env, TACETRA_LIBRARY: missing }, encoding: 'utf8' });
  assert.notEqual(failed.status, 0);
  assert.match(failed.stderr, /LibraryError: cannot load the quenlark-tacetra library/);
  assert.ok(failed.stderr.includes(missing), failed.stderr);

  const env = { ...process.env, LD_LIBRARY_PATH: process.env.TACETRA_LIBRARY_DIR };
  delete env.TACETRA_LIBRARY;
  const found = spawnSync(process.execPath, ['-e', script], { env, encoding: 'utf8' });
  assert.equal(found.status, 0, found.stderr);
  assert.equal(found.stdout.trim(), tacetra.version());
});
