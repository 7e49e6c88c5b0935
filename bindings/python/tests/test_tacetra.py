"""The Python binding against the real native library, on files written by
the suite's fixture program.

Environment: TACETRA_LIBRARY (the built library), TACETRA_LIBRARY_DIR (a
directory that holds the library under its installed name only),
TACETRA_FIXTURE_WRITER (the tacetra_write_fixture program), TACETRA_HEADERS
(tacetra.h and tacetra_version.h, separated by os.pathsep).
"""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

import tacetra
from tacetra import _library

LONG_SECONDS = 20


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


class JobTest(TempDirTest):
    @classmethod
    def setUpClass(cls):
        cls.fixtures = pathlib.Path(tempfile.mkdtemp(prefix="tacetra-python-inputs-"))
        cls.long = write_fixture(cls.fixtures / "long.mkv", LONG_SECONDS)
        cls.short = write_fixture(cls.fixtures / "short.mkv")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.fixtures)

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

    def test_the_installed_name_is_found_without_tacetra_library(self):
        env = {k: v for k, v in os.environ.items() if k != "TACETRA_LIBRARY"}
        env["LD_LIBRARY_PATH"] = os.environ["TACETRA_LIBRARY_DIR"]
        run = subprocess.run([sys.executable, "-c", "import tacetra; print(tacetra.version())"],
                             env=env, capture_output=True, text=True)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout.strip(), tacetra.version())


if __name__ == "__main__":
    unittest.main()
