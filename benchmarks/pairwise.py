"""pairwise_align (plain and scan mode) against TM-align on homologous pairs.

Every pair of structures inside a shipped family (kinesin: the first five
members) is aligned by ovelt in plain mode (on the deposited frames, and
again with the mobile structure pre-placed by scan mode), by ovelt in scan
mode and by TM-align (tmtools, in process), on the same C-alpha coordinates
and sequences. The three are interleaved pair by pair and repeated; each pair's
time is its median over the repeats. Prints per-family and overall medians
and the TM-align / ovelt ratios.

Then the cost of one aligner cycle (similarity, dynamic programming and fit)
per cell of its band, on the kinesin pairs and on long inputs made of several
real chains read as one domain, and the window scan on long inputs (TM-align
takes minutes there, so it is left out).

    python benchmarks/pairwise.py [--repeats N] [--long]
"""
import argparse
import itertools
import os
import statistics
import time
from pathlib import Path

import numpy as np
import tmtools

import ovelt

ROOT = Path(__file__).resolve().parent.parent
STRUCTURES = ROOT / "tests" / "data" / "structures"
KINESIN_MEMBERS = 5  # 300+ residues each; all 28 pairs would dominate the run


def families():
    out = {}
    for folder in sorted(p for p in STRUCTURES.iterdir() if p.is_dir()):
        files = sorted(folder.glob("*.pdb"))
        if folder.name == "kinesin_motor":
            files = files[:KINESIN_MEMBERS]
        out[folder.name] = [ovelt.Domain.from_pdb(str(f)) for f in files]
    return out


def seconds(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def run(repeats):
    pairs = []
    for family, domains in families().items():
        pairs += [(family, a, b) for a, b in itertools.combinations(domains, 2)]
    jobs = []
    for family, a, b in pairs:
        ca, cb = np.ascontiguousarray(a.coordinates), np.ascontiguousarray(b.coordinates)
        # The mobile structure moved by the scan-mode result: plain mode then
        # refines over several cycles instead of stopping after one.
        placed = ovelt.Domain.from_arrays(
            b.id, ovelt.pairwise_align(a, b, scan_mode=True).get_transformed_coordinates(b), b.sequence)
        jobs.append({
            "family": family,
            "plain": lambda a=a, b=b: ovelt.pairwise_align(a, b),
            "placed": lambda a=a, p=placed: ovelt.pairwise_align(a, p),
            "scan": lambda a=a, b=b: ovelt.pairwise_align(a, b, scan_mode=True, threads=1),
            "scan_all": lambda a=a, b=b: ovelt.pairwise_align(a, b, scan_mode=True),
            "tmalign": lambda ca=ca, cb=cb, sa=a.sequence, sb=b.sequence: tmtools.tm_align(ca, cb, sa, sb),
        })
    modes = ["plain", "placed", "scan", "scan_all", "tmalign"]
    times = [{m: [] for m in modes} for _ in jobs]
    for rep in range(repeats):
        for job, t in zip(jobs, times):
            order = modes[rep % len(modes):] + modes[:rep % len(modes)]  # rotate so no mode always runs first
            for m in order:
                t[m].append(seconds(job[m]))
    per_pair = [{m: statistics.median(t[m]) for m in modes} for t in times]

    found = sum(ovelt.pairwise_align(a, b, scan_mode=True).score > 0 for _, a, b in pairs)
    print(f"{len(pairs)} homologous pairs, {repeats} repeats, medians in milliseconds")
    print(f"scan mode found an alignment (score > 0) for {found} of {len(pairs)} pairs\n")
    header = (f"{'family':<20}{'pairs':>6}{'plain':>9}{'placed':>9}{'scan':>9}{'TM-align':>10}"
              f"{'TM/plain':>10}{'TM/placed':>10}{'TM/scan':>9}")
    print(header)
    groups = {}
    for job, p in zip(jobs, per_pair):
        groups.setdefault(job["family"], []).append(p)
    groups["all"] = per_pair
    for name, rows in groups.items():
        med = {m: statistics.median(r[m] for r in rows) * 1e3 for m in modes}
        med_all = med["scan_all"]
        ratio = {m: statistics.median(r["tmalign"] / r[m] for r in rows) for m in modes}
        print(f"{name:<20}{len(rows):>6}{med['plain']:>9.3f}{med['placed']:>9.3f}{med['scan']:>9.3f}"
              f"{med['tmalign']:>10.3f}{ratio['plain']:>10.1f}{ratio['placed']:>10.1f}{ratio['scan']:>9.2f}")
    print("\nplain: the deposited frames; placed: plain mode after the scan-mode superposition;")
    print("scan runs its windows on one thread; ratios are medians of per-pair ratios (TM-align time / ovelt time)")
    cores = len(os.sched_getaffinity(0))
    print(f"scan with its windows on all {cores} cores: median {med_all:.3f} ms per pair, "
          f"{statistics.median(r['scan'] / r['scan_all'] for r in per_pair):.2f}x the one-thread speed")


def band_cells(n, m, width=100.0):
    """Cells of the dynamic programming's band for an n x m cycle."""
    w = width + abs((n - m) - 4)
    t, u = n + 2.0, m + 2.0
    h = ((w / np.sqrt(2.0)) * (t / u + u / t)) / np.sqrt(t * t + u * u)
    r = np.arange(1, n + 1)[:, None] / t
    c = np.arange(1, m + 1)[None, :] / u
    return int((np.abs(c - r) <= h).sum())


def chain_of(domains, ident, angle=0.0, shift=(0.0, 0.0, 0.0)):
    """Several real chains read as one domain, optionally rotated about z."""
    xyz = np.concatenate([d.coordinates for d in domains])
    c, s = np.cos(angle), np.sin(angle)
    xyz = xyz @ np.array([[c, -s, 0.0], [s, c, 0.0], [0.0, 0.0, 1.0]]).T + np.asarray(shift)
    return ovelt.Domain.from_arrays(ident, np.ascontiguousarray(xyz), "".join(d.sequence for d in domains))


def cell_costs(repeats, long_scans):
    kinesins = [ovelt.Domain.from_pdb(str(f)) for f in sorted((STRUCTURES / "kinesin_motor").glob("*.pdb"))]
    everything = [d for ds in families().values() for d in ds] + kinesins[KINESIN_MEMBERS:]
    cycles = {}
    for k in (1, 2):
        cycles[k] = ovelt.Parameters()
        cycles[k].max_iter = k
    # Kinesins in their deposited frames (one cycle finds nothing), and pairs
    # that keep aligning after the first cycle: kinesins that scan mode placed,
    # and long multi-chain inputs against a slightly moved copy.
    cases = [("deposited", a, b) for a, b in itertools.combinations(kinesins[:KINESIN_MEMBERS], 2)]
    for a, b in itertools.combinations(kinesins[:KINESIN_MEMBERS], 2):
        found = ovelt.pairwise_align(a, b, scan_mode=True)
        if found.score > 0:
            moved = found.get_transformed_coordinates(b)
            cases.append(("kinesin", a, ovelt.Domain.from_arrays(b.id, moved, b.sequence)))
    cases += [
        ("8 kinesins vs moved copy", chain_of(kinesins, "k8"), chain_of(kinesins, "k8m", 0.05, (0.5, 0, 0))),
        ("all chains vs moved copy", chain_of(everything, "all"), chain_of(everything, "allm", 0.05, (0.5, 0, 0))),
    ]
    print(f"\none aligner cycle per cell of the band, best of {repeats}: the first cycle of a call")
    print("(max_iter=1, setup included) and a further cycle (max_iter=2 minus max_iter=1)")
    print(f"{'input':<30}{'n x m':>12}{'cells':>10}{'first ms':>10}{'ns/cell':>9}{'further ns/cell':>17}")
    first, further = [], []
    for name, a, b in cases:
        # One and two cycles alternate, so that both minima come from the same stretch of time.
        runs = {1: [], 2: []}
        for _ in range(repeats):
            for k in (1, 2):
                runs[k].append(seconds(lambda: ovelt.pairwise_align(a, b, cycles[k])))
        t = {k: min(v) for k, v in runs.items()}
        cells = band_cells(len(a), len(b))
        first.append(t[1] * 1e9 / cells)
        further.append((t[2] - t[1]) * 1e9 / cells)
        if name not in ("kinesin", "deposited"):
            print(f"{name:<30}{f'{len(a)}x{len(b)}':>12}{cells:>10}{t[1] * 1e3:>10.2f}{first[-1]:>9.2f}"
                  f"{further[-1]:>17.2f}")
    dep = [i for i, c in enumerate(cases) if c[0] == "deposited"]
    print(f"{f'{len(dep)} kinesin pairs, own frames':<30}{'':>32}{statistics.median(first[i] for i in dep):>9.2f}"
          f"{'-':>17}")
    kin = [i for i, c in enumerate(cases) if c[0] == "kinesin"]
    print(f"{f'{len(kin)} kinesin pairs, placed':<30}{'':>32}{statistics.median(first[i] for i in kin):>9.2f}"
          f"{statistics.median(further[i] for i in kin):>17.2f}")

    print("\nwindow scan on long inputs (one run each), windows on one thread and on all cores")
    print(f"{'input':<34}{'n x m':>12}{'1 thread s':>12}{'all cores s':>13}")
    scans = [("8 kinesins", chain_of(kinesins, "k8"), chain_of(kinesins[4:] + kinesins[:4], "k8r", 1.9, (30, -12, 7))),
             ("all chains", chain_of(everything, "all"), chain_of(everything[::-1], "rev", 0.1, (0.5, 0.5, 0.5)))]
    for name, a, b in scans[:None if long_scans else 1]:
        one = seconds(lambda: ovelt.pairwise_align(a, b, scan_mode=True, threads=1))
        every = seconds(lambda: ovelt.pairwise_align(a, b, scan_mode=True))
        print(f"{name:<34}{f'{len(a)}x{len(b)}':>12}{one:>12.2f}{every:>13.2f}")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--long", action="store_true", help="also scan the longest input (a minute or more)")
    args = parser.parse_args()
    run(args.repeats)
    cell_costs(args.repeats, args.long)
