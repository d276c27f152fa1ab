"""Sensitive mode against the window scan and TM-align (tmtools).

Aligns the 78 same-family pairs of the shipped structures and 50 random
cross-family pairs three ways, interleaved pair by pair: pairwise_align with
search="sensitive", with search="windows" (on one thread, like the others)
and TM-align on the same C-alpha coordinates. Prints how many pairs each
ovelt mode aligns (score > 0), the median ratio of ovelt's tm_score to
TM-align's TM-score (both normalised by the first structure), and median
times per pair with their ratios.

    python benchmarks/sensitive.py [--repeats N] [--seed S]
"""
import argparse
import itertools
import random
import statistics
import time
from pathlib import Path

import numpy as np
import tmtools

import ovelt

ROOT = Path(__file__).resolve().parent.parent
STRUCTURES = ROOT / "tests" / "data" / "structures"
MODES = ["sensitive", "windows", "tmalign"]


def families():
    return {folder.name: [ovelt.Domain.from_pdb(str(f)) for f in sorted(folder.glob("*.pdb"))]
            for folder in sorted(p for p in STRUCTURES.iterdir() if p.is_dir())}


def pair_sets(seed):
    fams = families()
    same = [(f, a, b) for f, ds in fams.items() for a, b in itertools.combinations(ds, 2)]
    everyone = [(f, d) for f, ds in fams.items() for d in ds]
    cross = [((fa, fb), a, b) for (fa, a), (fb, b) in itertools.combinations(everyone, 2) if fa != fb]
    return same, random.Random(seed).sample(cross, 50)


def measure(pairs, repeats):
    rows = []
    for label, a, b in pairs:
        ca, cb = np.ascontiguousarray(a.coordinates), np.ascontiguousarray(b.coordinates)
        calls = {
            "sensitive": lambda: ovelt.pairwise_align(a, b, search="sensitive"),
            "windows": lambda: ovelt.pairwise_align(a, b, search="windows", threads=1),
            "tmalign": lambda: tmtools.tm_align(ca, cb, a.sequence, b.sequence),
        }
        times = {m: [] for m in MODES}
        out = {}
        for rep in range(repeats):
            for m in MODES[rep % 3:] + MODES[:rep % 3]:
                start = time.perf_counter()
                out[m] = calls[m]()
                times[m].append(time.perf_counter() - start)
        rows.append({"label": label, "a": a.id, "b": b.id, "out": out,
                     "time": {m: statistics.median(t) for m, t in times.items()}})
    return rows


def report(title, rows, detail=False):
    n = len(rows)
    sens = sum(r["out"]["sensitive"].score > 0 for r in rows)
    win = sum(r["out"]["windows"].score > 0 for r in rows)
    ratios = [r["out"]["sensitive"].tm_score / r["out"]["tmalign"].tm_norm_chain1 for r in rows]
    wratios = [r["out"]["windows"].tm_score / r["out"]["tmalign"].tm_norm_chain1 for r in rows]
    t = {m: statistics.median(r["time"][m] for r in rows) for m in MODES}
    print(f"== {title}: {n} pairs")
    print(f"pairs with score > 0: sensitive {sens}/{n}, window scan {win}/{n}")
    print(f"median tm_score / TM-align TM-score: sensitive {statistics.median(ratios):.3f} "
          f"(min {min(ratios):.3f}), window scan {statistics.median(wratios):.3f}")
    print(f"median ms per pair: sensitive {1e3 * t['sensitive']:.2f}, window scan {1e3 * t['windows']:.2f}, "
          f"TM-align {1e3 * t['tmalign']:.2f}")
    print(f"time ratios: window scan / sensitive {t['windows'] / t['sensitive']:.2f}, "
          f"TM-align / sensitive {t['tmalign'] / t['sensitive']:.2f}")
    if detail:
        by_family = {}
        for r, q in zip(rows, ratios):
            by_family.setdefault(r["label"], []).append((r["out"]["sensitive"].score > 0, q))
        for fam, v in by_family.items():
            print(f"  {fam:<20} aligned {sum(x for x, _ in v)}/{len(v)}  "
                  f"median tm ratio {statistics.median(q for _, q in v):.3f}")
    high = [r for r in rows if r["out"]["sensitive"].score > 0]
    return high


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeats", type=int, default=1)
    ap.add_argument("--seed", type=int, default=11)
    args = ap.parse_args()
    same, cross = pair_sets(args.seed)
    report("same-family pairs", measure(same, args.repeats), detail=True)
    for r in report("cross-family pairs", measure(cross, args.repeats)):
        print(f"  cross-family pair with score > 0: {r['a']} / {r['b']} score {r['out']['sensitive'].score:.4f} "
              f"tm_score {r['out']['sensitive'].tm_score:.3f}")


if __name__ == "__main__":
    main()
