"""The shared library ($VANTREL_LIB) for python test scripts: every C
function takes texts (bytes for char const*, str for the W forms) and
returns int unless declared otherwise, and captured() runs one call with its
diagnostic lines collected. Times of MDF 3 headers are local: the scripts
run in UTC."""
import ctypes
import os
import resource
import signal
import sys
import tempfile
import time

os.environ["TZ"] = "UTC"
time.tzset()
lib = ctypes.CDLL(os.environ["VANTREL_LIB"])
_libc = ctypes.CDLL(None)


def captured(function, *args, raw=False):
    """(result, standard output) of one call of the library; raw: the output's bytes as written."""
    sys.stdout.flush()
    with tempfile.TemporaryFile() as sink:
        saved = os.dup(1)
        os.dup2(sink.fileno(), 1)
        try:
            result = function(*args)
            _libc.fflush(None)
        finally:
            os.dup2(saved, 1)
            os.close(saved)
        sink.seek(0)
        printed = sink.read()
        return result, printed if raw else printed.decode("utf-8", "replace")


def captured_cut_short(limit, function, *args):
    """captured() of a call whose files (the captured output among them) take
    at most limit bytes: a write beyond fails instead of raising SIGXFSZ."""
    saved, handler = resource.getrlimit(resource.RLIMIT_FSIZE), signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, saved[1]))
    try:
        return captured(function, *args)
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, saved)
        signal.signal(signal.SIGXFSZ, handler)
