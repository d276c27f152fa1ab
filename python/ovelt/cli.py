"""The command-line tool: ``ovelt align``, ``ovelt msa`` and ``ovelt scan``.

A thin layer over the Python API: it reads files, calls one API function,
and writes what the result holds as text, JSON, TSV or aligned FASTA (the
formats are described in docs/output-formats.md). Exit status: 0 success,
1 failure, 2 wrong usage.
"""
from __future__ import annotations

import argparse
import gzip
import importlib
import json
import math
import os
import sys
import tempfile
from pathlib import Path
from typing import Any, Callable, Iterator, Sequence

import ovelt
from ovelt.archive import scan_files, walk_structure_files

# Structure files found in directories: PDB and mmCIF, either gzipped.
FASTA_WIDTH = 60


class Failure(Exception):
    """A failure reported as one line naming the file and the problem (exit 1)."""


class Usage(Exception):
    """Wrong usage found after parsing (exit 2)."""


# ---------------------------------------------------------------------------
# From command-line choices to API keywords: the one place that knows which
# keywords select a search, threads and progress reporting.

SEARCHES = ("sensitive", "windows", "none")


def search_keywords(fn: Callable[..., Any], search: str) -> dict[str, Any]:
    """Keywords of `fn` that select `search`.

    windows: the method's sliding-window start search (align_pdbs pre-aligns
    with it); none: start from the structures as they lie in their files
    (msa calls multiple_align for it).
    """
    if search == "sensitive":
        return {"search": "sensitive"}
    if fn is ovelt.pairwise_align or fn is ovelt.scan_database:
        return {"scan_mode": search == "windows"}
    return {}


def run_keywords(threads: int | None, progress: Progress) -> dict[str, Any]:
    """Keywords of multiple_align, align_pdbs and scan_database for threads and progress."""
    return {"threads": threads, "progress": progress if progress.active else None}


# ---------------------------------------------------------------------------
# Plumbing


def warn(message: str) -> None:
    print(f"ovelt: {message}", file=sys.stderr)


class Progress:
    """A tqdm bar on stderr while stderr is a terminal and --quiet is not given.

    Callable as the API's progress hook ``progress(done, total)``; ``step()``
    counts items done in Python.
    """

    def __init__(self, quiet: bool, label: str, total: int | None = None):
        self.bar = None
        if not quiet and sys.stderr.isatty():
            try:
                from tqdm import tqdm  # type: ignore[import-untyped]
            except ImportError:
                return
            self.bar = tqdm(total=total, desc=label, unit="", file=sys.stderr, leave=False)

    @property
    def active(self) -> bool:
        return self.bar is not None

    def __call__(self, done: int, total: int | None) -> None:
        if self.bar is not None:
            self.bar.total = total
            self.bar.update(done - self.bar.n)

    def step(self) -> None:
        if self.bar is not None:
            self.bar.update(1)

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, *exc: object) -> None:
        if self.bar is not None:
            self.bar.close()


def read_domain(path: str, chain: str | None) -> ovelt.Domain:
    try:
        return ovelt.Domain.from_file(path, chain)
    except ValueError as e:
        raise Failure(f"{path}: {e}") from e


def write_text(path: str, text: str) -> None:
    """Writes `text` to `path` ("-": standard output), never leaving a partial file."""
    if path == "-":
        sys.stdout.write(text)
        return
    target = Path(path)
    try:
        target.parent.mkdir(parents=True, exist_ok=True)
        fd, tmp = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.")
        try:
            with os.fdopen(fd, "w") as fh:
                fh.write(text)
            os.chmod(tmp, 0o666 & ~_umask())
            os.replace(tmp, target)
        except BaseException:
            os.unlink(tmp)
            raise
    except OSError as e:
        raise Failure(f"{path}: {e.strerror or e}") from e


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def number(x: float) -> float | None:
    """JSON has no inf or NaN: those become null."""
    return x if math.isfinite(x) else None


def transform_record(t: ovelt.Transform) -> dict[str, Any]:
    return {"rotation": t.rotation.tolist(), "translation": t.translation.tolist()}


def pair_record(r: ovelt.AlignmentResult) -> dict[str, Any]:
    rec: dict[str, Any] = {"score": r.score, "rmsd": number(r.rmsd), "n_aligned": r.n_aligned,
                           "seq_identity": r.seq_identity}
    for name in ("tm_score", "tm_score_mobile"):
        if hasattr(r, name):
            rec[name] = getattr(r, name)
    return rec


def dump_json(record: dict[str, Any]) -> str:
    """One key per line; a list of records or of lists one item per line."""
    def compact(v: Any) -> str:
        return json.dumps(v, allow_nan=False, separators=(", ", ": "))

    items = []
    for key, v in record.items():
        if isinstance(v, list) and v and isinstance(v[0], (dict, list)):
            text = "[\n" + ",\n".join("  " + compact(x) for x in v) + "\n ]"
        else:
            text = compact(v)
        items.append(f" {json.dumps(key)}: {text}")
    return "{\n" + ",\n".join(items) + "\n}\n"


def fasta(rows: Sequence[tuple[str, str]]) -> str:
    out = []
    for name, row in rows:
        out.append(f">{name}\n")
        out.extend(row[k:k + FASTA_WIDTH] + "\n" for k in range(0, len(row), FASTA_WIDTH))
    return "".join(out)


def pair_rows(seq1: str, seq2: str, pairs: Sequence[tuple[int, int]]) -> tuple[str, str]:
    """Both whole sequences, aligned residues in shared columns, gaps as '-'."""
    a: list[str] = []
    b: list[str] = []
    i = j = 0
    for p, q in [*pairs, (len(seq1), len(seq2))]:
        if p < i or q < j:
            raise Failure("alignment pairs out of order")
        a += seq1[i:p] + "-" * (q - j)
        b += "-" * (p - i) + seq2[j:q]
        if p < len(seq1):
            a.append(seq1[p])
            b.append(seq2[q])
        i, j = p + 1, q + 1
    return "".join(a), "".join(b)


def column_rows(sequences: Sequence[str], columns: Sequence[Sequence[int | None]]) -> list[str]:
    rows = []
    for k, seq in enumerate(sequences):
        residues = (c[k] for c in columns)
        rows.append("".join("-" if r is None else seq[r] for r in residues))
    return rows


def fmt_transform(t: ovelt.Transform) -> list[str]:
    r, tr = t.rotation, t.translation
    return [f"    [{' '.join(f'{x:9.6f}' for x in r[i])}]   [{tr[i]:10.4f}]" for i in range(3)]


# ---------------------------------------------------------------------------
# ovelt align


def cmd_align(args: argparse.Namespace) -> None:
    if args.fasta and args.search == "windows":
        raise Usage("--fasta needs residue pairs, which the window search does not report; "
                    "use --search sensitive or --search none")
    ref, mobile = read_domain(args.ref, args.chain), read_domain(args.mobile, args.chain)
    result = ovelt.pairwise_align(ref, mobile, **search_keywords(ovelt.pairwise_align, args.search))
    if args.out:
        try:
            ovelt.transform_pdb_file(args.mobile, args.out, result.transform)
        except OSError as e:
            raise Failure(f"{args.out}: {e}") from e
    if args.fasta:
        rows = pair_rows(ref.sequence, mobile.sequence, result.aligned_pairs)
        write_text(args.fasta, fasta([(structure_name(args.ref), rows[0]), (structure_name(args.mobile), rows[1])]))

    rec = {"reference": args.ref, "mobile": args.mobile, "search": args.search, **pair_record(result),
           "transform": transform_record(result.transform),
           "aligned_pairs": [list(p) for p in result.aligned_pairs]}
    if args.json:
        sys.stdout.write(dump_json(rec))
    elif args.tsv:
        flat = {k: v for k, v in rec.items() if k not in ("transform", "aligned_pairs")}
        flat.update({f"r{i + 1}{j + 1}": rec["transform"]["rotation"][i][j] for i in range(3) for j in range(3)})
        flat.update({f"t{i + 1}": rec["transform"]["translation"][i] for i in range(3)})
        sys.stdout.write("\t".join(flat) + "\n" + "\t".join("" if v is None else str(v) for v in flat.values()) + "\n")
    elif not args.quiet:
        lines = [f"{args.mobile} ({len(mobile)} residues) onto {args.ref} ({len(ref)} residues), "
                 f"search: {args.search}",
                 f"  score          {result.score:.4f}" + ("   (0: no alignment held)" if result.score == 0 else ""),
                 f"  RMSD           {result.rmsd:.2f} A over {result.n_aligned} aligned pairs"]
        if "tm_score" in rec:
            lines.append(f"  TM-score       {rec['tm_score']:.4f} (by reference), "
                         f"{rec['tm_score_mobile']:.4f} (by mobile)")
        lines += [f"  seq. identity  {100 * result.seq_identity:.1f} %",
                  f"  transform x' = R x + t moves {args.mobile} onto {args.ref}:", *fmt_transform(result.transform)]
        if args.out:
            lines.append(f"Moved structure written to {args.out}")
        print("\n".join(lines))


# ---------------------------------------------------------------------------
# ovelt msa


def reference_index(files: list[str], reference: str | None) -> int:
    if reference is None:
        return 0
    for k, f in enumerate(files):
        if os.path.exists(f) and os.path.exists(reference) and os.path.samefile(f, reference):
            return k
    files.insert(0, reference)
    return 0


def structure_name(path: str) -> str:
    """The name a structure file goes by: "1abc.pdb.gz" is "1abc", like "1abc.pdb"."""
    name = Path(path).name
    return Path(name[:-3] if name.endswith(".gz") else name).stem


def output_suffix(path: str) -> str:
    """The suffix align_pdbs gives the output of `path`: its input's format, told
    from the content like the library does (".pdb", ".cif", plus ".gz")."""
    with open(path, "rb") as f:
        gzipped = f.read(2) == b"\x1f\x8b"
    suffix = ".pdb"
    with (gzip.open(path, "rt", errors="replace") if gzipped else open(path, errors="replace")) as f:
        for line in f:
            text = line.strip()
            if text and not text.startswith("#"):
                suffix = ".cif" if text[:5].lower() == "data_" else ".pdb"
                break
    return suffix + (".gz" if gzipped else "")


def cmd_msa(args: argparse.Namespace) -> None:
    files = list(args.files)
    ref = reference_index(files, args.reference)
    if len(files) < 2:
        raise Usage("need at least two structure files")
    names = [structure_name(f) for f in files]
    with Progress(args.quiet, "reading", len(files)) as bar:
        domains = []
        for f in files:
            domains.append(read_domain(f, args.chain))
            bar.step()
    with Progress(args.quiet, "aligning") as bar:
        if args.search == "none":
            fn = ovelt.multiple_align
            result = fn(domains, **search_keywords(fn, args.search), **run_keywords(args.threads, bar))
            outputs = result.write_all(args.out)
        else:
            pipeline = ovelt.align_pdbs
            result = pipeline(files, args.out, chain=args.chain, reference_index=ref,
                              **search_keywords(pipeline, args.search), **run_keywords(args.threads, bar))
            outputs = [os.path.join(args.out, f"aligned_{n}{output_suffix(f)}") for n, f in zip(names, files)]
    columns = result.columns
    if args.fasta:
        write_text(args.fasta, fasta(list(zip(names, column_rows([d.sequence for d in domains], columns)))))
    if args.json:
        write_text(args.json, dump_json(msa_record(args, files, names, outputs, ref, domains, result)))
    if args.quiet or "-" in (args.json, args.fasta):
        return
    shared = [sum(1 for c in columns if c[ref] is not None and c[k] is not None) for k in range(len(files))]
    lines = [f"Aligned {len(files)} structures (search: {args.search}), reference {files[ref]}",
             f"  columns       {result.n_columns}",
             f"  core columns  {result.n_core} (every structure has a residue there)",
             f"  average RMSD  {result.avg_rmsd:.2f} A over the pairwise alignments (100 = pair not aligned)",
             f"Superposed structures in {args.out}/:"]
    for k, (out, d) in enumerate(zip(outputs, domains)):
        note = ("reference" if k == ref else f"{shared[k]} of {len(d)} residues share columns with the reference"
                if shared[k] else "no residue shares a column with the reference")
        lines.append(f"  {os.path.basename(out):<22} {note}")
    for label, path in (("Alignment (FASTA)", args.fasta), ("Summary (JSON)", args.json)):
        if path:
            lines.append(f"{label}: {path}")
    print("\n".join(lines))


def msa_record(args: argparse.Namespace, files: list[str], names: list[str], outputs: list[str], ref: int,
               domains: list[ovelt.Domain], result: ovelt.MultipleAlignmentResult) -> dict[str, Any]:
    transforms = result.full_transforms
    # Every pair aligned as the multiple aligner saw it: in the frame it wrote.
    moved = []
    for d, t in zip(domains, transforms):
        m = d.copy()
        m.coordinates = t.apply(d.coordinates)
        moved.append(m)
    fn = ovelt.pairwise_align
    keywords = search_keywords(fn, args.search) if args.search == "sensitive" else {}
    pairs = []
    with Progress(args.quiet, "pairs", len(files) * (len(files) - 1) // 2) as bar:
        for i in range(len(files)):
            for j in range(i + 1, len(files)):
                pairs.append({"i": i, "j": j, **pair_record(fn(moved[i], moved[j], **keywords))})
                bar.step()
    return {
        "search": args.search,
        "reference": ref,
        "structures": [{"name": n, "file": f, "output": o, "n_residues": len(d), "transform": transform_record(t)}
                       for n, f, o, d, t in zip(names, files, outputs, domains, transforms)],
        "n_columns": result.n_columns,
        "n_core": result.n_core,
        "avg_rmsd": result.avg_rmsd,
        "score": result.score,
        "columns": result.columns,
        "core_positions": result.core_positions,
        "pairs": pairs,
    }


# ---------------------------------------------------------------------------
# ovelt scan


def target_files(targets: Sequence[str]) -> Iterator[str]:
    """Files as given; directories searched recursively for structure files, lazily."""
    for t in targets:
        if os.path.isdir(t):
            yield from walk_structure_files(t)
        else:
            yield t


def cmd_scan(args: argparse.Namespace) -> None:
    query = read_domain(args.query, args.chain)
    count = 0

    def counted() -> Iterator[str]:
        nonlocal count
        for path in target_files(args.targets):
            count += 1
            yield path

    client: Any = None
    if args.scheduler:
        try:
            distributed: Any = importlib.import_module("dask.distributed")
        except ImportError as e:
            raise Failure("--scheduler needs dask.distributed (pip install ovelt[dask])") from e
        client = distributed.Client(args.scheduler)
    try:
        with Progress(args.quiet, "scanning") as bar:
            found = scan_files(query, counted(), search=args.search,
                               quick=args.quick, score_cutoff=args.cutoff, max_hits=args.top, chain=args.chain,
                               path_ids=True, client=client, **run_keywords(args.threads, bar))
    finally:
        if client is not None:
            client.close()
    hits = found.hits
    for path, error in found.skipped:
        warn(f"skipped {path}: {error}")
    for path in found.lost:
        warn(f"lost {path}: every worker scanning it died")
    scanned = count - len(found.skipped) - len(found.lost)
    if not scanned:
        raise Failure(f"no readable target among {count} files")

    tm = any(getattr(h, "tm_score", None) is not None for h in hits)  # only some searches report it
    header = ["rank", "target", "score", "z_score", "rmsd", *(["tm_score"] if tm else []), "n_aligned"]
    rows = [[h.rank, h.target_id, h.score, h.z_score, number(h.rmsd), *([getattr(h, "tm_score")] if tm else []), h.n_aligned]
            for h in hits]
    summary = (f"{count} targets: {scanned} scanned, {len(found.skipped)} unreadable (skipped), "
               f"{f'{len(found.lost)} lost, ' if found.lost else ''}"
               f"{len(hits)} hits (search: {args.search})")
    if args.tsv:
        write_text(args.tsv, "".join("\t".join("" if v is None else str(v) for v in r) + "\n"
                                     for r in [header, *rows]))
        if not args.quiet:
            print(summary, file=sys.stderr if args.tsv == "-" else sys.stdout)
        return
    if args.quiet:
        return
    shown = [[str(r[0]), r[1], f"{r[2]:.4f}", "-" if r[3] is None else f"{r[3]:.2f}",
              "-" if r[4] is None else f"{r[4]:.2f}", *([f"{r[5]:.3f}"] if tm else []), str(r[-1])] for r in rows]
    widths = [max(len(x) for x in col) for col in zip(header, *shown)]
    for r in [header, *shown]:
        print("  ".join(x.ljust(w) if k == 1 else x.rjust(w) for k, (x, w) in enumerate(zip(r, widths))).rstrip())
    print(summary)


# ---------------------------------------------------------------------------
# Arguments


def build_parser() -> tuple[argparse.ArgumentParser, dict[str, argparse.ArgumentParser]]:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--search", choices=SEARCHES, default="sensitive",
                        help="start search: sensitive (default), windows (the method's sliding windows) "
                             "or none (start from the input frames)")
    common.add_argument("--chain", help="chain to read from every file (default: the first chain)")
    common.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary")
    common.add_argument("--debug", action="store_true", help="show the traceback of a failure")

    parser = argparse.ArgumentParser(prog="ovelt", description="Protein structural alignment.")
    parser.add_argument("--version", action="version", version=f"ovelt {ovelt.__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    commands = {}

    p = commands["align"] = sub.add_parser("align", parents=[common], help="align MOBILE onto REF",
                       description="Align MOBILE onto REF and report the superposition "
                                   "(x' = R x + t moves MOBILE onto REF).")
    p.add_argument("ref", metavar="REF", help="reference PDB file (stays in place)")
    p.add_argument("mobile", metavar="MOBILE", help="mobile PDB file (moved onto REF)")
    p.add_argument("--out", metavar="PDB", help="write MOBILE, every atom moved onto REF")
    p.add_argument("--fasta", metavar="FILE", help="write the alignment as aligned FASTA ('-': stdout)")
    fmt = p.add_mutually_exclusive_group()
    fmt.add_argument("--json", action="store_true", help="print the result as JSON")
    fmt.add_argument("--tsv", action="store_true", help="print the result as a TSV header and row")
    p.set_defaults(run=cmd_align)

    p = commands["msa"] = sub.add_parser("msa", parents=[common], help="align a family and write it superposed",
                       description="Align several structures, write them superposed onto the reference "
                                   "(DIR/aligned_<name>.pdb, or .cif for mmCIF inputs, plus .gz for gzipped ones), "
                                   "and optionally the alignment and a summary.")
    p.add_argument("files", nargs="+", metavar="FILES", help="PDB or mmCIF files, either gzipped")
    p.add_argument("-o", "--out", required=True, metavar="DIR", help="output directory")
    p.add_argument("--reference", metavar="FILE", help="reference structure (default: the first file)")
    p.add_argument("--fasta", metavar="FILE", help="write the alignment as aligned FASTA ('-': stdout)")
    p.add_argument("--json", metavar="FILE", help="write a JSON summary ('-': stdout)")
    p.add_argument("--threads", type=positive, metavar="N", help="worker threads (default: all cores)")
    p.set_defaults(run=cmd_msa)

    p = commands["scan"] = sub.add_parser("scan", parents=[common], help="rank targets by similarity to a query",
                       description="Align QUERY against every target and print the ranked hits.")
    p.add_argument("query", metavar="QUERY", help="query PDB file")
    p.add_argument("targets", nargs="+", metavar="TARGETS",
                   help="structure files or directories (searched recursively for *.pdb, *.ent, *.cif and *.mmcif, "
                        "each also gzipped)")
    p.add_argument("--quick", action="store_true", help="one dynamic-programming cycle per target")
    p.add_argument("--top", type=positive, default=100, metavar="N", help="report at most N hits (default 100)")
    p.add_argument("--cutoff", type=float, default=0.0, metavar="X", help="minimum score (default 0.0)")
    p.add_argument("--tsv", metavar="FILE", help="write the hits as TSV ('-': stdout)")
    p.add_argument("--threads", type=positive, metavar="N",
                   help="worker threads (default: all cores; per worker with --scheduler)")
    p.add_argument("--scheduler", metavar="ADDRESS", help="scan on the Dask cluster of this scheduler")
    p.set_defaults(run=cmd_scan)
    return parser, commands


def positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive integer, got {text!r}")
    return value


def main(argv: Sequence[str] | None = None) -> int:
    parser, commands = build_parser()
    args = parser.parse_args(argv)
    args.threads = getattr(args, "threads", None)
    prog = f"ovelt {args.command}"
    try:
        args.run(args)
    except Usage as e:
        commands[args.command].error(str(e))  # exits with status 2
    except BrokenPipeError:  # the reader of stdout went away (| head): nothing left to say
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        if args.debug:
            raise
        print(f"{prog}: interrupted", file=sys.stderr)
        return 130
    except BaseException as e:  # the module's internal failures derive from BaseException
        if args.debug or isinstance(e, SystemExit):
            raise
        print(f"{prog}: error: {e}", file=sys.stderr)
        return 1
    return 0
