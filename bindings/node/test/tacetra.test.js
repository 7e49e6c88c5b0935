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
const { execFileSync, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const tacetra = require('tacetra');
const library = require('tacetra/lib/library');

const LONG_SECONDS = 20;
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
  const start = (inPath, outPath) => {
    const job = new tacetra.Job(inPath, outPath);
    jobs.push(job);
    return job;
  };
  try {
    await body(dir, start);
  } finally {
    for (const job of jobs) job.free();
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
    const job = start(longInput, out);
    const final = await job.done({ poll: 1, onProgress: (p) => seen.push(p) });

    assert.equal(final, tacetra.State.DONE, JSON.stringify(job.result()));
    const percents = seen.map((p) => p.percent);
    assert.ok(percents[0] < 100, JSON.stringify(seen.slice(0, 3)));
    assert.deepEqual(percents, [...percents].sort((a, b) => a - b));
    assert.equal(percents.at(-1), 100);
    assert.equal(seen.at(-1).state, tacetra.State.DONE);
    const result = job.result();
    assert.equal(result.ok, true);
    assert.equal(result.out_path, out);
    assert.equal(result.out_size_bytes, fs.statSync(out).size);
    assert.equal(tacetra.probe(out).audio_tracks, 0);
  }));

test('done() leaves the event loop free while the job runs', () =>
  withJobs(async (dir, start) => {
    const job = start(longInput, path.join(dir, 'muted.mkv'));
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
    const job = start(longInput, path.join(dir, 'cancelled.mkv'));
    job.cancel();
    assert.equal(await job.done({ poll: 1 }), tacetra.State.CANCELLED);
    assert.equal(job.state, tacetra.State.CANCELLED);
    const result = job.result();
    assert.deepEqual([result.state, result.ok, result.out_size_bytes], [4, false, 0]);
    assert.deepEqual(fs.readdirSync(dir), []);
  }));

test('a failed job is told apart from a cancelled one', () =>
  withJobs(async (dir, start) => {
    const job = start(shortInput, path.join(dir, 'out.no-such-container'));
    assert.equal(await job.done({ poll: 1 }), tacetra.State.FAILED);
    assert.deepEqual(job.result(), { state: 5, ok: false, error: 'cannot create output' });
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
      assert.throws(() => start(inPath, outPath), (error) => {
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
    for (let i = 0; i < tacetra.MAX_JOBS; ++i) jobs.push(start(longInput, path.join(dir, `out${i}.mkv`)));
    assert.deepEqual(jobs.map((job) => job.id), [...Array(tacetra.MAX_JOBS).keys()]);
    assert.throws(() => start(longInput, path.join(dir, 'one-too-many.mkv')),
      { name: 'StartRefusedError', code: tacetra.StartCode.ERR_BUSY, codeName: 'TACETRA_ERR_BUSY' });
  }));

test('free() frees the slot and the unfinished output', () =>
  withJobs(async (dir, start) => {
    const job = start(longInput, path.join(dir, 'unfinished.mkv'));
    assert.equal(job.id, 0);
    job.free();
    assert.throws(() => job.progress(), /the job has been freed/);
    job.free();
    assert.deepEqual(fs.readdirSync(dir), []);
    assert.equal(start(shortInput, path.join(dir, 'next.mkv')).id, 0);
  }));

test('a file whose name is not ASCII is probed and muted', () =>
  withJobs(async (dir, start) => {
    const name = path.join(dir, 'Übung – 視頻 🎬.mkv');
    fs.copyFileSync(shortInput, name);
    const report = tacetra.probe(name);
    assert.deepEqual(report, tacetra.probe(shortInput));
    assert.equal(report.ok, true);
    assert.deepEqual(report.streams.map((s) => s.type), ['video', 'audio']);

    const out = path.join(dir, 'stumm – 無音.mkv');
    const job = start(name, out);
    assert.equal(await job.done({ poll: 1 }), tacetra.State.DONE);
    assert.equal(job.result().out_path, out);
    assert.ok(fs.existsSync(out));
  }));

test('a returned text reads the same twice without being freed', () =>
  withJobs(async (dir, start) => {
    const job = start(shortInput, path.join(dir, 'out.mkv'));
    await job.done({ poll: 1 });
    for (const read of [() => job.result(), () => job.progress(), () => tacetra.probe(shortInput), tacetra.version]) {
      assert.deepEqual(read(), read());
    }
  }));

test('a path that is not a string or holds a NUL is refused before the library', () =>
  withJobs(async (dir, start) => {
    assert.throws(() => start(shortInput, `${path.join(dir, 'out.mkv')}\0.txt`), TypeError);
    assert.throws(() => start(shortInput, null), TypeError);
    assert.throws(() => tacetra.probe(`${shortInput}\0`), TypeError);
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
