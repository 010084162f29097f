#!/usr/bin/env python3
"""Whether the report's matrix says what the compressors say in-process:
runs selnary-compressors.exe --formats --json and query.exe --formats --json,
which asks every cell the same questions with the same code in one process
(leaving out the cells that faulted or hung in the report), and prints each
cell where they differ. A cell must take or refuse as the query did, fail
for the same reason, and come back exact, or within 1 dB of the query's
PSNR. Status 0 when every cell matches, 1 otherwise.
    bench/cells.py [x86|x64] [WxH]   (from the source folder, after tools/test.sh)
WINEPREFIX, when set, names a prefix of your own, used as it is (its
installed compressors); without it, a fresh prefix with Wine's own."""

import json
import os
import sys
from dataclasses import dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools" / "lib"))
import winesession  # noqa: E402

# What a cell must agree on, each field as the JSON names it.
AGREED = ("accepts", "query_result", "proposed", "outcome", "step")
PLAUSIBLE_DB = 1.0


def outcome(cell):
    """What a cell came to: its reason's code, or how its round trip came back
    and how late."""
    trip = cell.get("round_trip") or {}
    reason = (cell.get("reason") or {}).get("code")
    return reason, trip.get("worked"), trip.get("exact"), trip.get("lag_frames"), trip.get("psnr_db")


def differences(report, query):
    """Each cell of the report's matrix that the in-process query's does not
    match, said in a line; a cell the report found faulting or hanging is
    left out of the query, and matches by being there."""
    found = []
    if report.get("formats") != query.get("formats") or report.get("size") != query.get("size"):
        return [f"asked about other formats or sizes: {report.get('size')} against {query.get('size')}"]
    asked = {row["code"]: row for row in query["compressors"]}
    for row in report["compressors"]:
        other = asked.get(row["code"])
        if other is None:
            found.append(f"{row['code']}: not in the in-process query")
            continue
        for name in report["formats"]:
            cell, theirs = row["cells"].get(name), other["cells"].get(name)
            if cell is None or theirs is None:
                found.append(f"{row['code']} {name}: no cell")
                continue
            if cell["outcome"] != "answered":
                continue
            for field in AGREED:
                if cell.get(field) != theirs.get(field):
                    found.append(f"{row['code']} {name}: {field} {cell.get(field)} against {theirs.get(field)}")
            mine, its = outcome(cell), outcome(theirs)
            if mine[:4] != its[:4]:
                found.append(f"{row['code']} {name}: reason, worked, exact, lag {mine[:4]} against {its[:4]}")
            elif mine[4] is not None and its[4] is not None and abs(mine[4] - its[4]) > PLAUSIBLE_DB:
                found.append(f"{row['code']} {name}: {mine[4]} dB against {its[4]} dB")
    return found


def skipped(report):
    """query.exe's arguments that leave out what faulted or hung in the report."""
    arguments = []
    for row in report["compressors"]:
        for name, cell in row["cells"].items():
            if cell["outcome"] != "answered":
                arguments += ["--skip", f"{row['code']}:{name}"]
    return arguments


@dataclass
class Compared:
    report: dict  # the report's matrix, as its JSON says
    query: dict  # the in-process query's
    differences: list
    status: int  # the report's exit status
    table: str  # the report's table, where it printed one


def compare(wine, tools, size_arguments, env=None, seconds=600, timeout=10, saved=None, table=False):
    """The report's matrix and the query's, compared. timeout: the report's
    limit for a step, in native seconds; saved: a folder for the report's
    pictures; with table too, the report prints its table, and its JSON is
    read from report.json there: one run for both."""
    def matrix(program, *arguments, as_json=True):
        done = wine.run(program, "--formats", *size_arguments, *(["--json"] if as_json else []), *arguments,
                        seconds=seconds, env=env, capture_output=True)
        if done.returncode not in (0, 3):
            raise winesession.Error(f"{program.name} ended with status {done.returncode}: "
                                    f"{done.stderr.decode(errors='replace')[-2000:]}")
        return done

    saving = ["--save", winesession.windows_path(saved)] if saved else []
    done = matrix(tools.program("SELNARY_COMPRESSORS"), "--timeout", str(tools.scaled(timeout)), *saving,
                  as_json=not table)
    report = json.loads(Path(saved, "report.json").read_bytes() if table else done.stdout)
    query = json.loads(matrix(tools.program("BENCH_QUERY"), *skipped(report)).stdout)
    return Compared(report, query, differences(report, query), done.returncode,
                    done.stdout.decode("utf-8", errors="replace") if table else "")


def main(arch="x64", size=None):
    tools = winesession.load(Path("build", arch, "wine-tools.sh").resolve())
    own = os.environ.get("WINEPREFIX")
    with winesession.Session(tools) as session:
        wine = (session.own(own, display=False) if own
                else session.fresh(tools.root / f"cells-{arch}", display=False))
        compared = compare(wine, tools, ["--size", size] if size else [])
    rows = compared.report["compressors"]
    for line in compared.differences:
        print(line)
    cells = sum(len(row["cells"]) for row in rows)
    print(f"{arch}: {cells} cells of {len(rows)} compressors, {len(compared.differences)} differ")
    return 1 if compared.differences else 0


if __name__ == "__main__":
    winesession.main(main, *sys.argv[1:])
