#!/usr/bin/env bash
# The compressor report, with the test compressor installed in four variants
# for the target's bitness (takes the probe format; takes only 24-bit RGB;
# faults when opened; hangs when opened) and once for the other bitness only.
#   report_test.sh TOOLS PREFIX BUILD_DIR ARCH COMPRESSOR_DLL PYTHON
set -euo pipefail
build_dir=$3 arch=$4 compressor=$5 python=$6
here=$(dirname "$0")
source "$here/../tools/lib/wine-session.sh" "$1" "$@"
wine_session "$2"
report=$build_dir/report/selnary-compressors.exe
case "$arch" in
  x86) bits=32 other=x64 ;;
  x64) bits=64 other=x86 ;;
esac

for code in slna slnr slnf slnh; do
  install_compressor "$compressor" "$arch" "$code"
done
install_compressor "$compressor" "$other" slno
"$WINESERVER" -w
export SELNARY_COMPRESSOR_FAULT="slnf:open slnh:hang" SELNARY_COMPRESSOR_BITS="slnr:24"

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
logs=$WINEPREFIX/logs
mkdir -p "$logs"

# report NAME ARGS...: runs the report; sets status and seconds.
# A compressor that hangs costs the per-compressor limit, so it is kept short.
timeout=$(scaled 3)
report() {
  local name=$1 started=${EPOCHREALTIME/./}
  shift
  status=0
  timeout "$(scaled 120)" "$WINE" "$report" --timeout "$timeout" "$@" >"$logs/$name.out" 2>"$logs/$name.err" ||
    status=$?
  seconds=$(((${EPOCHREALTIME/./} - started) / 1000000))
}

report json --json
[ "$status" -eq 3 ] || fail "--json: exit status $status, expected 3 (a complete report, some faulted or hung): $(cat "$logs/json.err")"
# Every other row, the hang's limit, and a few process starts at most.
[ "$seconds" -lt "$(scaled 40)" ] || fail "--json took $seconds s"
report table
[ "$status" -eq 3 ] || fail "table: exit status $status, expected 3: $(cat "$logs/table.err")"

# What each variant must answer: outcome, opens, accepts, proposal, configure, about.
"$python" - "$logs/json.out" "$logs/table.out" "$bits" "$timeout" <<'PYTHON' || failures=$((failures + 1))
import json, sys

document = json.load(open(sys.argv[1], encoding="utf-8"))
table = open(sys.argv[2], encoding="utf-8").read().splitlines()
bits, timeout = int(sys.argv[3]), sys.argv[4]
problems = []

fields = {"index", "code", "driver", "description", "outcome", "problem", "opens",
          "accepts_probe", "proposed", "configure", "about"}
if set(document) != {"bits", "probe", "compressors", "answered", "faulted_or_hung"}:
    problems.append(f"top-level fields {sorted(document)}")
if document["bits"] != bits:
    problems.append(f"bits {document['bits']}")
if document["probe"] != {"width": 256, "height": 256, "bit_count": 32, "compression": "BI_RGB"}:
    problems.append(f"probe {document['probe']}")
rows = {row["code"]: row for row in document["compressors"]}
for row in document["compressors"]:
    if set(row) != fields:
        problems.append(f"{row.get('code')}: fields {sorted(row)}")
if [row["index"] for row in document["compressors"]] != list(range(len(rows))):
    problems.append("rows not in enumeration order")

mine = f"selnary test compressor ({bits}-bit, "
expected = {
    "slna": ("answered", None, True, True, {"compression": "slna", "bit_count": 16}),
    "slnr": ("answered", None, True, False, None),
    "slnf": ("faulted", "faulted when opened (exception ", False, False, None),
    "slnh": ("hung", f"no answer in {timeout} s when opened", False, False, None),
}
for code, (outcome, problem, opens, accepts, proposed) in expected.items():
    row = rows.get(code)
    if not row:
        problems.append(f"{code}: no row")
        continue
    got = (row["outcome"], row["opens"], row["accepts_probe"], row["proposed"])
    if got != (outcome, opens, accepts, proposed):
        problems.append(f"{code}: {got}, expected {(outcome, opens, accepts, proposed)}")
    if (row["problem"] or "").startswith(problem or "\0") != bool(problem) or (row["problem"] and not problem):
        problems.append(f"{code}: problem {row['problem']!r}, expected {problem!r}")
    if row["driver"].lower() != f"{code}.dll":
        problems.append(f"{code}: driver {row['driver']!r}")
    if outcome == "answered" and (row["description"] != mine + code + ")" or not row["configure"] or row["about"]):
        problems.append(f"{code}: {row['description']!r}, configure {row['configure']}, about {row['about']}")
if "slno" in rows:
    problems.append("the compressor registered only for the other bitness is listed")
if (document["answered"], document["faulted_or_hung"]) != (len(rows) - 2, 2):
    problems.append(f"counts {document['answered']}, {document['faulted_or_hung']}")

# The table says the same, row for row: code, description, driver, and
# "takes the probe" where it answered, the problem where it did not.
for row in document["compressors"]:
    line = next((line for line in table if line.split()[:1] == [row["code"]]), None)
    if line is None:
        problems.append(f"table: no row for {row['code']}")
        continue
    cells = [cell for cell in line.split("  ") if cell.strip()]
    cells = [cell.strip() for cell in cells]
    if row["outcome"] == "answered":
        want = [row["code"], row["description"], row["driver"], "yes" if row["opens"] else "no",
                ("yes" if row["accepts_probe"] else "no") if row["opens"] else "-"]
        if cells[:5] != want:
            problems.append(f"table: {cells[:5]}, JSON: {want}")
    elif cells[-1] != row["problem"] or row["driver"] not in cells:
        problems.append(f"table: {cells}, JSON problem {row['problem']!r}")

for problem in problems:
    print(f"FAIL: {problem}", file=sys.stderr)
sys.exit(1 if problems else 0)
PYTHON

cat "$logs/table.out"
echo "[json] status $status after $seconds s"
[ "$failures" -eq 0 ] || exit 1
