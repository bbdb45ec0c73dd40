"""Merges the benchmark JSON files of one run, checks the targets, prints one
table and writes Bench/results.json."""

import argparse
import json
import sys


def find(results, name):
    for r in results:
        if r["name"] == name:
            return r
    return None


def floor_target(result, text, limit):
    """The target that a median stays within `limit` times the floor, as a list of
    at most one row: none when the floor was not measured."""
    if not (result and result["floor_median_us"]):
        return []
    # The benchmark's own ratio: for C++ the median of the ratios of alternating rounds.
    ratio = result["ratio_to_floor"]
    return [
        (text, "%.2fx (%.2f us vs %.2f us)" % (ratio, result["median_us"], result["floor_median_us"]), ratio <= limit)
    ]


def information_row(cpp, other, text, other_is):
    """A comparison without a verdict of the C++ median against `other`'s, as a
    list of at most one row."""
    if not (cpp and other and other["median_us"]):
        return []
    return [
        (
            "(information) " + text,
            "%.2fx (%.2f us vs %.2f us; %s is %.2fx the floor)"
            % (
                cpp["median_us"] / other["median_us"],
                cpp["median_us"],
                other["median_us"],
                other_is,
                other["ratio_to_floor"],
            ),
            None,
        )
    ]


def targets(results):
    """Each target: (text, measured text, met or None when not measured)."""
    out = []
    cpp = find(results, "ReadVrValue (C++ IConnection)")
    out += floor_target(cpp, "C++ ReadVrValue median <= 1.4x floor", 1.4)
    out += information_row(
        cpp,
        find(results, "floor with a reader-thread hand-off (the design's own cost)"),
        "C++ ReadVrValue against the floor with the reader-thread hand-off",
        "the hand-off alone",
    )
    out += information_row(
        cpp,
        find(results, "ReadVrValue (hand-written C++ socket client, no library)"),
        "C++ ReadVrValue against a hand-written C++ client on the same simulator",
        "the hand-written client",
    )
    py = find(results, "ReadVrValue (Python module)")
    out += floor_target(py, "Python ReadVrValue median <= 1.6x floor", 1.6)
    pure = find(results, "ReadVrValue (pure-Python client)")
    if py and pure and py["median_us"]:
        speedup = pure["median_us"] / py["median_us"]
        out.append(
            (
                "Python module >= 3x faster than the pure-Python client",
                "%.2fx (%.2f us vs %.2f us)" % (speedup, py["median_us"], pure["median_us"]),
                speedup >= 3.0,
            )
        )
    one = find(results, "ReadVrValue, 1 thread(s) on 1 connection")
    four = find(results, "ReadVrValue, 4 thread(s) on 1 connection")
    if one and four and one["ops_per_s"]:
        gain = four["ops_per_s"] / one["ops_per_s"]
        out.append(
            (
                "4 threads on one connection >= 2x single-thread ops/s",
                "%.2fx (%.0f vs %.0f ops/s)" % (gain, four["ops_per_s"], one["ops_per_s"]),
                gain >= 2.0,
            )
        )
    block = find(results, "ReadMultiVrValues of 100000 values") or find(
        results, "ReadMultiTableValues of 100000 values"
    )
    if cpp and block and block["median_us"]:
        singles_us = 100000 * cpp["median_us"]
        gain = singles_us / block["median_us"]
        out.append(
            (
                "ReadMultiVrValues(100 000) >= 20x faster than 100 000 ReadVrValue",
                "%.1fx (%s %.1f ms vs %.1f ms estimated)"
                % (gain, block["name"], block["median_us"] / 1000, singles_us / 1000),
                gain >= 20.0,
            )
        )
    simple = [
        r
        for r in results
        if r["group"] == "latency"
        and "C++ IConnection" in r["name"]
        and "(trace on)" not in r["name"]
        and r.get("allocs_per_op") is not None
    ]
    if simple:
        worst = max(r["allocs_per_op"] for r in simple)
        out.append(
            (
                "no heap allocation on the request path of a simple operation",
                ", ".join("%s %.2f" % (r["name"].split(" (")[0], r["allocs_per_op"]) for r in simple),
                worst == 0.0,
            )
        )
    out += batch_targets(results)
    return out


def batch_targets(results):
    """The targets of batches: over the 1 ms delay link and on loopback from
    Python, threads on the 1 ms link, and allocations per batch in C++."""
    out = []
    one_ms = "(Python, 1 ms link)"
    singles = find(results, "48 reads one by one, 16 axes x DPOS/MPOS/IDLE " + one_ms)
    batch = find(results, "48 reads as one Batch, 16 axes x DPOS/MPOS/IDLE " + one_ms)
    read = find(results, "ReadVrValue " + one_ms)
    if singles and batch and batch["median_us"]:
        gain = singles["median_us"] / batch["median_us"]
        out.append(
            (
                "48 mixed reads as one Batch on the 1 ms link >= 15x faster than one by one (Python)",
                "%.1fx (%.2f ms vs %.2f ms)" % (gain, batch["median_us"] / 1000, singles["median_us"] / 1000),
                gain >= 15.0,
            )
        )
    if batch and read and read["median_us"]:
        trips = batch["median_us"] / read["median_us"]
        out.append(
            (
                "48 mixed reads as one Batch on the 1 ms link take <= 3 round trips (one ReadVrValue each)",
                "%.2f round trips (%.2f ms vs %.2f ms)" % (trips, batch["median_us"] / 1000, read["median_us"] / 1000),
                trips <= 3.0,
            )
        )
    vr_batch = find(results, "Batch of 48 ReadVrValue (Python, loopback)")
    vr_read = find(results, "ReadVrValue (Python, loopback)")
    if vr_batch and vr_read and vr_read["median_us"]:
        cost = vr_batch["median_us"] / vr_read["median_us"]
        out.append(
            (
                "a Batch of 48 reads on loopback costs <= 5x one ReadVrValue (Python)",
                "%.2fx (%.1f us vs %.1f us)" % (cost, vr_batch["median_us"], vr_read["median_us"]),
                cost <= 5.0,
            )
        )
    cpp_batch = find(results, "Batch of 48 ReadVrValue items (C++ IConnection)")
    cpp_read = find(results, "ReadVrValue (C++ IConnection)")
    if cpp_batch and cpp_read and cpp_read["median_us"]:
        out.append(
            (
                "(information) a Batch of 48 reads on loopback against one ReadVrValue (C++)",
                "%.2fx (%.1f us vs %.1f us)"
                % (cpp_batch["median_us"] / cpp_read["median_us"], cpp_batch["median_us"], cpp_read["median_us"]),
                None,
            )
        )
    for r in results:
        if r["name"].startswith("ReadVrValue, 4 thread(s) on 1 connection (Python, 1 ms link"):
            one = find(results, r["name"].replace("4 thread(s)", "1 thread(s)"))
            if one and one["ops_per_s"]:
                gain = r["ops_per_s"] / one["ops_per_s"]
                where = r["name"].split("(Python, ")[1].rstrip(")")
                coalescing = "port 3240" not in where and "TCP_NoDelay 1" not in where
                out.append(
                    (
                        "4 threads on one connection >= 3.5x one thread's reads/s, "
                        + where
                        + (" (information: send coalescing on)" if coalescing else ""),
                        "%.2fx (%.0f vs %.0f reads/s)" % (gain, r["ops_per_s"], one["ops_per_s"]),
                        None if coalescing else gain >= 3.5,
                    )
                )
    batches = [r for r in results if r["group"] == "batch" and r.get("allocs_per_op") is not None]
    small = [r for r in batches if any(" %d " % n in r["name"] for n in range(1, 65))]
    if small:
        out.append(
            (
                "no heap allocation for a Batch of up to 64 items (C++)",
                ", ".join("%s %.2f" % (r["name"].split(" (")[0], r["allocs_per_op"]) for r in batches),
                all(r["allocs_per_op"] == 0.0 for r in small),
            )
        )
    return out


def fmt(value, digits=2):
    if value is None:
        return "-"
    if value >= 100000:
        return "%.0f" % value
    return ("%." + str(digits) + "f") % value


def table(results):
    header = ("benchmark", "median us", "p99 us", "ops/s", "x floor", "allocs/op", "err")
    rows = []
    for r in results:
        if r["group"] == "memory":
            rows.append((r["name"], "%.0f KiB" % r["value"], "", "", "", "", str(r["errors"])))
            continue
        rate = fmt(r["ops_per_s"], 0) + (" val/s" if r["unit"] == "values" else "")
        rows.append(
            (
                r["name"],
                fmt(r["median_us"]),
                fmt(r["p99_us"]),
                rate,
                fmt(r["ratio_to_floor"]) if r["ratio_to_floor"] else "",
                fmt(r.get("allocs_per_op")),
                str(r["errors"]),
            )
        )
    widths = [max(len(row[i]) for row in [*rows, header]) for i in range(len(header))]
    lines = []
    for n, row in enumerate([header, *rows]):
        cells = [row[0].ljust(widths[0])] + [row[i].rjust(widths[i]) for i in range(1, len(row))]
        lines.append("  ".join(cells))
        if n == 0:
            lines.append("  ".join("-" * w for w in widths))
    return "\n".join(lines)


def markdown(results, met, info):
    lines = [
        "| benchmark | median µs | p99 µs | ops/s (values/s) | × floor | allocs/op | errors |",
        "|---|---:|---:|---:|---:|---:|---:|",
    ]
    for r in results:
        if r["group"] == "memory":
            lines.append("| %s | %.0f KiB resident | | | | | %d |" % (r["name"], r["value"], r["errors"]))
            continue
        lines.append(
            "| %s | %s | %s | %s%s | %s | %s | %d |"
            % (
                r["name"],
                fmt(r["median_us"]),
                fmt(r["p99_us"]),
                fmt(r["ops_per_s"], 0),
                " values/s" if r["unit"] == "values" else "",
                fmt(r["ratio_to_floor"]) if r["ratio_to_floor"] else "",
                fmt(r.get("allocs_per_op")),
                r["errors"],
            )
        )
    lines += ["", "| target | measured | verdict |", "|---|---|---|"]
    for text, measured, ok in met:
        lines.append("| %s | %s | %s |" % (text, measured, "" if ok is None else "met" if ok else "**not met**"))
    lines += ["", "| run | |", "|---|---|"]
    for key, value in info.items():
        lines.append("| %s | %s |" % (key, value))
    notes = [r for r in results if r.get("note")]
    if notes:
        lines += ["", "Notes:", ""]
        lines += ["- %s: %s" % (r["name"], r["note"]) for r in notes]
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--out", required=True)
    parser.add_argument("--info", action="append", default=[], help="key=value about the machine and run")
    parser.add_argument("--markdown", help="also write the figures as Markdown tables there")
    parser.add_argument("inputs", nargs="+")
    args = parser.parse_args()
    results = []
    info = dict(kv.split("=", 1) for kv in args.info)
    for path in args.inputs:
        try:
            with open(path) as f:
                results.extend(json.load(f)["results"])
        except (OSError, ValueError) as error:
            print("skipping %s: %s" % (path, error), file=sys.stderr)
    met = targets(results)
    print(table(results))
    print()
    print("targets:")
    for text, measured, ok in met:
        print("  [%s] %s: %s" % ("info" if ok is None else "met" if ok else "NOT met", text, measured))
    notes = [r for r in results if r.get("note")]
    if notes:
        print()
        print("notes:")
        for r in notes:
            print("  %s: %s" % (r["name"], r["note"]))
    with open(args.out, "w") as f:
        json.dump(
            {
                "info": info,
                "results": results,
                "targets": [{"target": t, "measured": m, "met": ok} for t, m, ok in met],
            },
            f,
            indent=1,
        )
        f.write("\n")
    for key, value in info.items():
        print("%s: %s" % (key, value))
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(markdown(results, met, info))


if __name__ == "__main__":
    main()
