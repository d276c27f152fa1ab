"""Calls every function and method of the API many times and prints how the
process's resident memory moves: a leak of even one small object per call
shows up as megabytes.

    python benchmarks/leak_check.py [calls per function, default 100000]
"""
import os
import pickle
import sys
import tempfile
from pathlib import Path

import numpy as np

import ovelt

DATA = Path(__file__).resolve().parent.parent / "tests" / "data"


def rss_kib():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def main(calls):
    tmp = Path(tempfile.mkdtemp())
    pdb = str(DATA / "structures/zinc_finger_c2h2/1sp1.pdb")
    pdb2 = str(DATA / "structures/zinc_finger_c2h2/3znf.pdb")
    d1 = ovelt.Domain.from_pdb(pdb)
    d2 = ovelt.Domain.from_pdb(pdb2)
    x = d1.coordinates
    t = ovelt.Transform.from_matrix(np.eye(3), np.array([1.0, 2.0, 3.0]))
    p = ovelt.Parameters()
    res = ovelt.pairwise_align(d1, d1)
    msa = ovelt.multiple_align([d1, d2])
    hits = ovelt.scan_database(d1, [d1, d2], scan_mode=False, quick=True)
    out = str(tmp / "out.pdb")

    def failing(fn):
        def call():
            try:
                fn()
            except (ValueError, OSError, TypeError):
                pass
        return call

    cases = {
        "superpose": lambda: ovelt.superpose(x, x),
        "compute_rmsd": lambda: ovelt.compute_rmsd(x, x),
        "centroid": lambda: ovelt.centroid(x),
        "distance_matrix": lambda: ovelt.distance_matrix(x, x),
        "Transform methods": lambda: (t.apply(x), t.inverse().compose(t), t.rotation, t.translation,
                                      t.transformation_matrix(), repr(t)),
        "Domain.from_pdb": lambda: ovelt.Domain.from_pdb(pdb),
        "Domain.from_pdb (missing file)": failing(lambda: ovelt.Domain.from_pdb(str(tmp / "nope.pdb"))),
        "Domain.from_arrays": lambda: ovelt.Domain.from_arrays("a", x, d1.sequence),
        "Domain views": lambda: (d1.coordinates, d1.sequence, d1.secondary_structure, d1.copy(),
                                 d1.ss_content(), repr(d1), str(d1)),
        "Domain.load_dssp (missing)": failing(lambda: d1.copy().load_dssp(str(tmp / "nope.dssp"))),
        "Domain.to_pdb": lambda: d1.to_pdb(out),
        "transform_pdb_file": lambda: ovelt.transform_pdb_file(pdb, out, t),
        "Parameters": lambda: (repr(p), setattr(p, "e1", 2.0), p.max_iter),
        "pairwise_align": lambda: ovelt.pairwise_align(d1, d2),
        "pairwise_align (scan)": lambda: ovelt.pairwise_align(d1, d2, scan_mode=True),
        "AlignmentResult": lambda: (res.transform, res.aligned_pairs, res.get_rotation(), repr(res),
                                    res.get_transformed_coordinates(d1)),
        "scan_database (quick)": lambda: ovelt.scan_database(d1, [d1, d2], scan_mode=False, quick=True),
        "ScanHit": lambda: [repr(h) for h in hits],
        "multiple_align": lambda: ovelt.multiple_align([d1, d2]),
        "MultipleAlignmentResult": lambda: (msa.columns, msa.full_transforms, msa.core_positions,
                                            msa.get_transform(1), repr(msa)),
        "pickle round trips": lambda: [pickle.loads(pickle.dumps(o)) for o in (d1, p, t, res, hits[0], msa)],
        "damaged pickle state": failing(lambda: ovelt.Domain._from_state(d1.__reduce__()[1][0][:-1])),
        "bad argument types": failing(lambda: ovelt.pairwise_align(d1, "x")),
    }
    slow = {"pairwise_align (scan)", "multiple_align", "Domain.from_pdb", "Domain.to_pdb", "transform_pdb_file"}
    print(f"{'call':34s} {'calls':>8s} {'RSS growth':>12s}")
    worst = 0
    for name, fn in cases.items():
        n = calls // 10 if name in slow else calls
        for _ in range(min(n, 2000)):
            fn()
        before = rss_kib()
        for _ in range(n):
            fn()
        grown = rss_kib() - before
        worst = max(worst, grown)
        print(f"{name:34s} {n:8d} {grown:9d} KiB")
    print(f"largest growth: {worst} KiB")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 100_000)
