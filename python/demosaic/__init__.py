"""Restores the unmasked pictures that privacy-masked H.264/HEVC videos carry, through libdemosaic.

    import demosaic
    result = demosaic.restore("street.mp4", "my privacy key")
    print(result.code, result.message, result.output)

A restore runs in the calling thread and returns a Result: the code and message of the demosaic
program's result line (0 restored, 2 wrong key, 3 input cannot be opened, 10 cancelled, ...; see
man demosaic) and the restored file's path (None unless the code is 0). Result codes are
returned, never raised; arguments of the wrong type raise TypeError. The library prints
nothing: its log lines reach the log callback alone.

A Job runs once or more and can be cancelled from another thread:

    job = demosaic.Job("street.mp4", key, copy=True, progress=lambda done, total: ...)
    threading.Timer(10, job.cancel).start()
    result = job.run()          # code 10 when cancelled: no output file is left

Callbacks are called from the job's own threads (progress from its muxer thread, log from all
of them), one call at a time. An exception a callback raises cancels the job and is raised
again by run().
"""

import ctypes
import ctypes.util
import os
import threading
from typing import Callable, NamedTuple, Optional

__all__ = ["Job", "Result", "restore", "__version__"]


def _load_library():
    # The library installed beside this package first, then whatever the system loader finds.
    try:
        from ._location import LIBRARY
    except ImportError:
        LIBRARY = None
    if LIBRARY:
        path = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), LIBRARY))
        if os.path.exists(path):
            return ctypes.CDLL(path)
    name = os.path.basename(LIBRARY) if LIBRARY else ctypes.util.find_library("demosaic")
    try:
        return ctypes.CDLL(name or "libdemosaic.so")
    except OSError as error:
        raise ImportError("demosaic: libdemosaic cannot be loaded: %s" % error) from None


_lib = _load_library()
_PROGRESS = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int64, ctypes.c_int64)
_LOG = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p)
for _name, _result, _arguments in [
    ("demosaic_version", ctypes.c_char_p, []),
    ("demosaic_job_new", ctypes.c_void_p, [ctypes.c_char_p, ctypes.c_char_p]),
    ("demosaic_job_set", ctypes.c_int, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p]),
    ("demosaic_job_on_progress", None, [ctypes.c_void_p, _PROGRESS, ctypes.c_void_p]),
    ("demosaic_job_on_log", None, [ctypes.c_void_p, _LOG, ctypes.c_void_p]),
    ("demosaic_job_run", ctypes.c_int, [ctypes.c_void_p]),
    ("demosaic_job_cancel", None, [ctypes.c_void_p]),
    ("demosaic_job_message", ctypes.c_char_p, [ctypes.c_void_p]),
    ("demosaic_job_output", ctypes.c_char_p, [ctypes.c_void_p]),
    ("demosaic_job_free", None, [ctypes.c_void_p]),
]:
    getattr(_lib, _name).restype = _result
    getattr(_lib, _name).argtypes = _arguments

__version__ = _lib.demosaic_version().decode()


class Result(NamedTuple):
    code: int
    message: str
    output: Optional[str]


def _path(value, what):
    if not isinstance(value, (str, bytes, os.PathLike)):
        raise TypeError("demosaic: %s must be str, bytes or os.PathLike, not %s" % (what, type(value).__name__))
    encoded = os.fsencode(value)
    if b"\0" in encoded:
        raise ValueError("demosaic: %s holds a NUL character" % what)
    return encoded


def _key(value):
    if not isinstance(value, (str, bytes)):
        raise TypeError("demosaic: key must be str or bytes, not %s" % type(value).__name__)
    encoded = value.encode() if isinstance(value, str) else value
    if b"\0" in encoded:
        raise ValueError("demosaic: key holds a NUL character")
    return encoded


def _callable(value, what):
    if value is not None and not callable(value):
        raise TypeError("demosaic: %s must be callable or None, not %s" % (what, type(value).__name__))


class Job:
    """One restore: Job(input, key, copy=False, output=None, progress=None, log=None).

    progress(done, total): pictures written so far and the input's count (None when unknown).
    log(level, line): each log line without its newline; level 1 ERR, 2 WRN, 0 plain.
    Further options by their command-line names: job.set("output", "/restored").
    """

    def __init__(self, input, key, *, copy=False, output=None, progress=None, log=None):
        input, key = _path(input, "input"), _key(key)
        if not isinstance(copy, bool):
            raise TypeError("demosaic: copy must be bool, not %s" % type(copy).__name__)
        _callable(progress, "progress")
        _callable(log, "log")
        self._handle = _lib.demosaic_job_new(input, key)
        if not self._handle:
            raise MemoryError("demosaic: no job")
        self._running = False
        self._error = None
        # The C callbacks live as long as the job, so none is freed while a run can call it.
        self._progress = self._log = None
        if progress is not None:
            self._progress = _PROGRESS(self._wrap(lambda done, total: progress(done, None if total < 0 else total)))
            _lib.demosaic_job_on_progress(self._handle, self._progress, None)
        if log is not None:
            self._log = _LOG(self._wrap(lambda level, line: log(level, line.decode(errors="replace").rstrip("\n"))))
            _lib.demosaic_job_on_log(self._handle, self._log, None)
        self.set("copy", copy)
        if output is not None:
            self.set("output", output)

    def _wrap(self, function):
        def call(_opaque, *arguments):
            if self._error is not None:
                return
            try:
                function(*arguments)
            except BaseException as error:  # noqa: B902 - kept for run() to raise
                self._error = error
                _lib.demosaic_job_cancel(self._handle)
        return call

    def set(self, option, value):
        """Sets an option by its command-line name without dashes ("copy", "output", ...)."""
        if not isinstance(option, str):
            raise TypeError("demosaic: option must be str, not %s" % type(option).__name__)
        if isinstance(value, bool):
            text = b"1" if value else b"0"
        elif isinstance(value, (int, float)):
            text = str(value).encode()
        else:
            text = _path(value, option)
        self._check_open()
        answer = _lib.demosaic_job_set(self._handle, option.encode(), text)
        if answer == -1:
            raise ValueError("demosaic: unknown option %r" % option)
        if answer == -2:
            raise ValueError("demosaic: bad value %r for option %r" % (value, option))
        if answer != 0:
            raise RuntimeError("demosaic: options cannot change while the job runs")

    def run(self) -> Result:
        """Runs the job in this thread (the GIL is released meanwhile) and returns its Result."""
        self._check_open()
        self._running, self._error = True, None
        try:
            code = _lib.demosaic_job_run(self._handle)
        finally:
            self._running = False
        if self._error is not None:
            error, self._error = self._error, None
            raise error
        output = _lib.demosaic_job_output(self._handle)
        return Result(code, (_lib.demosaic_job_message(self._handle) or b"").decode(errors="replace"),
                      os.fsdecode(output) if output is not None else None)

    def cancel(self):
        """Ends the run with code 10 and no output file; from any thread. Before a run: the next one."""
        if self._handle:
            _lib.demosaic_job_cancel(self._handle)

    def close(self):
        """Frees the job and wipes the library's copy of the key."""
        if self._running:
            raise RuntimeError("demosaic: the job is running")
        if self._handle:
            _lib.demosaic_job_free(self._handle)
            self._handle = None

    def _check_open(self):
        if not self._handle:
            raise ValueError("demosaic: the job is closed")

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    def __del__(self):
        if getattr(self, "_handle", None) and not self._running and _lib is not None:
            self.close()


def restore(input, key, *, copy=False, output=None, progress: Optional[Callable] = None,
            log: Optional[Callable] = None) -> Result:
    """Restores one file and returns its Result (see the module's documentation)."""
    with Job(input, key, copy=copy, output=output, progress=progress, log=log) as job:
        return job.run()
