"""Prints the table of a benchmark run: medians, and the ratio of this
package's median to each peer's and limit's, then the goals.

    python bench/report.py RESULTS.json [--skips SKIPS.json] [--markdown]

RESULTS.json is what pytest-benchmark wrote with --benchmark-json, and
SKIPS.json what bench/conftest.py wrote with --bench-skips.
A ratio below 1 means this package is faster.
"""

from __future__ import annotations

import argparse
import json
import platform
from collections import defaultdict

ROLE_ORDER = {"korvo": 0, "peer": 1, "limit": 2}


def fmt_time(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def fmt_ratio(r: float | None) -> str:
    if r is None:
        return "-"
    return f"{r:.3f}" if r < 0.1 else f"{r:.2f}"


def load(path: str):
    with open(path) as f:
        data = json.load(f)
    rows = []
    for b in data["benchmarks"]:
        info = b["extra_info"]
        rows.append({
            "workload": info["workload"], "size": info["size"], "unit": info["unit"],
            "role": info["role"], "impl": info["impl"], "median": b["stats"]["median"],
            "rounds": b["stats"]["rounds"],
        })
    return data, rows


def by_case(rows):
    """{(workload, size): [rows in table order]} in the order the run met them."""
    cases: dict = {}
    for r in rows:
        cases.setdefault((r["workload"], r["size"]), []).append(r)
    for group in cases.values():
        group.sort(key=lambda r: ROLE_ORDER[r["role"]])
    return cases


def korvo_of(group):
    return next((r for r in group if r["role"] == "korvo"), None)


def table(cases, markdown: bool) -> list[str]:
    header = ("workload", "size", "implementation", "role", "median", "korvo / this")
    body = []
    for (workload, size), group in cases.items():
        own = korvo_of(group)
        for i, r in enumerate(group):
            ratio = None if own is None or r is own else own["median"] / r["median"]
            body.append((workload if i == 0 else "", f'{r["unit"]}={size}' if i == 0 else "",
                         r["impl"], r["role"], fmt_time(r["median"]),
                         "1" if r is own else fmt_ratio(ratio)))
    if markdown:
        lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
        lines += ["| " + " | ".join(row) + " |" for row in body]
        return lines
    widths = [max(len(str(x[i])) for x in [header, *body]) for i in range(len(header))]
    out = ["  ".join(h.ljust(w) for h, w in zip(header, widths)).rstrip(),
           "  ".join("-" * w for w in widths)]
    for row in body:
        if row[0] and len(out) > 2:
            out.append("")
        out.append("  ".join(str(c).ljust(w) for c, w in zip(row, widths)).rstrip())
    return out


# ---------------------------------------------------------------------------
# Goals: (text, workload prefix, what korvo is compared with, bound on
# korvo / that). "fastest peer" means the peer with the smallest median in
# the same case; a named implementation is matched by its label.

GOALS = [
    ("3x ahead of the fastest peer", "dotted read", "fastest peer", 1 / 3),
    ("3x ahead of the fastest peer", "dotted write", "fastest peer", 1 / 3),
    ("3x ahead of the fastest peer", "flatten", "fastest peer", 1 / 3),
    ("3x ahead of the fastest peer", "rebuild", "fastest peer", 1 / 3),
    ("3x ahead of the fastest peer", "draw", "fastest peer", 1 / 3),
    ("10x ahead of anytree", "draw", "anytree", 1 / 10),
    ("within 2.5x of plain dicts", "dotted read", "plain dicts", 2.5),
    ("within 1.3x of property", "class-level", "property on an instance", 1.3),
    ("within 1.5x of all/any", "logic", "all/any", 1.5),
    ("within 1.2x of the parse alone", "configuration", "parse alone", 1.2),
]


def pick(group, what):
    if what == "fastest peer":
        peers = [r for r in group if r["role"] == "peer"]
        return min(peers, key=lambda r: r["median"]) if peers else None
    return next((r for r in group if r["role"] != "korvo" and r["impl"].startswith(what)), None)


def goal_lines(cases) -> list[str]:
    out = []
    # Ahead of every peer, everywhere.
    for (workload, size), group in cases.items():
        own, best = korvo_of(group), pick(group, "fastest peer")
        if own and best:
            r = own["median"] / best["median"]
            out.append(("ahead of every peer", f'{workload} [{own["unit"]}={size}]',
                        best["impl"], r, r < 1))
    for text, prefix, what, bound in GOALS:
        for (workload, size), group in cases.items():
            if not workload.startswith(prefix):
                continue
            own, other = korvo_of(group), pick(group, what)
            if own and other:
                r = own["median"] / other["median"]
                out.append((text, f'{workload} [{own["unit"]}={size}]', other["impl"], r,
                            r <= bound))
    # Linear growth: the larger size costs about ten times the smaller.
    sizes = defaultdict(dict)
    for (workload, size), group in cases.items():
        own = korvo_of(group)
        if own:
            sizes[workload][size] = own["median"]
    lines = [f"{'goal':32}  {'case':62}  {'against':34}  {'korvo/it':>9}  met"]
    for text, case, against, r, ok in out:
        lines.append(f"{text:32}  {case:62}  {against:34}  {fmt_ratio(r):>9}  "
                     f"{'yes' if ok else 'NO'}")
    lines.append("")
    lines.append("growth of this package's median from the smaller to the larger size (sizes x10):")
    for workload, medians in sizes.items():
        if len(medians) == 2:
            small, large = sorted(medians)
            lines.append(f"  {workload}: x{medians[large] / medians[small]:.1f}")
    return lines


def skipped_lines(path: str) -> list[str]:
    with open(path) as f:
        skipped = json.load(f)
    lines, seen = ["not measured:"], set()
    for s in skipped:
        what = s["bench"] if s["impl"] is None else f'{s["bench"]} {s["impl"]}'
        if s["size"] is not None and "not built" not in s["reason"]:
            what += f' [size {s["size"]}]'
        line = f'  {what}: {s["reason"]}' if "not built" not in s["reason"] else \
            f'  {s["bench"]}: {s["reason"]}'
        if line not in seen:
            seen.add(line)
            lines.append(line)
    return lines if len(lines) > 1 else ["not measured: nothing"]


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("results")
    ap.add_argument("--skips", help="the cases that did not run (from --bench-skips)")
    ap.add_argument("--markdown", action="store_true", help="print the table as Markdown")
    args = ap.parse_args()
    data, rows = load(args.results)
    cases = by_case(rows)
    info = data.get("machine_info", {})
    cpu = info.get("cpu", {}).get("brand_raw", platform.processor())
    print(f"CPython {info.get('python_version', '?')} on {cpu}; "
          f"{data.get('datetime', '')[:19]}; medians; korvo / this < 1: this package is faster")
    print()
    print("\n".join(table(cases, args.markdown)))
    print()
    print("\n".join(goal_lines(cases)))
    if args.skips:
        print()
        print("\n".join(skipped_lines(args.skips)))


if __name__ == "__main__":
    main()
