"""Wall time of align_pdbs and multiple_align against MUSTANG on the bundled
families, and how our time grows with the number of domains and the chain
length.

    PYTHONPATH=build/py python3 benchmarks/multiple.py [--repeats 3] [--no-mustang]
    PYTHONPATH=build/py python3 benchmarks/multiple.py --columns
    PYTHONPATH=build/py python3 benchmarks/multiple.py --sensitive

--sensitive compares align_pdbs(search="sensitive") with the window-scan
default, MUSTANG and the peers' shipped alignments (benchmarks/data/peer_msas):
core columns, the share of residue pairs in one column lying farther apart
than 6 A in the written superposition, and time against MUSTANG.

--columns prints no times: it checks the columns of align_pdbs against the
superposition it writes (core columns, and how many residue pairs that share
a column lie farther apart than 4 A in the written files).

Every family is run interleaved (ovelt, then MUSTANG, repeat) so that machine
load hits both alike; the table shows the fastest of the repeats. MUSTANG
runs on copies of the files in a scratch directory and, like align_pdbs,
writes its superposed structures (its default); its time includes starting
the process, which is what a caller pays.
"""
import argparse
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import numpy as np

import ovelt

ROOT = Path(__file__).resolve().parent.parent
STRUCTURES = ROOT / "tests" / "data" / "structures"
PEER_MSAS = Path(__file__).resolve().parent / "data" / "peer_msas"


def timed(fn):
    start = time.perf_counter()
    value = fn()
    return time.perf_counter() - start, value


def run_mustang(files, scratch):
    for f in files:
        shutil.copy(f, scratch)
    names = [Path(f).name for f in files]
    cmd = ["mustang", "-p", str(scratch) + "/", "-i", *names, "-o", str(scratch / "out"), "-F", "fasta"]
    proc = subprocess.run(cmd, cwd=scratch, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr.strip() or proc.stdout.strip()[-200:])


def family_table(repeats, with_mustang):
    print("Per family (fastest of %d runs, seconds)" % repeats)
    print(f"{'family':20} {'n':>3} {'len':>8} {'align_pdbs':>11} {'multiple':>9} {'mustang':>9} {'ratio':>7}"
          f"  {'cols':>5} {'core':>5} {'avg_rmsd':>8}")
    for family in sorted(p for p in STRUCTURES.iterdir() if p.is_dir()):
        files = [str(p) for p in sorted(family.glob("*.pdb"))]
        domains = [ovelt.Domain.from_pdb(f) for f in files]
        lengths = [len(d) for d in domains]
        ours, multi, theirs = [], [], []
        for _ in range(repeats):
            with tempfile.TemporaryDirectory() as out:
                t, result = timed(lambda: ovelt.align_pdbs(files, out))
                ours.append(t)
            multi.append(timed(lambda: ovelt.multiple_align(domains))[0])
            if with_mustang:
                theirs += mustang_seconds(files, family.name)
        m = min(theirs) if theirs else float("nan")
        print(f"{family.name:20} {len(files):3d} {min(lengths):3d}-{max(lengths):<4d} {min(ours):11.4f} "
              f"{min(multi):9.4f} {m:9.3f} {m / min(ours):6.0f}x  {result.n_columns:5d} {result.n_core:5d} "
              f"{result.avg_rmsd:8.2f}")


def pool():
    """Globin, lipocalin and EF-hand files: 17 chains of 134-185 residues."""
    files = []
    for name in ("globin", "lipocalin_obp", "ef_hand_calmodulin"):
        files += [str(p) for p in sorted((STRUCTURES / name).glob("*.pdb"))]
    return files


def domain_scaling(repeats):
    print("\nScaling with the number of domains (globin/lipocalin/EF-hand pool, files repeated past 17)")
    print(f"{'n':>3} {'align_pdbs':>11} {'multiple':>9} {'per pair (ms)':>14}")
    files = pool()
    for n in (2, 4, 8, 16, 32):
        chosen = [files[i % len(files)] for i in range(n)]
        # Repeated files need distinct names only for the output; the
        # timing is what matters here, so later copies overwrite earlier.
        domains = [ovelt.Domain.from_pdb(f) for f in chosen]
        ours, multi = [], []
        for _ in range(repeats):
            with tempfile.TemporaryDirectory() as out:
                ours.append(timed(lambda: ovelt.align_pdbs(chosen, out))[0])
            multi.append(timed(lambda: ovelt.multiple_align(domains))[0])
        pairs = n * (n - 1) // 2
        print(f"{n:3d} {min(ours):11.4f} {min(multi):9.4f} {1000 * min(multi) / pairs:14.2f}")


def length_scaling(repeats):
    print("\nScaling with chain length (4 kinesin motor domains, first L residues, in the common frame)")
    print(f"{'L':>4} {'multiple':>9}")
    files = [str(p) for p in sorted((STRUCTURES / "kinesin_motor").glob("*.pdb"))][:4]
    with tempfile.TemporaryDirectory() as out:
        result = ovelt.align_pdbs(files, out)
    moved = [t.apply(ovelt.Domain.from_pdb(f).coordinates) for t, f in zip(result.full_transforms, files)]
    seqs = [ovelt.Domain.from_pdb(f).sequence for f in files]
    for length in (40, 80, 160, 320):
        domains = [ovelt.Domain.from_arrays(f"k{i}", np.ascontiguousarray(c[:length]), s[:length])
                   for i, (c, s) in enumerate(zip(moved, seqs))]
        t = min(timed(lambda: ovelt.multiple_align(domains))[0] for _ in range(repeats))
        print(f"{length:4d} {t:9.4f}")


def column_pairs(files, search=None, cutoff=4.0):
    """align_pdbs, then the CA positions of the written files read back:
    (columns, core, column pairs, pairs farther apart than `cutoff` A)."""
    with tempfile.TemporaryDirectory() as out:
        result = ovelt.align_pdbs(files, out, search=search)
        written = [ovelt.Domain.from_pdb(str(Path(out) / f"aligned_{Path(f).stem}.pdb")).coordinates for f in files]
    pairs = far = 0
    for column in result.columns:
        held = [(d, r) for d, r in enumerate(column) if r is not None]
        for k, (d1, r1) in enumerate(held):
            for d2, r2 in held[k + 1:]:
                pairs += 1
                far += np.linalg.norm(written[d1][r1] - written[d2][r2]) > cutoff
    return result.n_columns, result.n_core, pairs, far


def peer_core_columns(family):
    """{peer file: columns without a gap} for the shipped peer multiple
    alignments (the "_pair_" files hold pairwise ones and are skipped)."""
    out = {}
    for path in sorted((PEER_MSAS / family).glob("*")):
        if "_pair_" in path.name:
            continue
        seqs, current = [], None
        for line in path.read_text().splitlines():
            if line.startswith(">"):
                current = []
                seqs.append(current)
            elif current is not None:
                current.append(line.strip())
        rows = ["".join(s) for s in seqs]
        if rows and len({len(r) for r in rows}) == 1:
            out[path.name] = sum(all(r[c] not in "-." for r in rows) for c in range(len(rows[0])))
    return out


def sensitive_table(repeats, with_mustang):
    print("align_pdbs(search='sensitive') against the window scan, MUSTANG and the peers' alignments")
    print(f"{'family':20} {'n':>3} {'core':>5} {'>6 A':>6} {'window core':>12} {'peers core':>11} "
          f"{'sensitive s':>12} {'mustang s':>10} {'ratio':>7}")
    for family in sorted(p for p in STRUCTURES.iterdir() if p.is_dir()):
        files = [str(p) for p in sorted(family.glob("*.pdb"))]
        _, core, pairs, far = column_pairs(files, "sensitive", 6.0)
        _, window_core, _, _ = column_pairs(files, None, 6.0)
        peers = peer_core_columns(family.name)
        peer_text = f"{min(peers.values())}-{max(peers.values())}" if peers else "-"
        ours, theirs = [], []
        for _ in range(repeats):
            with tempfile.TemporaryDirectory() as out:
                ours.append(timed(lambda: ovelt.align_pdbs(files, out, search="sensitive"))[0])
            if with_mustang:
                theirs += mustang_seconds(files, family.name)
        m = min(theirs) if theirs else float("nan")
        print(f"{family.name:20} {len(files):3d} {core:5d} {100 * far / max(pairs, 1):5.1f}% {window_core:12d} "
              f"{peer_text:>11} {min(ours):12.3f} {m:10.3f} {m / min(ours):6.1f}x")


def mustang_seconds(files, name):
    """One timed MUSTANG run in a scratch directory: [seconds], or [] if it failed."""
    with tempfile.TemporaryDirectory() as scratch:
        try:
            return [timed(lambda: run_mustang(files, Path(scratch)))[0]]
        except RuntimeError as e:
            print(f"  mustang failed on {name}: {e}")
            return []


def column_table():
    print(f"{'set':22} {'n':>3} {'cols':>5} {'core':>5} {'col pairs':>10} {'> 4 A':>6}")
    myoglobins = [str(STRUCTURES / "globin" / f"{x}.pdb") for x in ("1mbn", "5vzq", "2eb8", "1urv")]
    sets = [("myoglobins", myoglobins)]
    sets += [(p.name, [str(f) for f in sorted(p.glob("*.pdb"))]) for p in sorted(STRUCTURES.iterdir()) if p.is_dir()]
    for name, files in sets:
        cols, core, pairs, far = column_pairs(files)
        print(f"{name:22} {len(files):3d} {cols:5d} {core:5d} {pairs:10d} {far:6d}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--no-mustang", action="store_true")
    parser.add_argument("--columns", action="store_true", help="column check only, no timing")
    parser.add_argument("--sensitive", action="store_true", help="sensitive mode against MUSTANG and peers only")
    args = parser.parse_args()
    with_mustang = not args.no_mustang and shutil.which("mustang") is not None
    if args.columns:
        column_table()
        return
    if args.sensitive:
        sensitive_table(args.repeats, with_mustang)
        return
    family_table(args.repeats, with_mustang)
    print()
    sensitive_table(args.repeats, with_mustang)
    domain_scaling(args.repeats)
    length_scaling(args.repeats)


if __name__ == "__main__":
    main()
