#!/usr/bin/env python3
"""report.py [--standalone] RESULTS: the smart-card section of a bench.sh run, in Markdown, from
RESULTS/run-K/card/ (bench/card/run.sh). Figures pool every round's samples, as bench/report.py
does: the median of all samples (each one call; a repetition's mean for Google Benchmark) with the
interquartile range. --standalone adds a title and the machine, for a run of the card part alone.
"""
import json
import pathlib
import re
import statistics
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))
from report import UNIT_NS, duration, quartiles  # noqa: E402

CONFIGS = (("present", "card in the reader"), ("loggedin", "card in, logged in"),
           ("empty", "reader empty"), ("unregistered", "OpenSC not registered"))
SIGN_BOUND = 1.1


def load(results):
    """name -> {"samples": [...], "cpu": [...], extra lists}; APDUs counted: name -> [calls,
    APDUs]; the reasons of skipped rounds."""
    figures, apdus, skipped = {}, {}, []

    def add(name, samples, cpu, run, **extra):
        entry = figures.setdefault(name, {"samples": [], "cpu": [], "by_run": {}})
        entry["by_run"].setdefault(run, []).extend(samples)
        entry["samples"].extend(samples)
        entry["cpu"].extend(cpu)
        for key, values in extra.items():
            entry.setdefault(key, []).extend(values)

    for card in sorted(results.glob("run-*/card")):
        if (card / "skipped").exists():
            skipped.append((card / "skipped").read_text().strip())
        for path in sorted(card.glob("*.jsonl")):
            for line in path.read_text().splitlines():
                r = json.loads(line)
                if "apdus" in r:
                    count = apdus.setdefault(r["name"], [0, 0])
                    count[0] += r["calls"]
                    count[1] += r["apdus"]
                    continue
                extra = {k: v for k, v in r.items() if k not in ("name", "samples_ns", "cpu_ns")
                         and isinstance(v, list)}
                add(r["name"], r["samples_ns"], r.get("cpu_ns", []), card.parent.name, **extra)
        for path in sorted(card.glob("services-*.json")):
            config = path.stem.split("-", 1)[1]
            for b in json.loads(path.read_text())["benchmarks"]:
                if b.get("run_type") != "iteration" or b.get("error_occurred"):
                    continue
                name = re.sub(r"(/(iterations|repeats):\d+|/real_time)+$", "",
                              b.get("run_name", b["name"]))
                if not name.endswith("sign"):
                    name += f"/{config}"
                unit = UNIT_NS[b["time_unit"]]
                add(name, [b["real_time"] * unit], [b["cpu_time"] * unit], card.parent.name)
    return figures, apdus, skipped


def median(figures, name, cpu=False):
    e = figures.get(name)
    values = e and e["cpu" if cpu else "samples"]
    return statistics.median(values) if values else None


def cell(figures, name):
    e = figures.get(name)
    if not e or not e["samples"]:
        return "—"
    lo, mid, hi = quartiles(e["samples"])
    return f"{duration(mid)} ({duration(lo)}–{duration(hi)})"


def calls(f):
    rows = ["| Call, store of 100 database certificates | " +
            " | ".join(label for _, label in CONFIGS) +
            " | card in ÷ not registered | logged in ÷ not registered |",
            "|---|" + "---|" * len(CONFIGS) + "---:|---:|"]
    for label, prefix in (("`getCertificatesInSystemStore`, unchanged (JNI)", "card/lib/list"),
                          ("the library's listing without a JVM", "card/services/list"),
                          ("`getNotAfter` of a database certificate (JNI)", "card/lib/notAfter"),
                          ("the same without a JVM", "card/services/notAfter"),
                          ("`getSubjectDn` of a database certificate (JNI)", "card/lib/subjectDn"),
                          ("the same without a JVM", "card/services/subjectDn")):
        base = median(f, f"{prefix}/unregistered")
        ratios = [f"{m / base:.2f}" if m and base else "—"
                  for m in (median(f, f"{prefix}/present"), median(f, f"{prefix}/loggedin"))]
        rows.append(f"| {label} | " + " | ".join(cell(f, f"{prefix}/{c}") for c, _ in CONFIGS) +
                    " | " + " | ".join(ratios) + " |")
    return rows


def insertion(f):
    e = f.get("card/lib/insert_to_listed")
    if not e or not e["samples"]:
        return ["Not measured."]
    ms = lambda values: ", ".join(f"{v / 1e6:.0f}" for v in sorted(values))  # noqa: E731
    rows = ["| From pcscd's report of the card (ms) | insertions | median | worst | "
            "every one, sorted |",
            "|---|---:|---:|---:|---|"]

    def row(label, values, unit_ms=True):
        if not values:
            return
        if unit_ms:
            rows.append(f"| {label} | {len(values)} | {statistics.median(values) / 1e6:.0f} | "
                        f"{max(values) / 1e6:.0f} | {ms(values)} |")
        else:
            rows.append(f"| {label} | {len(values)} | {statistics.median(values):,.0f} | "
                        f"{max(values):,.0f} | — |")

    row("**to the return of the first listing that holds the card**", e["samples"])
    row("the duration of that listing (it reads the card)", e.get("last_listing_ns"))
    row("for information: pcscd's report after `card-stack.sh insert` began",
        e.get("report_after_start_ns"))
    row("for information: `card-stack.sh insert` returned after pcscd's report",
        e.get("command_return_after_report_ns"))
    row("listings made in the tight loop until then (count)", e.get("listings"), unit_ms=False)
    return rows


def signing(f):
    rows = ["| Signature on the card, logged in, RSA-2048, 1 KiB | library | bare `C_SignInit` + "
            "`C_Sign` through OpenSC | ratio | bound | met | median of the pairs' ratios | "
            "fastest: library / bare | CPU time of the calling thread: library / bare |",
            "|---|---|---|---:|---|---|---:|---|---|"]
    notes = []
    for label, lib, bare in (("`firmar` (one JVM, alternating samples)", "card/lib/firmar",
                              "card/bare_sign"),
                             ("the services' `sign` without a JVM (interleaved repetitions)",
                              "card/services/sign", "card/services/bare_sign")):
        a, b = median(f, lib), median(f, bare)
        if not a or not b:
            bound = f"≤ {SIGN_BOUND:.2f}"
            rows.append(f"| {label} | — | — | — | {bound} | not measured | — | — | — |")
            continue
        ac, bc = median(f, lib, True), median(f, bare, True)
        cpu = f"{duration(ac)} / {duration(bc)}" if ac and bc else "—"
        met = "met" if a / b <= SIGN_BOUND else "**not met**"
        # Alternating samples pair up in time, each library call with the bare one after it.
        pairs = "—"
        if lib == "card/lib/firmar" and len(f[lib]["samples"]) == len(f[bare]["samples"]):
            ratios = [x / y for x, y in zip(f[lib]["samples"], f[bare]["samples"])]
            pairs = f"{statistics.median(ratios):.3f}"
        fastest = min(f[lib]["samples"]), min(f[bare]["samples"])
        rows.append(f"| {label} | {cell(f, lib)} | {cell(f, bare)} | {a / b:.3f} | "
                    f"≤ {SIGN_BOUND:.2f} | {met} | {pairs} | {duration(fastest[0])} / "
                    f"{duration(fastest[1])}: {fastest[0] / fastest[1]:.3f} | {cpu} |")
        runs = sorted(set(f[lib]["by_run"]) & set(f[bare]["by_run"]))
        if len(runs) > 1:
            by_run = [statistics.median(f[lib]["by_run"][r]) /
                      statistics.median(f[bare]["by_run"][r]) for r in runs]
            notes.append(f"{label} " + ", ".join(f"{r:.3f}" for r in by_run))
    if notes:
        rows.append("")
        rows.append("The ratio in each round: " + "; ".join(notes) + ".")
    return rows


def per_call(apdus, name):
    calls, count = apdus.get(name, (0, 0))
    return f"{count / calls:.3g}" if calls else "—"


def main():
    standalone = sys.argv[1] == "--standalone"
    results = pathlib.Path(sys.argv[-1])
    f, apdus, skipped = load(results)
    rounds = sorted(results.glob("run-*/card"))
    if standalone:
        print(f"# Benchmark results, smart card only ({len(rounds)} round"
              f"{'s' if len(rounds) != 1 else ''})\n")
        env = results / "env.txt"
        if env.exists():
            print("Machine: " + "; ".join(env.read_text().strip().splitlines()) + "\n")
    print("## Smart card: pcscd, a virtual reader and card, OpenSC\n")
    for reason in skipped:
        print(f"- {reason}")
    if skipped:
        print()
    for card in rounds:
        if (card / "load.txt").exists():
            steps = (card / "load.txt").read_text().strip().splitlines()
            print(f"Load average (1, 5, 15 min) before each step, {card.parent.name}: " +
                  "; ".join(steps) + "\n")
    if not f:
        return
    print("\n".join(calls(f)))
    print("\nMedian elapsed time per call (interquartile range). With the card in, the listing "
          "holds its three certificates too (103). \"Logged in\": after the process's first "
          "signature on the card. Without a JVM: Google Benchmark, each sample a repetition's "
          "mean.")
    print("\nCommand APDUs the card answered per call, through JNI (counted by the virtual card), "
          "card in the reader / logged in: " +
          ", ".join(f"{label} {per_call(apdus, f'card/apdus/{op}/present')} / "
                    f"{per_call(apdus, f'card/apdus/{op}/loggedin')}"
                    for op, label in (("list", "listing"), ("notAfter", "`getNotAfter`"),
                                      ("subjectDn", "`getSubjectDn`"))) + ".\n")
    print("### Insertion to listed\n")
    print("\n".join(insertion(f)))
    print("\nThe clock starts when a PC/SC client of the harness's own, in the JVM, returns from "
          "`SCardGetStatusChange` with the reader reporting a card present (pcscd's report, after "
          "it powered the card). It stops when `getCertificatesInSystemStore`, called in a tight "
          "loop from before the insertion, returns a listing holding the card's three "
          "certificates. Before each insertion the card is pulled, the listing waits to lose it, "
          "and a random pause of 0–1 s spreads the insertions over pcscd's and NSS's polling.\n")
    print("### Signature on the card\n")
    print("\n".join(signing(f)))
    print("\nThe card's own work runs in pcscd and the virtual card's program, so the calling "
          "thread's CPU time is the library's and OpenSC's share of a signature. Command APDUs "
          f"the card answered per signature: `firmar` {per_call(apdus, 'card/apdus/firmar')}, "
          f"bare {per_call(apdus, 'card/apdus/bare_sign')}.")


if __name__ == "__main__":
    main()
