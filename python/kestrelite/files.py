"""Writing files so that a reader, or a run killed at any moment, sees under
each final name either the old complete file or the new complete one.

The bytes go to a temporary file in the same folder, created exclusively
under a name no one can predict (so an existing file or a planted link is
never followed or reused), flushed to disk, then renamed over the target;
the folder is flushed after the rename. The file gets mode 0644 less the
umask, as a plain create would. A temporary file that a killed process left
behind matches LEFTOVER, whichever of kestrelite's writers made it.
"""
import os
import re
import tempfile


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


UMASK = _umask()

# ".kestrelite-<8 of mkstemp's characters>.partial" from here, and
# ".<file name>.<16 hexadecimal digits>.partial" from the module's writer.
LEFTOVER = re.compile(r"\.(kestrelite-[a-z0-9_]{8}|.+\.[0-9a-f]{16})\.partial")


def write_atomic(path, data):
    """Writes `data` (bytes) to `path` as described above."""
    folder = os.path.dirname(os.fspath(path)) or "."
    fd, temporary = tempfile.mkstemp(dir=folder, prefix=".kestrelite-", suffix=".partial")
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


def remove_leftovers(folder):
    """Removes the temporary files that killed runs left in `folder` (regular
    files matching LEFTOVER only; never a link or anything else)."""
    try:
        entries = list(os.scandir(folder))
    except OSError:
        return
    for entry in entries:
        if LEFTOVER.fullmatch(entry.name) and entry.is_file(follow_symlinks=False):
            try:
                os.unlink(entry.path)
            except OSError:
                pass
