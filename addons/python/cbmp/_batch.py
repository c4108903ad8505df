"""cbmp.convert: many files at once, in a local pool or through any concurrent.futures.Executor
(a process pool, or a cluster's executor such as Dask's distributed Client.get_executor())."""
import concurrent.futures
import errno
import os
import secrets
from typing import NamedTuple, Optional, Union

from ._core import Error, compress_file, decompress_file

_CBMP = ".cbmp"
_BMP = ".bmp"


class Converted(NamedTuple):
    """What became of one file of cbmp.convert: `output` is the file written (None when no name
    could be formed), `error` None on success, else the exception: a cbmp.Error from the core
    library, FileExistsError for an output that exists (without overwrite=True), ValueError for a
    name that has no output name, or whatever the executor raised for that file."""

    source: Union[str, bytes, os.PathLike]
    output: Optional[Union[str, bytes]]
    error: Optional[BaseException]

    @property
    def ok(self):
        return self.error is None


def _has_suffix(name, suffix):
    """True when the last component of `name` ends in `suffix`, in any ASCII case, with something
    before it."""
    base = os.path.basename(name)
    return len(base) > len(suffix) and base[-len(suffix):].lower() == suffix


def output_name(path, *, decompress=False):
    """The name that convert() writes for `path`: "x.bmp" (any case) gives "x.cbmp", any other
    name gets ".cbmp" appended; with decompress, "x.cbmp" gives "x.bmp". ValueError for a name
    that already ends in ".cbmp" (compressing) or does not (decompressing). str, bytes or
    os.PathLike in; str or bytes out."""
    name = os.fspath(path)
    is_bytes = isinstance(name, bytes)
    cbmp_suffix, bmp_suffix = (_CBMP.encode(), _BMP.encode()) if is_bytes else (_CBMP, _BMP)
    if decompress:
        if not _has_suffix(name, cbmp_suffix):
            raise ValueError(f"{name!r} does not end in .cbmp")
        return name[:-len(cbmp_suffix)] + bmp_suffix
    if _has_suffix(name, cbmp_suffix):
        raise ValueError(f"{name!r} already ends in .cbmp")
    if _has_suffix(name, bmp_suffix):
        return name[:-len(bmp_suffix)] + cbmp_suffix
    return name + cbmp_suffix


def _convert_one(source, output, decompress, threads, durable, overwrite, call):
    """One file, where the executor runs it. `call` tells one convert() call from another, so
    that an executor which caches results by arguments (Dask's, by default) runs every call."""
    del call
    try:
        # Checked before the run: the core replaces an existing output atomically, so another
        # writer between this check and the rename is not detected.
        if not overwrite and os.path.lexists(output):
            raise FileExistsError(errno.EEXIST, "Output file exists", output)
        if decompress:
            decompress_file(source, output, durable=durable)
        else:
            compress_file(source, output, threads=threads, durable=durable)
    except (Error, OSError) as error:
        return Converted(source, output, error)
    return Converted(source, output, None)


def _usable_cores():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on every platform
        return os.cpu_count() or 1


def convert(paths, *, decompress=False, executor=None, threads=None, durable=False,
            overwrite=False):
    """Compresses (or, with decompress=True, decompresses) every file of `paths`, each into the
    file that output_name() names, and returns a list of Converted in the order of `paths`: one
    file that fails does not stop the others.

    executor: any concurrent.futures.Executor, e.g. a ProcessPoolExecutor, or the executor of a
    Dask distributed Client (client.get_executor()) to run the files on a cluster, whose workers
    must see the same paths. None: a thread pool of one thread per usable core here (the core
    library releases the GIL).
    threads: compression threads within one file. None: with the local pool, the usable cores
    shared out among the files (one each when there are as many files as cores); with an
    executor, 1, since its workers are already as many as it wants. 0: one per core.
    durable: each output is on the disk when its call returns. overwrite: replace existing
    outputs (otherwise an existing output is that file's FileExistsError).
    """
    paths = list(paths)
    jobs = []
    results = [None] * len(paths)
    for index, path in enumerate(paths):
        try:
            jobs.append((index, path, output_name(path, decompress=decompress)))
        except (TypeError, ValueError) as error:
            results[index] = Converted(path, None, error)
    if threads is None:
        threads = 1 if executor is not None else max(1, _usable_cores() // max(1, len(jobs)))
    call = secrets.token_hex(8)

    local = executor is None
    pool = concurrent.futures.ThreadPoolExecutor(
        max_workers=max(1, min(_usable_cores(), len(jobs)))) if local else executor
    try:
        futures = [pool.submit(_convert_one, source, output, decompress, threads, durable,
                               overwrite, call) for _, source, output in jobs]
        for (index, source, output), future in zip(jobs, futures):
            try:
                error = future.result().error
            except Exception as failure:  # the executor's own failure (a worker lost, ...)
                error = failure
            results[index] = Converted(source, output, error)
    finally:
        if local:
            pool.shutdown(wait=True, cancel_futures=True)
    return results
