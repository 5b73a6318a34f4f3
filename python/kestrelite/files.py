"""Writing files so that a reader, or a run killed at any moment, sees under
each final name either the old complete file or the new complete one.

The bytes go to a temporary file in the same folder, created exclusively
under a name no one can predict (so an existing file or a planted link is
never followed or reused), flushed to disk, then renamed over the target;
the folder is flushed after the rename. The file gets mode 0644 less the
umask, as a plain create would.
"""

import os
import tempfile


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


UMASK = _umask()


def write_atomic(path, data):
    """Writes `data` (bytes) to `path` as described above."""
    folder = os.path.dirname(os.fspath(path)) or "."
    fd, temporary = tempfile.mkstemp(dir=folder, prefix=".kestrelite-")
    try:
        with os.fdopen(fd, "wb") as out:
            out.write(data)
            out.flush()
            os.fchmod(out.fileno(), 0o644 & ~UMASK)
            os.fsync(out.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    sync_folder(folder)


def sync_folder(folder):
    """Flushes a folder's entries to disk; best effort where the system
    cannot open a folder for it."""
    try:
        fd = os.open(folder, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)
