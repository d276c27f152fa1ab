"""The command-line tool run as a user runs it, checked against the Python API."""
import inspect
import json
import shutil
import subprocess
import sys

import numpy as np
import pytest

import ovelt

from conftest import DATA

GLOBIN = DATA / "structures" / "globin"
MYOGLOBINS = [str(GLOBIN / f"{x}.pdb") for x in ("1mbn", "5vzq", "2eb8", "1urv")]
HAS_SENSITIVE = "search" in inspect.signature(ovelt.pairwise_align).parameters
# What each --search choice means in the API, written out independently of the tool.
PAIRWISE_SEARCH = {"windows": {"scan_mode": True}, "none": {}, "sensitive": {"search": "sensitive"}}
SEARCHES = ["windows", "none"] + (["sensitive"] if HAS_SENSITIVE else [])


def run(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "ovelt", *map(str, args)], capture_output=True, text=True,
                          cwd=cwd)


def read_fasta(path):
    rows, name = {}, None
    for line in open(path):
        line = line.rstrip("\n")
        if line.startswith(">"):
            name = line[1:]
            rows[name] = ""
        else:
            rows[name] += line
    return rows


def check_rows(rows, domains):
    """Equal lengths, and each row without gaps is its structure's sequence."""
    assert len({len(r) for r in rows.values()}) == 1
    for (name, row), d in zip(rows.items(), domains):
        assert row.replace("-", "") == d.sequence, name


@pytest.mark.parametrize("search", SEARCHES)
def test_align_agrees_with_api(search, tmp_path):
    ref, mobile = MYOGLOBINS[0], MYOGLOBINS[1]
    if search == "none":  # a start in the reference's frame
        start = ovelt.pairwise_align(ovelt.Domain.from_pdb(ref), ovelt.Domain.from_pdb(mobile), scan_mode=True)
        mobile = str(tmp_path / "start.pdb")
        ovelt.transform_pdb_file(MYOGLOBINS[1], mobile, start.transform)
    moved, aln = tmp_path / "moved.pdb", tmp_path / "aln.fasta"
    fasta = [] if search == "windows" else ["--fasta", aln]
    proc = run("align", ref, mobile, "--search", search, "--json", "--out", moved, *fasta)
    assert proc.returncode == 0, proc.stderr
    got = json.loads(proc.stdout)
    d1, d2 = ovelt.Domain.from_pdb(ref), ovelt.Domain.from_pdb(mobile)
    want = ovelt.pairwise_align(d1, d2, **PAIRWISE_SEARCH[search])
    assert (got["score"], got["rmsd"], got["n_aligned"], got["seq_identity"]) == (
        want.score, want.rmsd, want.n_aligned, want.seq_identity)
    assert got["transform"]["rotation"] == want.transform.rotation.tolist()
    assert got["transform"]["translation"] == want.transform.translation.tolist()
    assert [tuple(p) for p in got["aligned_pairs"]] == want.aligned_pairs
    # x' = R x + t on the mobile file's coordinates is what the moved file holds.
    r, t = np.array(got["transform"]["rotation"]), np.array(got["transform"]["translation"])
    np.testing.assert_allclose(ovelt.Domain.from_pdb(str(moved)).coordinates, d2.coordinates @ r.T + t, atol=6e-4)
    if fasta:
        rows = read_fasta(aln)
        check_rows(rows, [d1, d2])
        a, b = rows.values()
        column1 = [k for k, c in enumerate(a) if c != "-"]
        column2 = [k for k, c in enumerate(b) if c != "-"]
        assert want.aligned_pairs and all(column1[i] == column2[j] for i, j in want.aligned_pairs)


def test_msa_outputs_agree_with_api(tmp_path):
    out = tmp_path / "out"
    proc = run("msa", *MYOGLOBINS, "-o", out, "--search", "windows", "--fasta", out / "msa.fasta",
               "--json", out / "summary.json", "--reference", MYOGLOBINS[2])
    assert proc.returncode == 0, proc.stderr
    assert "core columns" in proc.stdout
    got = json.loads((out / "summary.json").read_text())
    want = ovelt.align_pdbs(MYOGLOBINS, str(tmp_path / "api"), reference_index=2)
    assert got["columns"] == want.columns
    assert (got["n_core"], got["core_positions"], got["avg_rmsd"], got["score"]) == (
        want.n_core, want.core_positions, want.avg_rmsd, want.score)
    for s, t in zip(got["structures"], want.full_transforms):
        assert (s["transform"]["rotation"], s["transform"]["translation"]) == (
            t.rotation.tolist(), t.translation.tolist())
        assert (out / f"aligned_{s['name']}.pdb").read_bytes() == (
            tmp_path / "api" / f"aligned_{s['name']}.pdb").read_bytes()
    # The pairs are the ones the multiple alignment averaged.
    assert len(got["pairs"]) == 6
    assert np.mean([p["rmsd"] for p in got["pairs"]]) == pytest.approx(want.avg_rmsd, rel=1e-12)
    rows = read_fasta(out / "msa.fasta")
    assert list(rows) == ["1mbn", "5vzq", "2eb8", "1urv"]
    check_rows(rows, [ovelt.Domain.from_pdb(f) for f in MYOGLOBINS])


def test_scan_skips_and_counts_an_unreadable_target(tmp_path):
    targets = tmp_path / "db"
    (targets / "nested").mkdir(parents=True)
    for f in MYOGLOBINS[1:]:
        shutil.copy(f, targets / "nested")
    shutil.copy(GLOBIN / "1hho.pdb", targets)
    (targets / "broken.pdb").write_text("ATOM  garbage\n")
    proc = run("scan", MYOGLOBINS[0], targets, "--tsv", "-", "--search", "windows")
    assert proc.returncode == 0, proc.stderr
    assert "broken.pdb" in proc.stderr and "1 unreadable (skipped)" in proc.stderr
    header, *rows = [line.split("\t") for line in proc.stdout.splitlines()]
    domains = []
    for f in sorted(str(p) for p in targets.rglob("*.pdb") if p.name != "broken.pdb"):
        domains.append(ovelt.Domain.from_pdb(f))
        domains[-1].id = f
    hits = ovelt.scan_database(ovelt.Domain.from_pdb(MYOGLOBINS[0]), domains)
    assert [(int(r[0]), r[1], float(r[2])) for r in rows] == [(h.rank, h.target_id, h.score) for h in hits]
    assert header[:3] == ["rank", "target", "score"] and len(rows) == 4


@pytest.mark.parametrize(
    "args,status,message",
    [
        (["align", "missing.pdb", MYOGLOBINS[0]], 1, "missing.pdb: Failed to parse PDB: I/O error"),
        (["msa", MYOGLOBINS[0], "{broken}", "-o", "{tmp}"], 1, "broken.pdb: Failed to parse PDB"),
        (["scan", "{broken}", MYOGLOBINS[0]], 1, "broken.pdb: Failed to parse PDB"),
        (["align", MYOGLOBINS[0]], 2, "required: MOBILE"),
        (["align", *MYOGLOBINS[:2], "--json", "--tsv"], 2, "not allowed with argument"),
        (["align", *MYOGLOBINS[:2], "--search", "windows", "--fasta", "x"], 2, "--fasta needs residue pairs"),
        (["msa", MYOGLOBINS[0], "-o", "{tmp}"], 2, "at least two"),
        (["scan", *MYOGLOBINS[:2], "--top", "0"], 2, "positive integer"),
        (["frobnicate"], 2, "invalid choice"),
    ],
)
def test_exit_status_and_one_line_errors(args, status, message, tmp_path):
    broken = tmp_path / "broken.pdb"
    broken.write_text("HEADER    nothing to read\n")
    args = [a.format(broken=broken, tmp=tmp_path / "out") for a in args]
    proc = run(*args)
    assert proc.returncode == status
    assert message in proc.stderr
    assert "Traceback" not in proc.stderr and proc.stdout == ""
    if status == 1:
        assert len(proc.stderr.splitlines()) == 1
        assert "Traceback" in run(*args, "--debug").stderr


@pytest.mark.parametrize("command", ["align", "msa", "scan"])
def test_help_on_every_command(command):
    proc = run(command, "--help")
    assert proc.returncode == 0 and proc.stdout.startswith(f"usage: ovelt {command}")
