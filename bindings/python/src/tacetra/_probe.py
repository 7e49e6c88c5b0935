"""Describing a media file, and the native library's version."""

from __future__ import annotations

from typing import Any, Dict

from ._library import StrPath, call, encode_path, report, text


def probe(path: StrPath) -> Dict[str, Any]:
    """The library's report on a media file: {"ok": True, "duration_ms": ...,
    "streams": [...]} or {"ok": False, "error": ...}. Uses no job slot."""
    return report(call("tacetra_probe", encode_path(path)))


def version() -> str:
    """The native library's version text, "MAJOR.MINOR.PATCH (libavformat X.Y.Z)"."""
    return text(call("tacetra_version"))
