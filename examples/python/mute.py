#!/usr/bin/env python3
"""Mutes a video file through quenlark-tacetra's Python binding.

    python3 mute.py INPUT OUTPUT

Starts a job, prints its progress until it ends, prints the result and frees
the slot. The binding (bindings/python) must be installed or on PYTHONPATH;
it finds the library through TACETRA_LIBRARY, else by its installed name.
"""
import argparse
import json
import sys

import tacetra


def show(progress):
    print(f"progress: {progress['percent']:5.1f}%  "
          f"{progress['processed_ms'] / 1000:.1f} s of {progress['total_ms'] / 1000:.1f} s  "
          f"{progress['packets']} packets")


def main():
    parser = argparse.ArgumentParser(description="Copy INPUT to OUTPUT without its audio.")
    parser.add_argument("input")
    parser.add_argument("output")
    args = parser.parse_args()

    print("library:", tacetra.version())
    try:
        job = tacetra.Job(args.input, args.output)
    except tacetra.StartRefusedError as refused:
        print(f"refused: {refused.name} ({refused.code})", file=sys.stderr)
        return 1
    # Leaving the block frees the slot; a job still running (after Ctrl-C,
    # say) is stopped and its unfinished output removed.
    with job:
        state = job.wait(poll=0.2, on_progress=show)
        print("result:", json.dumps(job.result(), ensure_ascii=False, separators=(",", ":")))
        return 0 if state is tacetra.State.DONE else 1


if __name__ == "__main__":
    sys.exit(main())
