"""Database scan throughput: one real query against a database of real domains.

The database is every structure under tests/data/structures, repeated with
random rigid motions until it holds at least --size domains. The same query
is scanned in scan, plain and quick mode, and aligned to every target with
TM-align (tmtools) for comparison. Prints targets per second per mode and the
ratio to TM-align.

    PYTHONPATH=build/py python3 benchmarks/scan.py [--size 217] [--query globin/1mbn]
"""

import argparse
import csv
import time
from pathlib import Path

import numpy as np

import ovelt

DATA = Path(__file__).resolve().parent.parent / "tests" / "data"


def shipped_domains():
    with open(DATA / "MANIFEST.tsv", newline="") as fh:
        rows = [r for r in csv.DictReader(fh, delimiter="\t") if r["family"] != "edge"]
    out = []
    for row in rows:
        chain = None if row["chain"] == "-" else row["chain"]
        out.append((row["family"], ovelt.Domain.from_pdb(str(DATA / row["file"]), chain=chain)))
    return out


def random_rotation(rng):
    q = rng.normal(size=4)
    a, b, c, d = q / np.linalg.norm(q)
    return np.array([
        [a * a + b * b - c * c - d * d, 2 * (b * c - a * d), 2 * (b * d + a * c)],
        [2 * (b * c + a * d), a * a - b * b + c * c - d * d, 2 * (c * d - a * b)],
        [2 * (b * d - a * c), 2 * (c * d + a * b), a * a - b * b - c * c + d * d],
    ])


def moved_copy(domain, copy_index, rng):
    d = domain.copy()
    coords = domain.coordinates
    d.coordinates = np.ascontiguousarray(coords @ random_rotation(rng).T + rng.uniform(-50, 50, size=3))
    d.id = f"{domain.id}_{copy_index}"
    return d


def build_database(size, seed):
    rng = np.random.default_rng(seed)
    base = shipped_domains()
    db, copy_index = [], 0
    while len(db) < size:
        for family, d in base:
            db.append((family, d if copy_index == 0 else moved_copy(d, copy_index, rng)))
        copy_index += 1
    return db


def timed(fn, repeats):
    best = float("inf")
    result = None
    for _ in range(repeats):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size", type=int, default=200, help="minimum number of database domains")
    ap.add_argument("--query", default="globin/1mbn", help="family/file stem of the query structure")
    ap.add_argument("--repeats", type=int, default=1, help="timing repeats per mode (best is kept)")
    ap.add_argument("--seed", type=int, default=7)
    args = ap.parse_args()

    db = build_database(args.size, args.seed)
    targets = [d for _, d in db]
    family_of = {d.id: fam for fam, d in db}
    qfam, qname = args.query.split("/")
    query = ovelt.Domain.from_pdb(str(DATA / "structures" / qfam / f"{qname}.pdb"))
    n = len(targets)
    print(f"query {query.id} ({len(query)} residues) against {n} domains "
          f"({sum(len(t) for t in targets)} residues in all)")

    modes = {
        "scan": dict(scan_mode=True),
        "plain": dict(scan_mode=False),
        "quick": dict(scan_mode=False, quick=True),
    }
    rates = {}
    for name, kw in modes.items():
        secs, hits = timed(lambda: ovelt.scan_database(query, targets, max_hits=n, **kw), args.repeats)
        rates[name] = n / secs
        top = [h for h in hits if h.score > 0][: 10]
        same = sum(family_of[h.target_id] == qfam for h in top)
        print(f"{name:>6}: {secs:8.3f} s  {rates[name]:9.1f} targets/s  "
              f"hits with score > 0: {sum(h.score > 0 for h in hits):3d}  "
              f"same family in top {len(top)}: {same}")

    qc, qs = query.coordinates, query.sequence
    prepared = [(t.coordinates, t.sequence) for t in targets]

    def tmalign_all():
        from tmtools import tm_align
        return [tm_align(qc, c, qs, s) for c, s in prepared]

    secs, _ = timed(tmalign_all, args.repeats)
    rates["TM-align"] = n / secs
    print(f"TM-align: {secs:8.3f} s  {rates['TM-align']:9.1f} targets/s")
    for name in modes:
        print(f"{name:>6} / TM-align speed ratio: {rates[name] / rates['TM-align']:7.2f}x")


if __name__ == "__main__":
    main()
