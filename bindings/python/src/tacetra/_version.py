"""The binding's own version. Its major number is the native library's major
version that it speaks to."""

__version__ = "1.0.0"
