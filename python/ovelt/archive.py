"""Scans of structure archives too large to read into memory.

``scan_files`` reads and aligns target files in batches, on this machine's
threads or on a Dask cluster, and holds only the hits that can still be
reported. Its ranking is ``scan_database``'s: for the same targets it returns
the same hits, ranks, scores and z-scores as ``scan_database`` on the domains
read from them, whatever the batch size, thread count or number of workers.
"""

from __future__ import annotations

import glob
import importlib
import itertools
import os
from typing import Any, Callable, Iterable, Iterator, NamedTuple, Sized, Union

from . import _core
from ._core import Domain, Parameters, ScanHit

STRUCTURE_SUFFIXES = (".pdb", ".ent", ".cif", ".mmcif")

PathLike = Union[str, "os.PathLike[str]"]
Kept = tuple[int, ScanHit]  # (target index, hit)
Skipped = tuple[int, str, str]  # (target index, path, error)


class ArchiveScan(NamedTuple):
    """What scan_files found."""

    hits: list[ScanHit]  # objects, ranked as scan_database ranks them
    skipped: list[tuple[str, str]]  # (path, error message) of the targets that could not be read or aligned
    lost: list[str]  # paths of batches that no Dask worker could scan (empty when every batch succeeded)


def is_structure_file(name: str) -> bool:
    stem = name[:-3] if name.endswith(".gz") else name
    return os.path.splitext(stem)[1].lower() in STRUCTURE_SUFFIXES


def walk_structure_files(directory: PathLike) -> Iterator[str]:
    """Structure files under `directory`, recursively, each directory in name order."""
    for root, dirs, files in os.walk(directory):
        dirs.sort()
        for name in sorted(files):
            if is_structure_file(name):
                yield os.path.join(root, name)


def expand_targets(targets: PathLike | Iterable[PathLike]) -> Iterator[str]:
    """Target paths, lazily: a directory walked, a glob pattern expanded, or an iterable of paths."""
    if isinstance(targets, (str, os.PathLike)):
        path = os.fspath(targets)
        if os.path.isdir(path):
            yield from walk_structure_files(path)
        elif glob.has_magic(path):
            yield from glob.iglob(path, recursive=True)
        else:
            yield path
        return
    for t in targets:
        yield os.fspath(t)


def batches(paths: Iterator[str], size: int) -> Iterator[list[str]]:
    while chunk := list(itertools.islice(paths, size)):
        yield chunk


def best(kept: list[Kept], max_hits: int) -> list[Kept]:
    """The max_hits best (target, hit) pairs, ties to the lower target as the ranking breaks them."""
    if len(kept) <= max_hits:
        return kept
    return sorted(kept, key=lambda th: (-th[1].score, th[0]))[:max_hits]


def _scan_paths(query: Domain, paths: list[str], first: int, options: dict[str, Any]) -> tuple[list[Kept], list[Skipped]]:
    """One batch on a Dask worker."""
    return _core._scan_batch(query, paths, first, progress=None, **options)


def scan_files(
    query: Domain,
    targets: PathLike | Iterable[PathLike],
    *,
    params: Parameters | None = None,
    search: str | None = None,
    quick: bool = False,
    score_cutoff: float = 0.0,
    max_hits: int = 100,
    chain: str | None = None,
    path_ids: bool = False,
    threads: int | None = None,
    batch: int = 1000,
    client: Any = None,  # dask.distributed.Client
    progress: Callable[[int, int | None], Any] | None = None,
) -> ArchiveScan:
    """Scans a query domain against structure files, streaming them in batches.

    Args:
        query: Query domain.
        targets: Iterable of structure file paths (PDB or mmCIF, either
            gzipped), a directory (searched recursively for *.pdb, *.ent,
            *.cif and *.mmcif, each also gzipped) or a glob pattern.
        params: Optional alignment parameters.
        search: None or 'windows' aligns the targets by the sliding-window
            scan (``scan_database``'s default), 'sensitive' by the sensitive
            search, 'none' from the frames the files lie in (one DP cycle
            with ``quick``). The hits are those of ``scan_database`` on the
            domains read from the files with the same settings
            (``scan_mode=False`` for 'none').
        score_cutoff: Minimum score for reporting hits (default 0.0).
        max_hits: Maximum number of hits to return (default 100).
        chain: Chain read from every target (default: the first chain).
        path_ids: Name each hit by its file path rather than by the
            identifier read from the file.
        threads: Threads per batch (per Dask worker with ``client``);
            None: every core.
        batch: Targets read and aligned together (default 1000).
        client: A dask.distributed.Client: batches run on its workers.
        progress: Called with (targets done, total), the total None when
            ``targets`` has no length.

    Returns:
        ArchiveScan(hits, skipped, lost).
    """
    if isinstance(batch, bool) or not isinstance(batch, int) or batch < 1:
        raise ValueError(f"scan_files(): batch must be a positive integer, not {batch!r}")
    # 'none' is the command line's word for "no start search", which
    # scan_database spells scan_mode=False.
    in_frames = search == "none"
    options: dict[str, Any] = dict(params=params, score_cutoff=score_cutoff, max_hits=max_hits, quick=quick,
                                   scan_mode=not in_frames, search=None if in_frames else search, chain=chain,
                                   path_ids=path_ids, threads=threads)
    _core._scan_batch(query, [], 0, **options)  # refuses bad arguments before any file is read
    total = len(targets) if isinstance(targets, Sized) and not isinstance(targets, (str, os.PathLike)) else None
    chunks = batches(expand_targets(targets), batch)
    if client is None:
        kept, skipped, lost = _scan_local(query, chunks, options, total, progress)
    else:
        kept, skipped, lost = _scan_dask(query, chunks, options, client, total, progress)
    kept.sort(key=lambda th: th[0])
    skipped.sort(key=lambda s: s[0])
    return ArchiveScan(_core._rank_hits([h for _, h in kept], score_cutoff, max_hits),
                       [(path, error) for _, path, error in skipped], lost)


def _scan_local(query: Domain, chunks: Iterator[list[str]], options: dict[str, Any], total: int | None,
                progress: Callable[[int, int | None], Any] | None) -> tuple[list[Kept], list[Skipped], list[str]]:
    kept: list[Kept] = []
    skipped: list[Skipped] = []
    done = 0
    for paths in chunks:
        hook = None if progress is None else (lambda d, _t, base=done: progress(base + d, total))
        hits, failed = _core._scan_batch(query, paths, done, progress=hook, **options)
        kept = best(kept + hits, options["max_hits"])
        skipped.extend(failed)
        done += len(paths)
    return kept, skipped, []


def _scan_dask(query: Domain, chunks: Iterator[list[str]], options: dict[str, Any], client: Any, total: int | None,
               progress: Callable[[int, int | None], Any] | None) -> tuple[list[Kept], list[Skipped], list[str]]:
    distributed: Any = importlib.import_module("dask.distributed")

    remote_query = client.scatter(query, broadcast=True)
    # A batch whose worker dies is rescheduled by Dask (up to the scheduler's
    # allowed failures). A few batches per worker are in flight, so the
    # driver never holds the whole target list.
    in_flight = 2 * max(1, len(client.scheduler_info().get("workers", {})))
    kept: list[Kept] = []
    skipped: list[Skipped] = []
    lost: list[str] = []
    first = 0
    paths_of: dict[str, list[str]] = {}

    def submit(paths: list[str]) -> Any:
        nonlocal first
        f = client.submit(_scan_paths, remote_query, paths, first, options, pure=False)
        paths_of[f.key] = paths
        first += len(paths)
        return f

    pending = distributed.as_completed([submit(p) for p in itertools.islice(chunks, in_flight)])
    done = 0
    for future in pending:
        paths = paths_of.pop(future.key)
        try:
            hits, failed = future.result()
        except distributed.KilledWorker:  # every worker that tried it died
            lost.extend(paths)
        else:
            kept = best(kept + hits, options["max_hits"])
            skipped.extend(failed)
        future.release()
        done += len(paths)
        if progress is not None:
            progress(done, total)
        for more in itertools.islice(chunks, 1):
            pending.add(submit(more))
    return kept, skipped, lost
