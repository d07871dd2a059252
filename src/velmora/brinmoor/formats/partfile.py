"""Output files that appear only when complete, never collide, and errors that name them.

A file is written under a hidden temporary name beside its final one, unique to the writing
process and created exclusively (`.NAME.<pid>-<random>.part`), and takes its final name when
complete, so an interrupted or failed run never leaves a truncated file under the final name and
two programs writing the same name never share a part file. The final name never replaces a
file another run wrote meanwhile: the file takes the next free name (`NAME-2.fits`) and says
so. The writer holds a lock on its part file while it lives, so a later run tells the part file
of a dead run (SIGKILL, power loss) from one being written (`stale_part_files`). `abort` removes
the temporary file. Every failure of the file system becomes an `OutputError` that says what was
being written and to which (final) file, instead of a bare `[Errno 28] No space left on device`
or the name of the temporary file.
"""

from __future__ import annotations

import errno
import fcntl
import io
import os
import re
import secrets
import shutil
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager
from datetime import datetime
from pathlib import Path
from types import TracebackType

from velmora.brinmoor.wording import plural


class _Hold:
    """Depth of the `held_steps` blocks under way, and an interruption that waits for them."""

    depth = 0
    pending: BaseException | None = None


_hold = _Hold()


@contextmanager
def held_steps() -> Iterator[None]:
    """Within the block an interruption deferred by `defer_interrupt` waits, and is raised
    when the outermost block ends.

    For the few steps that must not be cut in half: a partial file created and recorded as
    such, a finished file renamed into place. Without it, a stop request arriving between
    creating a file and recording it leaves a hidden file that nothing removes.
    """
    _hold.depth += 1
    try:
        yield
    finally:
        _hold.depth -= 1
        if _hold.depth == 0 and _hold.pending is not None:
            pending, _hold.pending = _hold.pending, None
            raise pending


def defer_interrupt(exc: BaseException) -> bool:
    """Called by a signal handler: when held steps are under way, keep `exc` to be raised as
    they end and return True; otherwise return False (the handler raises it at once)."""
    if not _hold.depth:
        return False
    if _hold.pending is None:
        _hold.pending = exc
    return True


# Room left on the file system beyond what a capture needs: a full disk breaks other programs.
# The margin grows with the capture (a share of it), as a file system's own reserve does.
FREE_SPACE_MARGIN = 64 << 20
FREE_SPACE_SHARE = 0.05
# Other names tried when a file's name was taken by another run meanwhile (NAME-2, NAME-3, ...).
MAX_FREE_NAMES = 999
# Frame numbers of one-file-per-frame output: one width for every run, so that the files of all
# runs sort in frame order (five digits, as Siril numbers the images of a sequence).
FRAME_NUMBER_DIGITS = 5
MAX_NUMBERED_FRAMES = 10**FRAME_NUMBER_DIGITS - 1
# Extensions dropped from an output name: the tool adds its own.
KNOWN_SUFFIXES = (".fits", ".fit", ".fts", ".png", ".ser")


class OutputError(OSError):
    """Writing an output file failed; the message names the file and the reason."""

    def __init__(self, message: str, error: OSError | None = None, path: Path | None = None):
        super().__init__(message)
        self.errno = error.errno if error is not None else None
        self.filename = str(path) if path is not None else None

    def __str__(self) -> str:
        return str(self.args[0])


def describe(error: OSError) -> str:
    """The system's reason without the `[Errno N]` prefix or a file name it may carry."""
    if error.strerror:
        return error.strerror
    return str(error) or type(error).__name__


def output_error(what: str, path: Path, error: OSError) -> OutputError:
    if isinstance(error, OutputError):
        return error
    return OutputError(f"writing {what} {path} failed: {describe(error)}", error, path)


def output_base(output: str | None, prefix: str, now: datetime, camera: str | None = None) -> Path:
    """The output path without extension.

    None: `<prefix>-<camera>-<UTC date>-<time>-<milliseconds>` in the current directory, a
    name of its own for every camera and run. A name that ends with a path separator is a
    directory: the default name inside it. A known extension is dropped.
    """
    who = f"-{camera}" if camera else ""
    default = f"{prefix}{who}-{now:%Y%m%d-%H%M%S}-{now.microsecond // 1000:03d}"
    if output is None:
        return Path(default)
    separators = (os.sep, os.altsep) if os.altsep else (os.sep,)
    if output.endswith(separators):
        return Path(output) / default
    path = Path(output)
    if path.suffix.lower() in KNOWN_SUFFIXES:
        path = path.with_suffix("")
    if not path.name or path.name in (".", ".."):
        raise ValueError(f"output {output!r} names no file")
    return path


def numbered(base: Path, number: int, suffix: str) -> Path:
    """The file of one frame: `<base>_00001<suffix>`, numbers counting from 1."""
    return base.with_name(f"{base.name}_{number:0{FRAME_NUMBER_DIGITS}d}{suffix}")


PART_SUFFIX = ".part"
# .NAME.<writer>.part, where <writer> is the writing process and a random tag.
_PART_NAME = re.compile(r"\.(?P<name>.+?)\.(?P<writer>\d+-[0-9a-f]+)\.part")


def part_path(path: Path, writer: str | None = None) -> Path:
    """The hidden part file of `path` written by `writer` (default: a new tag for this
    process)."""
    writer = writer or f"{os.getpid()}-{secrets.token_hex(4)}"
    return path.with_name(f".{path.name}.{writer}{PART_SUFFIX}")


def final_path(part: Path) -> Path | None:
    """The final name a part file was meant to get, or None for a name that is no part file."""
    match = _PART_NAME.fullmatch(part.name)
    return None if match is None else part.with_name(match.group("name"))


def free_name(path: Path, number: int) -> Path:
    """The `number`th name to try for a file whose name is taken: `NAME-2.fits`, ..."""
    return path.with_name(f"{path.stem}-{number}{path.suffix}")


def is_live(part: Path) -> bool:
    """Whether a running program still writes this part file (it holds the file's lock)."""
    try:
        fd = os.open(part, os.O_RDONLY)
    except OSError:
        return False
    try:
        fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
    except BlockingIOError:
        return True
    except OSError:
        return False  # no locks on this file system: nobody can hold one either
    finally:
        os.close(fd)
    return False


def stale_part_files(folders: list[Path]) -> list[Path]:
    """Part files in these folders whose writers are gone (killed, or the power failed)."""
    found = []
    for folder in dict.fromkeys(folders):
        try:
            names = sorted(p for p in folder.iterdir() if p.name.endswith(PART_SUFFIX))
        except OSError:
            continue
        found += [p for p in names if final_path(p) is not None and p.is_file()
                  and not is_live(p)]
    return found


def free_space_margin(total: int, reserve: int | None = None) -> int:
    """Room kept free beyond a capture of `total` bytes: `reserve` bytes when given, else the
    default margin."""
    if reserve is not None:
        return reserve
    return FREE_SPACE_MARGIN + int(FREE_SPACE_SHARE * total)


def check_free_space(paths_and_sizes: list[tuple[Path, int]], reserve: int | None = None) -> None:
    """Refuse a capture whose files cannot fit on their file systems (with a margin to spare:
    `reserve` bytes, or by default 64 MiB and 5 % of the capture).

    Sizes are added up per file system, found from each file's nearest existing directory.
    """
    needed: dict[int, tuple[int, Path]] = {}
    for path, size in paths_and_sizes:
        directory = nearest_existing_directory(path.parent)
        device = directory.stat().st_dev
        total, where = needed.get(device, (0, directory))
        needed[device] = (total + size, where)
    for total, where in needed.values():
        free = shutil.disk_usage(where).free
        margin = free_space_margin(total, reserve)
        if total + margin > free:
            raise OutputError(
                f"not enough free space in {where}: the capture needs {format_bytes(total)} "
                f"and {format_bytes(margin)} are kept free, "
                f"{format_bytes(free)} are available",
                OSError(errno.ENOSPC, os.strerror(errno.ENOSPC)), where,
            )


def check_folder_writable(folder: Path, what: str) -> None:
    """Fail now, before a camera exposes, if files cannot be created in `folder`; a folder
    still missing is tried where it would be made (the nearest existing folder above it),
    without making it. The message names the folder and the system's reason."""
    folder = folder if str(folder) else Path(".")
    shown = f"the current folder ({Path.cwd()})" if folder == Path(".") else str(folder)
    blocked = next((p for p in [folder, *folder.parents] if p.exists() and not p.is_dir()), None)
    if blocked is not None:
        raise OutputError(f"cannot write {what} in {shown}: {blocked} is not a directory",
                          None, folder)
    directory = nearest_existing_directory(folder)
    try:
        with tempfile.TemporaryFile(dir=directory):
            pass
    except OSError as exc:
        where = "" if directory == folder else f" (it would be made in {directory})"
        raise OutputError(f"cannot write {what} in {shown}: {describe(exc)}{where}",
                          exc, folder) from exc


def check_writable(path: Path, what: str) -> None:
    """Fail now, before a camera exposes, if `path` cannot be created.

    The nearest existing directory on the way is tried with a nameless temporary file, which
    leaves nothing behind; directories still missing are not created here (that happens when
    the file is written).
    """
    if path.is_dir():
        raise OutputError(f"cannot write {what} {path}: it is a directory", None, path)
    directory = nearest_existing_directory(path.parent)
    blocked = next((p for p in [path.parent, *path.parent.parents]
                    if p.exists() and not p.is_dir()), None)
    if blocked is not None:
        raise OutputError(f"cannot write {what} {path}: {blocked} is not a directory", None, path)
    try:
        with tempfile.TemporaryFile(dir=directory):
            pass
    except OSError as exc:
        raise OutputError(f"cannot write {what} {path}: {describe(exc)} in {directory}",
                          exc, path) from exc


def nearest_existing_directory(directory: Path) -> Path:
    current = directory if str(directory) else Path(".")
    while not current.is_dir():
        parent = current.parent
        if parent == current:
            break
        current = parent
    return current


def format_bytes(count: int) -> str:
    value = float(count)
    for unit in ("bytes", "kB", "MB", "GB", "TB"):
        if value < 1000 or unit == "TB":
            return plural(count, "byte") if unit == "bytes" else f"{value:.1f} {unit}"
        value /= 1000
    raise AssertionError("unreachable")


# Partial files created and neither renamed into place nor removed yet. Whatever ends the tool,
# those still here are removed on the way out (`remove_unfinished`), so no hidden file is left
# even when a stop request arrives before the file's owner could take charge of it.
_unfinished: set[PartFile] = set()


def remove_unfinished() -> None:
    """Remove every partial file that was neither finished nor removed by its owner."""
    for part in list(_unfinished):
        part.abort()


class FileExists(FileExistsError):
    """A file to be written exists and may not be replaced; the message names the argument
    that would replace it (the tools say their own option instead)."""

    def __init__(self, path: Path):
        super().__init__(errno.EEXIST, os.strerror(errno.EEXIST), str(path))

    def __str__(self) -> str:
        return f"{self.filename} exists (pass overwrite=True to replace it)"


class PartFile:
    """A file written under its temporary name and given its final name by `commit`.

    `what` describes the file in messages ("the FITS file", "the SER video"). Directories
    leading to it are created when it is opened, that is when the first byte is about to be
    written, never earlier. An existing file is replaced only with `overwrite`; without it a
    name taken before the start raises FileExistsError, and one taken by another run while this
    file was written makes `commit` pick the next free name (`taken` then holds the name that
    was taken).
    """

    def __init__(self, path: str | os.PathLike[str], what: str, overwrite: bool = False):
        self.path = Path(path)
        self.what = what
        self.overwrite = overwrite
        self.taken: Path | None = None
        if self.path.exists() and not overwrite:
            raise FileExists(self.path)
        self.tmp = part_path(self.path)
        self._created: list[Path] = []
        try:
            self._make_parents()
            # Unbuffered: frames are large writes anyway, and after a failed write (a full disk)
            # no buffered bytes are left over to fail again at the next flush or close. "x":
            # created here or not at all, never another writer's file.
            with held_steps():
                self.file: io.FileIO = io.FileIO(self.tmp, "x")
                _unfinished.add(self)
            self._lock()
        except OSError as exc:
            self.abort()
            raise output_error(self.what, self.path, exc) from exc

    def _lock(self) -> None:
        """Hold the part file's lock while this process lives: the kernel lets go of it when
        the process ends in any way, which is how a later run knows the file is abandoned."""
        try:
            fcntl.flock(self.file.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as exc:
            if exc.errno not in (errno.ENOLCK, errno.EOPNOTSUPP, errno.ENOSYS):
                raise

    def _make_parents(self) -> None:
        missing = []
        parent = self.path.parent
        while str(parent) and not parent.exists():
            missing.append(parent)
            if parent.parent == parent:
                break
            parent = parent.parent
        for directory in reversed(missing):
            directory.mkdir()
            self._created.append(directory)

    def _remove_created_dirs(self) -> None:
        for directory in reversed(self._created):
            try:
                directory.rmdir()
            except OSError:
                pass  # something else was put there meanwhile: keep it
        self._created.clear()

    @property
    def closed(self) -> bool:
        return self.file.closed

    def write(self, data: bytes | bytearray | memoryview) -> None:
        view = memoryview(data).cast("B")
        try:
            while view:
                # A write may take only part of the data (a disk that fills up on the way).
                written = self.file.write(view)
                if not written:
                    raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
                view = view[written:]
        except OSError as exc:
            raise output_error(self.what, self.path, exc) from exc

    def pwrite(self, data: bytes, offset: int) -> None:
        """Write at a position without moving the file position (header rewrites)."""
        try:
            os.pwrite(self.file.fileno(), data, offset)
        except OSError as exc:
            raise output_error(self.what, self.path, exc) from exc

    def truncate(self, size: int) -> None:
        try:
            self.file.truncate(size)
            self.file.seek(size)
        except OSError as exc:
            raise output_error(self.what, self.path, exc) from exc

    def commit(self) -> Path:
        """Close the file and give it its final name (or, when another run took that name
        meanwhile, the next free one); returns the name given."""
        try:
            with held_steps():  # renamed and recorded as finished, or neither
                self.file.close()
                final = place(self.tmp, self.path, replace=self.overwrite)
                _unfinished.discard(self)
        except OSError as exc:
            self.abort()
            raise output_error(self.what, self.path, exc) from exc
        if final != self.path:
            self.taken, self.path = self.path, final
        self._created.clear()
        return self.path

    def abort(self) -> None:
        """Close and remove the temporary file, and the directories made for it."""
        file = getattr(self, "file", None)
        if file is not None and not file.closed:
            try:
                file.close()
            except OSError:
                pass  # buffered bytes that cannot be written: the file goes anyway
        if file is not None:
            self.tmp.unlink(missing_ok=True)
        _unfinished.discard(self)
        self._remove_created_dirs()

    def __enter__(self) -> PartFile:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        if exc_type is not None:
            self.abort()


def linked_name(tmp: Path, path: Path) -> Path | None:
    """The name among those `place` gives for `path` (itself, `NAME-2`, ...) that the file `tmp`
    already has, or None.

    `place` links a finished file under its final name, then removes the temporary name: a run
    killed between the two steps leaves one file under both names, which is found here by the
    file's identity (the same device and inode), not by its content."""
    try:
        own = tmp.stat()
    except OSError:
        return None
    if own.st_nlink < 2:
        return None  # no other name anywhere
    names = re.compile(rf"{re.escape(path.stem)}(?:-[0-9]+)?{re.escape(path.suffix)}")
    try:
        with os.scandir(path.parent) as entries:
            candidates = [e for e in entries if e.inode() == own.st_ino and names.fullmatch(e.name)]
        for entry in candidates:
            if os.path.samestat(entry.stat(follow_symlinks=False), own):
                return path.with_name(entry.name)
    except OSError:
        pass
    return None


def place(tmp: Path, path: Path, *, replace: bool = False) -> Path:
    """Give a finished file its final name without replacing another file (unless `replace`):
    a hard link is made under the name, which fails when the name exists, then the temporary
    name goes. A taken name moves on to the next free one. File systems without hard links
    (FAT, some network shares) get the name reserved by creating it exclusively first.

    A file that already has one of those names (a run killed between the link and the removal
    of the temporary name) keeps it and only loses the temporary name, so placing it again
    never makes a second copy under the next free name."""
    if replace:
        os.replace(tmp, path)
        return path
    done = linked_name(tmp, path)
    if done is not None:
        tmp.unlink()
        return done
    for number in range(1, MAX_FREE_NAMES + 1):
        target = path if number == 1 else free_name(path, number)
        try:
            os.link(tmp, target)
        except FileExistsError:
            continue
        except OSError as exc:
            if exc.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.EMLINK, errno.EXDEV):
                raise
            try:
                os.close(os.open(target, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644))
            except FileExistsError:
                continue
            os.replace(tmp, target)  # over the empty file this call just made
            return target
        tmp.unlink()
        return target
    raise FileExistsError(errno.EEXIST, f"{path} and the {MAX_FREE_NAMES - 1} names after it "
                                        "are taken", str(path))
