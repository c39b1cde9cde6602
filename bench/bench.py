"""Times arcmend against `cp --reflink=never` of the same file on tmpfs.

Runs alternating pairs, so that both see the same machine, and prints each
figure's median with its range and the ratio to cp:
  bench/run                    # 512 MiB, 7 pairs, the Linux build
  bench/run --size 64 --pairs 9
  bench/run --windows          # the Windows build under Wine (no targets)
  bench/run --windows --tool build-windows-x64/arcmend.exe --wine /usr/lib/wine/wine64
"""

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def measure(command, peak_file):
    """Wall seconds, cpu seconds (user + sys) and peak resident KiB of one run."""
    # The peak comes from GNU time: a child of this Python would start with
    # Python's memory and count it as its own. A new session: no terminal
    # to pause on.
    timed = ["/usr/bin/time", "-f", "%M", "-o", peak_file] + command
    start = time.perf_counter()
    pid = os.posix_spawn(timed[0], timed, os.environ, setsid=True,
                         file_actions=[(os.POSIX_SPAWN_OPEN, 0, "/dev/null", os.O_RDONLY, 0),
                                       (os.POSIX_SPAWN_OPEN, 1, "/dev/null", os.O_WRONLY, 0)])
    _, status, usage = os.wait4(pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{command[0]} failed")
    with open(peak_file) as f:
        peak = int(f.read().split()[-1])
    return wall, usage.ru_utime + usage.ru_stime, peak


def make_file(path, size):
    with open(path, "wb") as out:
        left = size
        while left > 0:
            piece = min(left, 8 << 20)
            out.write(os.urandom(piece))
            left -= piece


def run_pairs(tool, folder, size, pairs):
    name = os.path.join(folder, "data.arc")
    peak = os.path.join(folder, "peak")
    make_file(name, size)
    results = {"arcmend": [], "cp": []}
    for i in range(pairs):
        order = ["arcmend", "cp"] if i % 2 == 0 else ["cp", "arcmend"]
        for which in order:
            if which == "arcmend":
                results[which].append(measure(tool + [name], peak))
                # Put the original back for the next run.
                os.replace(name + ".bak", name)
            else:
                results[which].append(
                    measure(["cp", "--reflink=never", name, os.path.join(folder, "copy.arc")],
                            peak))
                os.unlink(os.path.join(folder, "copy.arc"))
    os.unlink(name)
    return results


def summary(values):
    return statistics.median(values), min(values), max(values)


def report(title, results, targets):
    print(f"\n{title}")
    print(f"  {'figure':<18}{'arcmend median [min-max]':>30}{'cp median [min-max]':>30}"
          f"{'ratio':>8}  target")
    verdicts = []
    for index, label, unit, scale in ((0, "wall", "s", 1), (1, "cpu", "s", 1),
                                      (2, "peak memory", "MiB", 1 / 1024)):
        a = summary([r[index] * scale for r in results["arcmend"]])
        c = summary([r[index] * scale for r in results["cp"]])
        ratio = a[0] / c[0] if c[0] > 0 else float("inf")
        target = targets.get(label)
        verdict = ""
        if target is not None:
            ok = target(a[0], ratio)
            verdicts.append(ok)
            verdict = "met" if ok else "MISSED"
        print(f"  {label:<18}{a[0]:>12.4f} [{a[1]:.4f}-{a[2]:.4f}] {unit:<3}"
              f"{c[0]:>12.4f} [{c[1]:.4f}-{c[2]:.4f}] {unit:<3}{ratio:>7.2f}  {verdict}")
    return all(verdicts)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=int, default=512, help="big file size in MiB")
    parser.add_argument("--pairs", type=int, default=7, help="alternating pairs (at least 7)")
    parser.add_argument("--small-pairs", type=int, default=20)
    parser.add_argument("--windows", action="store_true",
                        help="time build-windows*/arcmend.exe under Wine instead")
    parser.add_argument("--tool", help="the binary to time (default: the build's)")
    parser.add_argument("--wine", default="wine",
                        help="the Wine to run it with (/usr/lib/wine/wine64 for an x64 build)")
    args = parser.parse_args()

    if args.windows:
        exe = args.tool or os.path.join(ROOT, "build-windows", "arcmend.exe")
        tool = [args.wine, os.path.abspath(exe)]
        os.environ.setdefault("WINEDEBUG", "-all")
        os.environ.setdefault("WINEPREFIX", os.path.join(os.path.dirname(os.path.abspath(exe)),
                                                         "wineprefix"))
    else:
        tool = [os.path.abspath(args.tool or os.path.join(ROOT, "build", "arcmend"))]
    if not os.path.exists(tool[-1]):
        sys.exit(f"{tool[-1]} is not built; run cmake --workflow --preset "
                 f"{'windows' if args.windows else 'default'} first")

    size = args.size << 20
    folder = tempfile.mkdtemp(prefix="arcmend-bench-", dir="/dev/shm")
    try:
        print(f"{' '.join(tool)} against cp --reflink=never, on tmpfs ({folder})")
        big = run_pairs(tool, folder, size, args.pairs)
        small = run_pairs(tool, folder, 1024, args.small_pairs)
    finally:
        shutil.rmtree(folder, ignore_errors=True)

    targets = {} if args.windows else {
        "wall": lambda value, ratio: ratio <= 0.9,
        "cpu": lambda value, ratio: ratio <= 0.9,
        "peak memory": lambda value, ratio: value <= args.size + 4,
    }
    small_targets = {} if args.windows else {"wall": lambda value, ratio: ratio <= 1.0}
    ok = report(f"{args.size} MiB of random bytes, {args.pairs} pairs", big, targets)
    ok &= report(f"1 KiB, {args.small_pairs} pairs", small, small_targets)
    if args.windows:
        print("\nno targets for the Windows build")
    else:
        print("\nall targets met" if ok else "\nsome targets missed")


if __name__ == "__main__":
    main()
