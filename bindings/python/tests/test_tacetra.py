"""The Python binding against the real native library, on files written by
the suite's fixture program.

Environment: TACETRA_LIBRARY (the built library), TACETRA_LIBRARY_DIR (a
directory that holds the library under its installed name only),
TACETRA_FIXTURE_WRITER (the tacetra_write_fixture program), TACETRA_HEADERS
(tacetra.h and tacetra_version.h, separated by os.pathsep).
"""

import asyncio
import gc
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap
import threading
import unittest
import warnings

import tacetra
from tacetra import _library

# Long enough that a job started on it is still running when a test cancels it, even under load.
LONG_SECONDS = 60


def write_fixture(path, seconds=None):
    command = [os.environ["TACETRA_FIXTURE_WRITER"], os.fspath(path)]
    if seconds is not None:
        command.append(str(seconds))
    subprocess.run(command, check=True)
    return path


def header_macros():
    macros = {}
    for header in os.environ["TACETRA_HEADERS"].split(os.pathsep):
        text = pathlib.Path(header).read_text()
        for name, value in re.findall(r"^#define (TACETRA_\w+) \(?(-?\d+)\)?", text, re.MULTILINE):
            macros[name] = int(value)
    return macros


class TempDirTest(unittest.TestCase):
    def setUp(self):
        self.dir = pathlib.Path(tempfile.mkdtemp(prefix="tacetra-python-"))
        self.addCleanup(shutil.rmtree, self.dir)
        self.jobs = []
        # Free every slot before the directory goes, whatever failed.
        self.addCleanup(lambda: [job.free() for job in self.jobs])

    def start(self, in_path, out_path):
        job = tacetra.Job(in_path, out_path)
        self.jobs.append(job)
        return job


class FixtureTest(TempDirTest):
    """Has a short and a long input for its tests."""

    @classmethod
    def setUpClass(cls):
        cls.fixtures = pathlib.Path(tempfile.mkdtemp(prefix="tacetra-python-inputs-"))
        cls.long = write_fixture(cls.fixtures / "long.mkv", LONG_SECONDS)
        cls.short = write_fixture(cls.fixtures / "short.mkv")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.fixtures)


class JobTest(FixtureTest):
    def test_a_job_reports_progress_below_100_then_exactly_100(self):
        out = self.dir / "muted.mkv"
        seen = []
        job = self.start(self.long, out)
        final = job.wait(poll=0.001, on_progress=seen.append)

        self.assertIs(final, tacetra.State.DONE, job.result())
        percents = [p["percent"] for p in seen]
        self.assertLess(percents[0], 100.0, seen[:3])
        self.assertEqual(percents, sorted(percents))
        self.assertEqual(seen[-1]["percent"], 100.0)
        self.assertEqual(seen[-1]["state"], tacetra.State.DONE)
        result = job.result()
        self.assertTrue(result["ok"])
        self.assertEqual(result["out_path"], str(out))
        self.assertEqual(result["out_size_bytes"], out.stat().st_size)
        self.assertEqual(tacetra.probe(self.long)["audio_tracks"], 1)
        self.assertEqual(tacetra.probe(out)["audio_tracks"], 0)

    def test_a_cancelled_job_ends_cancelled_and_leaves_no_output(self):
        out = self.dir / "cancelled.mkv"
        job = self.start(self.long, out)
        job.cancel()
        self.assertIs(job.wait(poll=0.001), tacetra.State.CANCELLED)
        self.assertIs(job.state, tacetra.State.CANCELLED)
        result = job.result()
        self.assertEqual((result["state"], result["ok"], result["out_size_bytes"]), (4, False, 0))
        self.assertEqual(os.listdir(self.dir), [])

    def test_a_failed_job_is_told_apart_from_a_cancelled_one(self):
        job = self.start(self.short, self.dir / "out.no-such-container")
        self.assertIs(job.wait(poll=0.001), tacetra.State.FAILED)
        self.assertEqual(job.result(), {"state": 5, "ok": False, "error": "cannot create output"})

    def test_refusals_raise_one_exception_with_the_code_and_its_name(self):
        out = self.dir / "out.mkv"
        args, open_ = tacetra.StartCode.ERR_ARGS, tacetra.StartCode.ERR_OPEN
        cases = [
            ("empty input", "", out, args, "TACETRA_ERR_ARGS"),
            ("too long", self.dir / ("x" * tacetra.PATH_MAX), out, args, "TACETRA_ERR_ARGS"),
            ("output is the input", self.short, self.short, args, "TACETRA_ERR_ARGS"),
            ("missing input", self.dir / "missing.mkv", out, open_, "TACETRA_ERR_OPEN"),
        ]
        for what, in_path, out_path, code, name in cases:
            with self.subTest(what):
                with self.assertRaises(tacetra.StartRefusedError) as refused:
                    self.start(in_path, out_path)
                self.assertEqual(refused.exception.code, code)
                self.assertEqual(refused.exception.name, name)
                self.assertIn(f"{name} ({int(code)})", str(refused.exception))

    def test_a_job_beyond_the_last_slot_is_refused_as_busy(self):
        jobs = [self.start(self.long, self.dir / f"out{i}.mkv") for i in range(tacetra.MAX_JOBS)]
        self.assertEqual([job.id for job in jobs], list(range(tacetra.MAX_JOBS)))
        with self.assertRaises(tacetra.StartRefusedError) as refused:
            self.start(self.long, self.dir / "one-too-many.mkv")
        self.assertEqual((refused.exception.code, refused.exception.name), (-2, "TACETRA_ERR_BUSY"))

    def test_leaving_the_with_block_frees_the_slot_and_its_output(self):
        out = self.dir / "unfinished.mkv"
        with tacetra.Job(self.long, out) as job:
            self.assertEqual(job.id, 0)
        with self.assertRaises(ValueError):
            job.progress()
        job.free()
        self.assertEqual(os.listdir(self.dir), [])
        self.assertEqual(self.start(self.short, self.dir / "next.mkv").id, 0)

    def test_a_file_whose_name_is_not_ascii_is_probed_and_muted(self):
        name = self.dir / "Übung – 視頻 🎬.mkv"
        shutil.copyfile(self.short, name)
        report = tacetra.probe(name)
        self.assertEqual(report, tacetra.probe(self.short))
        self.assertTrue(report["ok"])
        self.assertEqual([s["type"] for s in report["streams"]], ["video", "audio"])

        out = self.dir / "stumm – 無音.mkv"
        job = self.start(name, out)
        self.assertIs(job.wait(poll=0.001), tacetra.State.DONE)
        self.assertEqual(job.result()["out_path"], str(out))
        self.assertTrue(out.exists())

    def test_a_returned_text_reads_the_same_twice_without_being_freed(self):
        job = self.start(self.short, self.dir / "out.mkv")
        job.wait(poll=0.001)
        for read in (job.result, job.progress, lambda: tacetra.probe(self.short), tacetra.version):
            with self.subTest(read=read):
                first = read()
                self.assertEqual(read(), first)

    def test_a_path_holding_a_nul_is_refused_before_it_reaches_the_library(self):
        with self.assertRaises(ValueError):
            self.start(self.short, str(self.dir / "out.mkv") + "\0.txt")
        with self.assertRaises(ValueError):
            tacetra.probe(str(self.short) + "\0")
        self.assertEqual(os.listdir(self.dir), [])


class WaitTest(FixtureTest):
    def test_wait_gives_up_at_its_timeout_and_leaves_the_job_running(self):
        waits = {
            "wait": lambda job: job.wait(poll=0.001, timeout=0),
            "wait_async": lambda job: asyncio.run(job.wait_async(poll=0.001, timeout=0)),
        }
        for name, wait in waits.items():
            with self.subTest(name):
                job = self.start(self.long, self.dir / f"{name}.mkv")
                with self.assertRaisesRegex(TimeoutError, f"slot {job.id} has not ended within 0 s"):
                    wait(job)
                self.assertIs(job.wait(poll=0.001), tacetra.State.DONE)

    def test_wait_async_reports_progress_and_ends_done(self):
        out = self.dir / "muted.mkv"
        seen = []
        job = self.start(self.short, out)
        final = asyncio.run(job.wait_async(poll=0.001, on_progress=seen.append))
        self.assertIs(final, tacetra.State.DONE)
        self.assertEqual(seen[-1]["percent"], 100.0)
        self.assertTrue(out.exists())

    def test_cancelling_the_task_of_wait_async_cancels_the_job(self):
        job = self.start(self.long, self.dir / "cancelled.mkv")

        async def wait_then_cancel():
            # Cancelled at its first report, while the job still runs.
            task = asyncio.ensure_future(job.wait_async(poll=0.001, on_progress=lambda p: task.cancel()))
            with self.assertRaises(asyncio.CancelledError):
                await task

        asyncio.run(wait_then_cancel())
        self.assertIs(job.wait(poll=0.001), tacetra.State.CANCELLED)
        self.assertEqual(os.listdir(self.dir), [])


class LifetimeTest(FixtureTest):
    def test_a_collected_job_frees_its_slot_with_a_resource_warning(self):
        out = self.dir / "dropped.mkv"
        job = tacetra.Job(self.long, out)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            del job  # dropped while it still runs
            gc.collect()
        self.assertEqual([w.category for w in caught], [ResourceWarning], caught)
        self.assertIn("slot 0", str(caught[0].message))
        # Its output only if it ended done first; never a partial file.
        self.assertLessEqual(set(os.listdir(self.dir)), {"dropped.mkv"})
        self.assertEqual(self.start(self.short, self.dir / "next.mkv").id, 0)

    def test_exit_with_running_jobs_leaves_no_partial_file(self):
        begin = f"""
            import sys, tacetra
            jobs = [tacetra.Job({str(self.long)!r}, {str(self.dir)!r} + f"/out{{i}}.mkv")
                    for i in range(tacetra.MAX_JOBS)]
        """
        cases = [
            ("the script ends", "", 0),
            ("sys.exit", "sys.exit(3)", 3),
            ("an uncaught exception", "raise RuntimeError('boom')", 1),
            ("the jobs are dropped first", "del jobs", 0),
            # Never collected: only the exit hook frees them.
            ("a daemon thread holds the jobs",
             "import threading, time\n"
             "threading.Thread(target=lambda held: time.sleep(60), args=(jobs,), daemon=True).start()\n"
             "del jobs", 0),
        ]
        for what, end, code in cases:
            with self.subTest(what):
                script = textwrap.dedent(begin) + end
                run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
                self.assertEqual(run.returncode, code, run.stderr)
                # A job that ended done before the exit has its output; nothing else is left.
                outputs = {f"out{i}.mkv" for i in range(tacetra.MAX_JOBS)}
                self.assertLessEqual(set(os.listdir(self.dir)), outputs)
                for name in os.listdir(self.dir):
                    os.remove(self.dir / name)


class ThreadsTest(FixtureTest):
    """Threads probing and running jobs at once: every report is the one
    its file gives alone, and every output is at its own name."""

    PROBERS, PROBES_EACH = 3, 1000
    STARTERS, JOBS_EACH = 3, 60

    def test_threads_probing_and_running_jobs_at_once_get_their_own_answers(self):
        inputs = [self.short, self.long]
        for name in ("short.mp4", "short.ts", "short.mov"):
            inputs.append(write_fixture(self.dir / name))
        alone = {path: tacetra.probe(path) for path in inputs}
        self.assertEqual(len({str(report) for report in alone.values()}), len(inputs))
        outputs = self.dir / "outputs"
        outputs.mkdir()
        wrong = []
        counts = {"reports": 0, "jobs": 0}
        count_lock = threading.Lock()

        def note(ok, what, kind):
            with count_lock:
                counts[kind] += 1
                if not ok:
                    wrong.append(what)

        def prober(t):
            for i in range(self.PROBES_EACH):
                path = inputs[(t + i) % len(inputs)]
                report = tacetra.probe(path)
                note(report == alone[path], (path, report), "reports")

        def starter(t):
            for i in range(self.JOBS_EACH):
                out = outputs / f"t{t}-{i}.mkv"
                with tacetra.Job(self.short, out) as job:
                    state = job.wait(poll=0.001)
                    result = job.result()
                ok = (state is tacetra.State.DONE and result["out_path"] == str(out)
                      and out.stat().st_size == result["out_size_bytes"])
                note(ok, (str(out), state, result), "jobs")

        threads = [threading.Thread(target=prober, args=(t,)) for t in range(self.PROBERS)]
        threads += [threading.Thread(target=starter, args=(t,)) for t in range(self.STARTERS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

        expected = {f"t{t}-{i}.mkv" for t in range(self.STARTERS) for i in range(self.JOBS_EACH)}
        self.assertEqual(set(os.listdir(outputs)), expected)
        print(f"\nthreads: {counts['reports']} reports checked, {counts['jobs']} jobs run, "
              f"{len(wrong)} wrong", file=sys.stderr)
        self.assertEqual(counts, {"reports": self.PROBERS * self.PROBES_EACH,
                                  "jobs": self.STARTERS * self.JOBS_EACH})
        self.assertEqual(wrong, [])


class LibraryTest(unittest.TestCase):
    def test_the_constants_are_the_headers(self):
        macros = header_macros()
        self.assertEqual(tacetra.MAX_JOBS, macros["TACETRA_MAX_JOBS"])
        self.assertEqual(tacetra.PATH_MAX, macros["TACETRA_PATH_MAX"])
        self.assertEqual({f"TACETRA_{s.name}": int(s) for s in tacetra.State},
                         {k: v for k, v in macros.items() if k[8:] in tacetra.State.__members__})
        self.assertEqual({f"TACETRA_{c.name}": int(c) for c in tacetra.StartCode},
                         {k: v for k, v in macros.items() if k.startswith("TACETRA_ERR_")})
        self.assertEqual(_library.NATIVE_MAJOR, macros["TACETRA_VERSION_MAJOR"])

    def test_the_version_is_the_headers(self):
        macros = header_macros()
        numbers = ".".join(str(macros[f"TACETRA_VERSION_{part}"])
                           for part in ("MAJOR", "MINOR", "PATCH"))
        self.assertTrue(tacetra.version().startswith(numbers + " (libavformat "), tacetra.version())

    def test_another_major_version_is_refused_at_load(self):
        other = _library.NATIVE_MAJOR + 1
        with self.assertRaises(tacetra.VersionMismatchError) as refused:
            _library.open_library(os.environ["TACETRA_LIBRARY"], expected_major=other)
        message = str(refused.exception)
        self.assertIn(tacetra.version(), message)
        self.assertIn(f"needs major version {other}", message)

    def test_a_library_that_does_not_load_is_named(self):
        missing = os.path.join(tempfile.gettempdir(), "no-such-dir", "libquenlark-tacetra.so.1")
        run = subprocess.run([sys.executable, "-c", "import tacetra; tacetra.version()"],
                             env={**os.environ, "TACETRA_LIBRARY": missing},
                             capture_output=True, text=True)
        self.assertNotEqual(run.returncode, 0)
        self.assertIn("LibraryError: cannot load the quenlark-tacetra library", run.stderr)
        self.assertIn(missing, run.stderr)

    def run_without_tacetra_library(self, command, **env):
        clean = {k: v for k, v in os.environ.items()
                 if k not in ("TACETRA_LIBRARY", "LD_LIBRARY_PATH")}
        return subprocess.run(command, env={**clean, **env}, capture_output=True, text=True)

    def test_a_library_in_the_package_folder_is_found_first(self):
        with tempfile.TemporaryDirectory() as site:
            package = pathlib.Path(site) / "tacetra"
            shutil.copytree(pathlib.Path(tacetra.__file__).parent, package)
            shutil.copy(os.environ["TACETRA_LIBRARY"], package / _library.INSTALLED_NAMES[0])
            run = self.run_without_tacetra_library(
                [sys.executable, "-c", "import tacetra; from tacetra import _library; "
                 "print(tacetra.version()); print(_library.native()._name)"], PYTHONPATH=site)
            self.assertEqual(run.returncode, 0, run.stderr)
            self.assertEqual(run.stdout.splitlines(),
                             [tacetra.version(), str(package / _library.INSTALLED_NAMES[0])])

    @unittest.skipUnless(shutil.which("unshare") and os.geteuid() == 0,
                         "needs root and unshare to lay a private /usr/local/lib")
    def test_a_library_installed_in_usr_local_lib_is_found_without_ldconfig(self):
        # In a mount namespace of its own, /usr/local/lib holds the library as
        # `cmake --install` lays it, and the loader's cache knows nothing of it.
        with tempfile.TemporaryDirectory() as lib:
            shutil.copy(os.environ["TACETRA_LIBRARY"], os.path.join(lib, _library.INSTALLED_NAMES[0]))
            script = "import tacetra; print(tacetra.version())"
            run = self.run_without_tacetra_library(
                ["unshare", "-m", "sh", "-c", f'mount --bind "$0" /usr/local/lib && exec "$@"', lib,
                 sys.executable, "-c", script])
            if "unshare failed" in run.stderr or "mount:" in run.stderr:
                self.skipTest(run.stderr.strip())
            self.assertEqual(run.returncode, 0, run.stderr)
            self.assertEqual(run.stdout.strip(), tacetra.version())

    def test_the_installed_name_is_found_without_tacetra_library(self):
        env = {k: v for k, v in os.environ.items() if k != "TACETRA_LIBRARY"}
        env["LD_LIBRARY_PATH"] = os.environ["TACETRA_LIBRARY_DIR"]
        run = subprocess.run([sys.executable, "-c", "import tacetra; print(tacetra.version())"],
                             env=env, capture_output=True, text=True)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout.strip(), tacetra.version())


if __name__ == "__main__":
    unittest.main()
