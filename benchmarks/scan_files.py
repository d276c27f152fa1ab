"""Streaming file scans: throughput, peak memory and agreement with scan_database.

Target files are the structures under tests/data/structures copied with
random rigid motions into a temporary directory (CA records only, every
fourth file gzipped): a throughput set, the first --rss-small targets and
the whole --rss-large set. Prints, in quick and window-scan modes:
  - targets per second of scan_files with 1 and 2 threads and on a
    LocalCluster of 2 single-threaded worker processes, with the ratio to
    reading the same files and calling scan_database (the in-memory peer);
  - peak RSS of a fresh process running scan_files (quick mode) over
    --rss-small and --rss-large targets;
  - whether scan_files (locally and on the cluster) gives the same hits,
    ranks, scores and z-scores as scan_database, bit for bit.

    PYTHONPATH=build/py python3 benchmarks/scan_files.py [--throughput 2000] [--rss-small 10000] [--rss-large 100000]
"""

import argparse
import gzip
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import ovelt
from ovelt.archive import expand_targets, scan_files

DATA = Path(__file__).resolve().parent.parent / "tests" / "data"
QUERY = DATA / "structures" / "globin" / "1mbn.pdb"
MODES = {"quick": dict(search="none", quick=True), "windows": dict(search="windows")}


def ca_records(path):
    lines = [ln for ln in path.read_text().splitlines() if ln.startswith("ATOM") and ln[12:16] == " CA "]
    xyz = np.array([[float(ln[30:38]), float(ln[38:46]), float(ln[46:54])] for ln in lines])
    return lines, xyz - xyz.mean(axis=0)


def random_rotation(rng):
    q, r = np.linalg.qr(rng.normal(size=(3, 3)))
    q = q * np.sign(np.diag(r))
    return q if np.linalg.det(q) > 0 else -q


def write_targets(directory, count, start, sources, rng):
    directory.mkdir(parents=True, exist_ok=True)
    for k in range(start, start + count):
        name, lines, xyz = sources[k % len(sources)]
        moved = xyz @ random_rotation(rng).T + rng.uniform(-60, 60, 3)
        text = "".join(f"{ln[:30]}{x:8.3f}{y:8.3f}{z:8.3f}{ln[54:]}\n" for ln, (x, y, z) in zip(lines, moved)) + "END\n"
        path = directory / f"t{k:07d}_{name}.pdb"
        if k % 4 == 3:
            path.with_name(path.name + ".gz").write_bytes(gzip.compress(text.encode(), compresslevel=1))
        else:
            path.write_text(text)


def fields(hits):
    return [(h.target_id, h.rank, h.score, h.rmsd, h.n_aligned, h.seq_identity, h.z_score) for h in hits]


def timed(fn):
    t = time.perf_counter()
    out = fn()
    return out, time.perf_counter() - t


def child(directory, threads):
    """Runs in a fresh process: a quick scan of a directory, its time and peak RSS."""
    query = ovelt.Domain.from_pdb(str(QUERY))
    found, seconds = timed(lambda: scan_files(query, directory, search="none", quick=True, threads=threads, batch=1000))
    print(json.dumps({"seconds": seconds, "hits": len(found.hits), "skipped": len(found.skipped),
                      "rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--throughput", type=int, default=2000)
    ap.add_argument("--rss-small", type=int, default=10000)
    ap.add_argument("--rss-large", type=int, default=100000)
    ap.add_argument("--child", nargs=2, metavar=("DIR", "THREADS"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        return child(args.child[0], int(args.child[1]))

    rng = np.random.default_rng(7)
    sources = [(p.stem, *ca_records(p)) for p in sorted((DATA / "structures").rglob("*.pdb"))]
    query = ovelt.Domain.from_pdb(str(QUERY))
    with tempfile.TemporaryDirectory(prefix="ovelt_scan_files_") as tmp:
        root = Path(tmp)
        _, seconds = timed(lambda: (write_targets(root / "sub", args.throughput, 0, sources, rng),
                                    write_targets(root / "big" / "a", args.rss_small, 0, sources, rng),
                                    write_targets(root / "big" / "b", args.rss_large - args.rss_small,
                                                  args.rss_small, sources, rng)))
        print(f"wrote {args.throughput + args.rss_large} target files in {seconds:.0f} s")
        sub = root / "sub"
        paths = list(expand_targets(sub))
        n = len(paths)

        from dask.distributed import Client, LocalCluster
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
        client = Client(cluster)
        print(f"\nthroughput on {n} files (targets/s; ratio to reading the files and calling scan_database)")
        for mode, kw in MODES.items():
            def peer():
                domains = [ovelt.Domain.from_pdb(p) for p in paths]
                return ovelt.scan_database(query, domains, scan_mode=kw.get("search") != "none",
                                           quick=kw.get("quick", False), threads=2)
            ref, t_peer = timed(peer)
            runs = {
                "1 thread": lambda: scan_files(query, sub, threads=1, batch=200, **kw),
                "2 threads": lambda: scan_files(query, sub, threads=2, batch=200, **kw),
                "LocalCluster 2x1": lambda: scan_files(query, sub, threads=1, batch=200, client=client, **kw),
            }
            print(f"  {mode:8s} scan_database, 2 threads: {n / t_peer:9.1f}")
            for label, run in runs.items():
                found, t = timed(run)
                same = fields(found.hits) == fields(ref) and not found.skipped and not found.lost
                print(f"  {mode:8s} {label:24s}: {n / t:9.1f}  ratio {t_peer / t:5.2f}  same hits: {same}")
        client.close()
        cluster.close()

        print("\npeak RSS of a fresh process, quick mode, 2 threads")
        for label, directory, count in [("small", root / "big" / "a", args.rss_small),
                                        ("large", root / "big", args.rss_large)]:
            out = subprocess.run([sys.executable, __file__, "--child", str(directory), "2"], check=True,
                                 capture_output=True, text=True, env=os.environ)
            r = json.loads(out.stdout)
            print(f"  {count:7d} targets: {r['rss_mb']:7.1f} MB, {count / r['seconds']:8.1f} targets/s, "
                  f"{r['hits']} hits, {r['skipped']} skipped")


if __name__ == "__main__":
    main()
