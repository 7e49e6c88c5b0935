#!/usr/bin/env python3
"""Mutes a video file through quenlark-tacetra using nothing but ctypes.

    python3 mute.py [--library PATH] INPUT OUTPUT

Starts a job, prints its progress until it ends, prints the result and
frees the slot. Without --library the library is looked up by name.
"""
import argparse
import ctypes
import ctypes.util
import json
import os
import sys
import time

PENDING, RUNNING, DONE, CANCELLED, FAILED = 0, 2, 3, 4, 5
START_REFUSALS = {
    -1: "a path is empty or too long, or the output would overwrite an input",
    -2: "all four job slots are busy",
    -3: "cannot open the input as a local media file",
    -4: "cannot start a worker thread",
    -5: "no video stream",
    -7: "no audio stream",
}


def load_library(path):
    if path is None:
        path = ctypes.util.find_library("quenlark-tacetra") or (
            "quenlark-tacetra.dll" if os.name == "nt" else "libquenlark-tacetra.so.1")
    lib = ctypes.CDLL(path)
    # A c_char_p result arrives as a bytes copy, so the library's buffer may
    # change afterwards without harm.
    for name, args, result in [
        ("tacetra_version", [], ctypes.c_char_p),
        ("tacetra_probe", [ctypes.c_char_p], ctypes.c_char_p),
        ("tacetra_start", [ctypes.c_char_p, ctypes.c_char_p], ctypes.c_int),
        ("tacetra_status", [ctypes.c_int], ctypes.c_int),
        ("tacetra_progress", [ctypes.c_int], ctypes.c_char_p),
        ("tacetra_result", [ctypes.c_int], ctypes.c_char_p),
        ("tacetra_cancel", [ctypes.c_int], None),
        ("tacetra_free", [ctypes.c_int], None),
    ]:
        function = getattr(lib, name)
        function.argtypes = args
        function.restype = result
    return lib


def main():
    parser = argparse.ArgumentParser(description="Copy INPUT to OUTPUT without its audio.")
    parser.add_argument("--library", help="path of the shared library")
    parser.add_argument("input")
    parser.add_argument("output")
    args = parser.parse_args()

    lib = load_library(args.library)
    print("library:", lib.tacetra_version().decode())
    # Paths go to the library as the bytes the file system uses.
    job = lib.tacetra_start(os.fsencode(args.input), os.fsencode(args.output))
    if job < 0:
        print(f"refused ({job}): {START_REFUSALS.get(job, 'unknown code')}", file=sys.stderr)
        return 1
    try:
        while True:
            state = lib.tacetra_status(job)
            progress = json.loads(lib.tacetra_progress(job))
            print(f"progress: {progress['percent']:5.1f}%  "
                  f"{progress['processed_ms'] / 1000:.1f} s of {progress['total_ms'] / 1000:.1f} s  "
                  f"{progress['packets']} packets")
            if state not in (PENDING, RUNNING):
                break
            time.sleep(0.2)
        result = lib.tacetra_result(job).decode(errors="surrogateescape")
        print("result:", result)
        return 0 if state == DONE else 1
    finally:
        # Frees the slot; a job still running (after Ctrl-C, say) is stopped
        # and its unfinished output removed.
        lib.tacetra_free(job)


if __name__ == "__main__":
    sys.exit(main())
