"""Domain.from_pdb against gemmi.read_structure on the same files.

Runs both readers interleaved on every shipped structure and on two ~10 MB
files built from a real NMR entry, prints per-set times and the ratio, and
measures peak memory (VmHWM) of a fresh process reading the big file. The
same files gzipped, and the shipped structures converted to mmCIF (plain and
gzipped, read with Domain.from_file), give the rows for those formats; the
gzip rows also print their time against the plain reader's.

    python benchmarks/read_pdb.py [--repeats N]
"""
import argparse
import csv
import gzip
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import gemmi

import ovelt

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "tests" / "data"
SOURCE = DATA / "edge" / "1lcd.pdb"  # 3 models, protein and DNA chains, waters


def shipped_files(tmp):
    with open(DATA / "MANIFEST.tsv", newline="") as fh:
        rows = list(csv.DictReader(fh, delimiter="\t"))
    files = []
    for row in rows:
        path = DATA / row["file"]
        if path.suffix == ".gz":
            plain = Path(tmp) / path.stem
            plain.write_bytes(gzip.decompress(path.read_bytes()))
            path = plain
        files.append((path, None if row["chain"] == "-" else row["chain"]))
    return files


def model_blocks():
    """The atom records of each model of the source entry."""
    blocks, current = [], []
    for line in SOURCE.read_text().splitlines():
        if line.startswith(("ATOM", "HETATM", "TER")):
            current.append(line)
        elif line.startswith("ENDMDL"):
            blocks.append(current)
            current = []
    return blocks


def build_big_file(path, target_bytes, last_chain=None):
    """Repeats the entry's models until the file is about target_bytes long.
    With last_chain, chain A of the final model is renamed so that reading
    that chain has to scan the whole file."""
    blocks = model_blocks()
    with open(path, "w") as out:
        out.write("HEADER    REPEATED MODELS OF 1LCD\n")
        n = 0
        while out.tell() < target_bytes:
            out.write(f"MODEL     {n + 1:4d}\n")
            out.write("\n".join(blocks[n % len(blocks)]) + "\nENDMDL\n")
            n += 1
        if last_chain:
            block = [l[:21] + last_chain + l[22:] if l[21:22] == "A" else l for l in blocks[0]]
            out.write(f"MODEL     {n + 1:4d}\n" + "\n".join(block) + "\nENDMDL\n")
            n += 1
        out.write("END\n")
    return n


def time_once(fn):
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def gzipped(files, tmp):
    """The files gzipped (level 6, as the archive serves them) into tmp."""
    out = []
    for path, chain in files:
        packed = Path(tmp) / (path.name + ".gz")
        packed.write_bytes(gzip.compress(path.read_bytes(), 6))
        out.append((packed, chain))
    return out


def as_mmcif(files, tmp):
    """The files converted to mmCIF by gemmi into tmp, leaving out those whose
    conversion gemmi cannot read back (a blank chain id)."""
    out = []
    for path, chain in files:
        st = gemmi.read_structure(str(path))
        st.setup_entities()
        cif = Path(tmp) / (path.stem + ".cif")
        st.make_mmcif_document().write_file(str(cif))
        try:
            gemmi.cif.read(str(cif))
        except (RuntimeError, ValueError):
            continue
        out.append((cif, chain))
    return out


def compare(label, files, repeats, read=ovelt.Domain.from_pdb, plain=None):
    """Median time per file for each reader, reads interleaved file by file;
    with `plain` (the time of the plain files), also the ratio to it."""
    ours = {p: [] for p, _ in files}
    theirs = {p: [] for p, _ in files}
    for _ in range(repeats):
        for path, chain in files:
            ours[path].append(time_once(lambda: read(str(path), chain)))
            theirs[path].append(time_once(lambda: gemmi.read_structure(str(path))))
    a = sum(statistics.median(v) for v in ours.values())
    b = sum(statistics.median(v) for v in theirs.values())
    extra = f"   ovelt/plain {a / plain:4.2f}x" if plain else ""
    print(f"{label:<48} ovelt {a * 1e3:9.2f} ms   gemmi {b * 1e3:9.2f} ms   gemmi/ovelt {b / a:6.1f}x{extra}")
    return a


# Peak resident memory from VmHWM: unlike ru_maxrss it belongs to the
# process image, so it does not carry over the parent's peak through exec.
MEMORY_PROBE = """
import sys
import ovelt, gemmi
def peak():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) / 1024
before = peak()
if sys.argv[1] == "ovelt":
    d = ovelt.Domain.from_pdb(sys.argv[2], sys.argv[3])
    size = len(d)
else:
    s = gemmi.read_structure(sys.argv[2])
    size = sum(len(ch) for m in s for ch in m)
print(f"{peak() - before:.1f} {size}")
"""


def peak_memory(reader, path, chain):
    out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, reader, str(path), chain],
                         check=True, capture_output=True, text=True).stdout.split()
    return float(out[0]), int(out[1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=15)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        files = shipped_files(tmp)
        print(f"{len(files)} shipped files, {sum(p.stat().st_size for p, _ in files) / 1e6:.1f} MB; "
              f"median of {args.repeats} interleaved runs")
        plain = compare(f"shipped structures ({len(files)} files)", files, args.repeats)
        compare("  the same, gzipped", gzipped(files, tmp), args.repeats, plain=plain)
        cifs = as_mmcif(files, tmp)
        compare(f"  as mmCIF, from_file ({len(cifs)} files)", cifs, args.repeats, read=ovelt.Domain.from_file)
        compare("  as gzipped mmCIF, from_file", gzipped(cifs, tmp), args.repeats,
                read=ovelt.Domain.from_file)

        models = Path(tmp) / "models.pdb"
        n = build_big_file(models, 10_000_000)
        scan = Path(tmp) / "scan.pdb"
        m = build_big_file(scan, 10_000_000, last_chain="Z")
        repeats = max(3, args.repeats // 3)
        compare(f"10 MB, {n} models, first model read", [(models, None)], repeats)
        plain = compare(f"10 MB, {m} models, chain only in last model", [(scan, "Z")], repeats)
        scan_gz = gzipped([(scan, "Z")], tmp)
        compare("  the same, gzipped", scan_gz, repeats, plain=plain)

        size_mb = scan.stat().st_size / 1e6
        ours, residues = peak_memory("ovelt", scan, "Z")
        theirs, gemmi_residues = peak_memory("gemmi", scan, "Z")
        print(f"peak resident memory growth reading the {size_mb:.1f} MB file (whole file scanned):")
        print(f"  ovelt  {ours:7.1f} MB for a domain of {residues} residues")
        print(f"  gemmi  {theirs:7.1f} MB for {gemmi_residues} residues in all models")
        ours, residues = peak_memory("ovelt", scan_gz[0][0], "Z")
        theirs, gemmi_residues = peak_memory("gemmi", scan_gz[0][0], "Z")
        print("the same file gzipped:")
        print(f"  ovelt  {ours:7.1f} MB for a domain of {residues} residues")
        print(f"  gemmi  {theirs:7.1f} MB for {gemmi_residues} residues in all models")


if __name__ == "__main__":
    main()
