#!/usr/bin/env python3
"""report.py RESULTS: the side-by-side table and the targets, in Markdown, from one bench.sh run.

RESULTS holds env.txt and run-K/ directories of Google Benchmark JSON (limits-N.json,
services-N.json) and JSON lines of the Java harness (library-N.jsonl, jdk-N.jsonl). Every figure is
the median of all samples of all rounds, each sample being the elapsed time of one call; the
spread is the interquartile range of those samples. CPU time of the calling thread is kept beside
it: on a shared machine, elapsed time also counts waiting for a core.
"""
import json
import pathlib
import re
import statistics
import sys

UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
SIZES = (1, 10, 100, 1000, 5000)
LARGE = (100, 1000, 5000)  # the sizes of the listing targets
KIB, MIB = 1 << 10, 1 << 20


def load(results):
    """name -> {"samples": [ns...], "cpu": [ns...], "runs": [median of each round]}"""
    figures = {}

    def add(name, samples, cpu, run, differ=0):
        entry = figures.setdefault(name, {"samples": [], "cpu": [], "by_run": {}, "differ": 0})
        entry["differ"] = max(entry["differ"], differ)
        entry["samples"].extend(samples)
        entry["cpu"].extend(cpu)
        entry["by_run"].setdefault(run, []).extend(samples)

    for run_dir in sorted(results.glob("run-*")):
        run = run_dir.name
        for path in sorted(run_dir.glob("*.json")):
            size = int(re.search(r"-(\d+)\.json$", path.name).group(1))
            for b in json.loads(path.read_text())["benchmarks"]:
                if b.get("run_type") != "iteration" or b.get("error_occurred"):
                    continue
                name = re.sub(r"(/(iterations|repeats):\d+|/manual_time)+$", "",
                              b["run_name"] if "run_name" in b else b["name"])
                if name.startswith(("services/list", "services/notAfter", "services/subjectDn",
                                    "services/sign", "limit/object_list", "info/object_steps",
                                    "info/nss_object_list",
                                    "info/nss_list_keycheck")):
                    name += f"/{size}"
                unit = UNIT_NS[b["time_unit"]]
                add(name, [b["real_time"] * unit], [b["cpu_time"] * unit], run,
                    int(b.get("differ", 0)))
        for path in sorted(run_dir.glob("*.jsonl")):
            for line in path.read_text().splitlines():
                r = json.loads(line)
                add(r["name"], r["samples_ns"], r["cpu_ns"], run)
    for entry in figures.values():
        entry["runs"] = [statistics.median(s) for s in entry["by_run"].values()]
    return figures


def quartiles(samples):
    s = sorted(samples)
    if len(s) < 2:
        return s[0], s[0], s[0]
    q = statistics.quantiles(s, n=4, method="inclusive")
    return q[0], statistics.median(s), q[2]


def duration(ns):
    if ns < 0:
        return "−" + duration(-ns)
    if ns >= 1e6:
        return f"{ns / 1e6:.3g} ms" if ns < 1e9 else f"{ns / 1e9:.3g} s"
    if ns >= 1e3:
        return f"{ns / 1e3:.3g} µs"
    return f"{ns:.3g} ns"


class Table:
    def __init__(self, figures):
        self.f = figures

    def median(self, name, cpu=False):
        e = self.f.get(name)
        return quartiles(e["cpu" if cpu else "samples"])[1] if e else None

    def cell(self, name, nbytes=0):
        e = self.f.get(name)
        if not e:
            return "—"
        lo, mid, hi = quartiles(e["samples"])
        text = f"{duration(mid)} ({duration(lo)}–{duration(hi)})"
        if nbytes >= MIB:
            text += f", {nbytes / mid * 1e9 / 1e6:,.0f} MB/s"
        return text

    def ratio(self, a, b):
        x, y = self.median(a), self.median(b)
        return f"{x / y:.3g}×" if x and y else "—"


def side_by_side(t):
    rows = ["| Operation | Store | Library via JNI | Library without JVM | JDK | Limit (bare NSS / OpenSSL) | Library ÷ limit | Library ÷ JDK |",
            "|---|---:|---|---|---|---|---:|---:|"]

    def row(label, size, lib, native, jdk, limit, nbytes=0):
        rows.append(f"| {label} | {size} | {t.cell(lib, nbytes)} | {t.cell(native, nbytes)} | "
                    f"{t.cell(jdk, nbytes)} | {t.cell(limit, nbytes)} | {t.ratio(lib, limit)} | "
                    f"{t.ratio(lib, jdk)} |")

    for n in SIZES:
        row("`getCertificatesInSystemStore`, database unchanged", n, f"lib/list/{n}",
            f"services/list/{n}", f"jdk/keystore_list/{n}", None)
    for n in SIZES:
        row("`getCertificatesInSystemStore`, right after a change", n,
            f"lib/list_after_change/{n}", f"services/list_after_change/{n}",
            f"jdk/keystore_list/{n}", f"limit/object_list_after_change/{n}")
    for n in SIZES:
        row("`getNotAfter` (certificate scanned last)", n, f"lib/notAfter/{n}",
            f"services/notAfter/{n}", "jdk/x509_notAfter" if n == 100 else None, None)
    for n in SIZES:
        row("`getSubjectDn` (certificate scanned last)", n, f"lib/subjectDn/{n}",
            f"services/subjectDn/{n}", None, None)
    for n in SIZES:
        row("`firmar`, RSA-2048, 1 KiB", n, f"lib/firmar/{n}", f"services/sign/{n}",
            "jdk/sign/1024", "limit/nss_sign_rsa2048")
    for b, label in ((KIB, "1 KiB"), (MIB, "1 MiB"), (64 * MIB, "64 MiB")):
        row(f"`digest`, SHA-1, {label}", "—", f"lib/digest/{b}", f"services/digest/{b}",
            f"jdk/sha1/{b}", f"limit/openssl_sha1/{b}", b)
    for b, label in ((MIB, "1 MiB"), (64 * MIB, "64 MiB")):
        row(f"copy of the array, {label}: JNI get+release / `clone()` / malloc+memcpy", "—",
            f"probe/get_release/{b}", None, f"jdk/clone/{b}", f"info/malloc_memcpy_free/{b}", b)
    rows.append("")
    rows.append("Median elapsed time per call (interquartile range). A change is certutil rewriting "
                "the signer's trust flags, untimed, before each call. JDK: SunPKCS11 `KeyStore` load "
                "with every key entry's certificate for the listing (it always reads the token "
                "afresh), `X509Certificate` parse + `getNotAfter` for the "
                "attribute, `Signature(\"SHA1withRSA\")` for signing, `MessageDigest(\"SHA-1\")` of the "
                "default provider for digests. Limit: bare NSS `PK11_Sign`, the bare object listing (the "
                "library's PKCS#11 calls on the database: `C_FindObjects` of the certificates and "
                "the private keys, one `C_GetAttributeValue` of `CKA_VALUE` and `CKA_ID` per "
                "certificate and of `CKA_ID` per key, on a session of its own), OpenSSL SHA-1, "
                "malloc+memcpy+free. Bare object listing without a change: " +
                ", ".join(f"{n}: {t.cell(f'limit/object_list/{n}')}" for n in SIZES) +
                ". NSS's own SHA-1 for reference: " +
                ", ".join(f"{label} {t.cell(f'info/nss_sha1/{b}', b)}"
                          for b, label in ((KIB, "1 KiB"), (MIB, "1 MiB"), (64 * MIB, "64 MiB"))) +
                ".")
    return rows


def targets(t):
    rows = ["| Target | Measured | Bound | Ratio | Met | Ratio in CPU time | Round medians |",
            "|---|---|---|---:|---|---:|---|"]

    def runs(name):
        e = t.f.get(name)
        return ", ".join(duration(r) for r in e["runs"]) if e else "—"

    def absolute(label, name, bound_ns):
        m = t.median(name)
        if m is None:
            rows.append(f"| {label} | — | ≤ {duration(bound_ns)} | — | not measured | — | — |")
            return
        met = "met" if m <= bound_ns else "**not met**"
        rows.append(f"| {label} | {t.cell(name)} | ≤ {duration(bound_ns)} | {m / bound_ns:.2f} | "
                    f"{met} | {t.median(name, cpu=True) / bound_ns:.2f} | {runs(name)} |")

    def relative(label, name, other, bound, faster_is_less=True):
        m, o = t.median(name), t.median(other)
        if m is None or o is None:
            rows.append(f"| {label} | — | — | — | not measured | — | — |")
            return
        mc, oc = t.median(name, cpu=True), t.median(other, cpu=True)
        r, rc = (m / o, mc / oc) if faster_is_less else (o / m, oc / mc)
        met = (r <= bound) if faster_is_less else (r >= bound)
        sign = "≤" if faster_is_less else "≥"
        rows.append(f"| {label} | {t.cell(name)} vs {t.cell(other)} | {sign} {bound:.2f} | {r:.2f} | "
                    f"{'met' if met else '**not met**'} | {rc:.2f} | {runs(name)} |")

    absolute("`getNotAfter`, 100 certificates", "lib/notAfter/100", 50e3)
    absolute("`getSubjectDn`, 100 certificates", "lib/subjectDn/100", 50e3)
    absolute("`getCertificatesInSystemStore`, 100 certificates, unchanged", "lib/list/100", 30e3)
    for n in LARGE:
        relative(f"`getCertificatesInSystemStore` right after a change ÷ SunPKCS11 `KeyStore.load`, "
                 f"{n:,} certificates", f"lib/list_after_change/{n}", f"jdk/keystore_list/{n}", 0.5)
    for n in SIZES:
        relative(f"`getCertificatesInSystemStore` right after a change ÷ bare object listing after "
                 f"the same change, {n:,} certificate{'s' if n > 1 else ''}", f"lib/list_after_change/{n}",
                 f"limit/object_list_after_change/{n}", 1.3)
    linear(t, rows, "lib/list_after_change", "`getCertificatesInSystemStore` right after a change")
    relative("`firmar` ÷ bare NSS sign", "lib/firmar/100", "limit/nss_sign_rsa2048", 1.15)
    relative("signing on a SoftHSM token, logged in, ÷ bare `PK11_Sign` on it (one process, no JVM)",
             "services/token_sign", "services/bare_token_sign", 1.1)
    relative("signing with a key that demands the PIN at every signature, on the SoftHSM token, the "
             "PIN answered at once by a pinentry, its prompt left out, ÷ bare `C_SignInit` + "
             "`C_Login(CKU_CONTEXT_SPECIFIC)` + `C_Sign` on it after the same prompt (one process, no "
             "JVM)", "services/consent_sign", "services/bare_consent_sign", 1.1)
    relative("`firmar` ÷ JDK `SHA1withRSA`", "lib/firmar/100", "jdk/sign/1024", 1.0)
    relative("`digest` 1 MiB throughput ÷ JDK `MessageDigest`", "lib/digest/1048576",
             "jdk/sha1/1048576", 0.9, faster_is_less=False)
    rows.append("")
    rows.append("Reported without a target:")
    rows.append("")
    lib, bare = t.median("services/sign/100"), t.median("services/bare_pk11_sign")
    if lib and bare:
        rows.append(f"- Signing in one process without a JVM, interleaved with a bare `PK11_Sign` on the "
                    f"NSS the library opened: library {t.cell('services/sign/100')}, bare "
                    f"{t.cell('services/bare_pk11_sign')}; ratio {lib / bare:.3f}, the library's own "
                    f"share {duration(lib - bare)} per signature.")
    c, b = t.median("services/consent_sign_prompt_included"), t.median("services/bare_consent_sign")
    if c and b:
        rows.append(f"- Signing with a key that demands the PIN at every signature, its prompt included "
                    f"(a pinentry started, asked and ended; one that answers at once): "
                    f"{t.cell('services/consent_sign_prompt_included')}, {c / b:.2f}× the bare "
                    f"calls; the prompt {duration(c - t.median('services/consent_sign'))} of it.")
    w = t.median("services/bare_consent_sign_back_to_back")
    if w and b:
        rows.append(f"- The bare `C_SignInit` + `C_Login(CKU_CONTEXT_SPECIFIC)` + `C_Sign` back to back, "
                    f"no prompt before each: {t.cell('services/bare_consent_sign_back_to_back')}, "
                    f"{w / b:.2f}× the same after a prompt.")
    f, j = t.median("duel/firmar"), t.median("duel/jdk_sign")
    if f and j:
        rows.append(f"- `firmar` and SunPKCS11's signature in one JVM, alternating samples (SunPKCS11 "
                    f"initialised NSS first; the library opened the database as a slot of its own): "
                    f"`firmar` {t.cell('duel/firmar')}, JDK {t.cell('duel/jdk_sign')}; ratio "
                    f"{f / j:.3f} (CPU time {t.median('duel/firmar', True) / t.median('duel/jdk_sign', True):.3f}).")
    b = t.median("limit/nss_sign_rsa2048")
    for name, label in (("info/pkcs11_sign_kept_session",
                         "`C_SignInit` + `C_Sign` on one kept session, as SunPKCS11 calls the token"),
                        ("info/nss_sign_session_key_copy",
                         "`PK11_Sign` with the key copied once into a session object "
                         "(`PK11_CopyTokenPrivKeyToSessionPrivKey`)")):
        m = t.median(name)
        if m and b:
            rows.append(f"- Bare signing, {label}: {t.cell(name)}, {m / b:.2f}× the bare `PK11_Sign` "
                        f"on the token's key (CPU time {t.median(name, True) / t.median('limit/nss_sign_rsa2048', True):.2f}×).")
    per = [(n, t.median(f"jdk/keystore_list/{n}")) for n in LARGE]
    if all(m for _, m in per):
        rows.append("- SunPKCS11 `KeyStore.load` per certificate: " +
                    ", ".join(f"{n:,}: {duration(m / n)}" for n, m in per) + ".")
    d, j, p = (t.median("lib/digest/67108864"), t.median("jdk/sha1/67108864"),
               t.median("probe/get_release/67108864"))
    if d and j:
        rows.append(f"- `digest` 64 MiB: library {t.cell('lib/digest/67108864', 64 * MIB)}; JDK "
                    f"{t.cell('jdk/sha1/67108864', 64 * MIB)}; throughput ratio {j / d:.2f}.")
    if d and p:
        c = t.median("jdk/clone/67108864")
        rows.append(f"- Copying the 64 MiB array (`GetByteArrayElements` + release, measured alone): "
                    f"{duration(p)}, {p / d:.0%} of the library's `digest`"
                    + (f"; the JNI-free `clone()` of the same array: {duration(c)}" if c else "")
                    + ".")
    return rows


def linear(t, rows, prefix, label, bound=1.25):
    """A row for "linear in the store's size": the time per certificate at each of LARGE may not
    grow by more than `bound` from a smaller store to a larger one."""
    per = [(n, t.median(f"{prefix}/{n}")) for n in LARGE]
    if not all(m for _, m in per):
        rows.append(f"| {label}: linear | — | — | — | not measured | — | — |")
        return
    cpu = [(n, t.median(f"{prefix}/{n}", cpu=True)) for n in LARGE]

    def growth(values):
        return max(values[j][1] / values[j][0] / (values[i][1] / values[i][0])
                   for i in range(len(values)) for j in range(i + 1, len(values)))

    r = growth(per)
    cells = " / ".join(f"{duration(m / n)}" for n, m in per)
    rows.append(f"| {label}: linear, time per certificate at " +
                " / ".join(f"{n:,}" for n in LARGE) + f" (ratio: its largest growth) | {cells} | "
                f"≤ {bound:.2f} | {r:.2f} | {'met' if r <= bound else '**not met**'} | "
                f"{growth(cpu):.2f} | — |")


def relisting(t):
    """Where a listing after a change goes, in NSS calls, and what the library adds."""
    steps = (("info/object_steps/find",
              "`C_FindObjects` of the certificates on every present token"),
             ("info/object_steps/read",
              "+ one `C_GetAttributeValue` of `CKA_VALUE` and `CKA_ID` per certificate"),
             ("info/object_steps/keys",
              "+ the private keys' `CKA_ID`s, matched: the bare object listing"),
             ("limit/object_list_after_change", "the bare object listing (limit row)"),
             ("info/nss_object_list_after_change",
              "the same through NSS's generic objects (sizes first: two calls per object)"),
             ("services/list_after_change", "the library's listing, without a JVM"),
             ("lib/list_after_change", "`getCertificatesInSystemStore`"),
             ("jdk/keystore_list", "SunPKCS11 `KeyStore.load` + every key entry's certificate"),
             ("info/nss_list_keycheck_after_change",
              "before: `PK11_ListCertsInSlot` + `PK11_KeyForCertExists` (up to 1,000)"))
    rows = ["| Right after a change | " + " | ".join(f"{n:,} certificates" for n in LARGE) + " |",
            "|---|" + "---:|" * len(LARGE)]
    for prefix, label in steps:
        cells = []
        for n in LARGE:
            m, c = t.median(f"{prefix}/{n}"), t.median(f"{prefix}/{n}", cpu=True)
            cells.append(f"{duration(m)} (CPU {duration(c)})" if m else "—")
        rows.append(f"| {label} | " + " | ".join(cells) + " |")
    rows.append("")
    rows.append("Elapsed median (median CPU time of the calling thread). The steps are cumulative; "
                "each row is measured on its own, after its own change.")
    return rows


def main():
    results = pathlib.Path(sys.argv[1])
    t = Table(load(results))
    lines = (results / "env.txt").read_text().strip().splitlines()
    env = [line for line in lines if not line.startswith("load_round_")]
    loads = [line.split(": ", 1) for line in lines if line.startswith("load_round_")]
    rounds = len(list(results.glob("run-*")))
    print(f"# Benchmark results ({rounds} round{'s' if rounds != 1 else ''})\n")
    print("Machine: " + "; ".join(env) + "\n")
    if loads:
        print("Load average (1, 5, 15 min) at the start of each store: " +
              "; ".join(f"{k.replace('load_round_', 'round ').replace('_store_', ', store ')}: {v}"
                        for k, v in loads) + "\n")
    print("## Targets\n")
    print("\n".join(targets(t)))
    print("\n## Side by side\n")
    print("\n".join(side_by_side(t)))
    print("\n## Listing after a change, step by step\n")
    print("\n".join(relisting(t)))


if __name__ == "__main__":
    main()
