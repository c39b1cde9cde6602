"""Times arcmend against a plain copy of the same file, as users meet it.

Every run of either tool starts from a fresh copy of the file, made untimed
just before it, and the two tools take turns going first. Each figure is
printed as median [min-max] with the ratio of the medians. A build whose
Wine cannot start on this kernel is timed in the emulated machine of
tests/i386-vm, whose times are far longer than here, but still its own
against the plain copy's:
  bench/run                    # Linux: 16, 128 and 512 MiB and 1 KiB on
                               # tmpfs against cp --reflink=never and the
                               # one-copy floor, again with the kernel's
                               # copy refused, and 256 MiB on this
                               # checkout's disk against dd conv=fsync
  bench/run --size 64 --size 256 --pairs 9 --disk-size 0
  bench/run --windows          # both Windows builds under Wine, each against
                               # the project's plain ReadFile/WriteFile copy
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
WINDOWS_BUILDS = (("32-bit", "build-windows", "wine"),
                  ("x64", "build-windows-x64", "/usr/lib/wine/wine64"))


def spawn(command, env=None):
    """Runs `command` in a new session (no terminal to pause on), silenced,
    with `env` added to the environment; its wait status and resource usage."""
    pid = os.posix_spawnp(command[0], command, {**os.environ, **(env or {})}, setsid=True,
                          file_actions=[(os.POSIX_SPAWN_OPEN, 0, "/dev/null", os.O_RDONLY, 0),
                                        (os.POSIX_SPAWN_OPEN, 1, "/dev/null", os.O_WRONLY, 0)])
    _, status, usage = os.wait4(pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{' '.join(command)} failed")
    return usage


def timed(command, env=None):
    """Wall and cpu seconds (user + sys) of one run of `command` itself."""
    start = time.perf_counter()
    usage = spawn(command, env)
    return time.perf_counter() - start, usage.ru_utime + usage.ru_stime


def peak_kib(command, peak_file, env=None):
    """Peak resident KiB of one run, from GNU time: a child spawned by this
    Python starts in Python's memory and would count it as its own. Never
    timed: GNU time's own start-up would be as much as a small repair."""
    spawn(["/usr/bin/time", "-f", "%M", "-o", peak_file] + command, env)
    with open(peak_file) as f:
        return int(f.read().split()[-1])


def make_file(path, size):
    with open(path, "wb") as out:
        left = size
        while left > 0:
            piece = min(left, 8 << 20)
            out.write(os.urandom(piece))
            left -= piece


def fresh_copy(source, name):
    """A new file of the source's bytes, on stable storage like any old file."""
    subprocess.run(["cp", "--reflink=never", source, name], check=True)
    subprocess.run(["sync", name], check=True)


def run_pairs(tool, baseline, folder, size, pairs, env=None):
    """`tool` repairs its last argument, with `env` added; `baseline(src,
    dst)` is the copy. Each pair times both, then takes both peaks in runs
    of their own."""
    source = os.path.join(folder, "source")
    name = os.path.join(folder, "data.arc")
    copy = os.path.join(folder, "copy.arc")
    peak = os.path.join(folder, "peak")
    make_file(source, size)
    results = {"arcmend": [], "baseline": []}

    def run(which, how):
        fresh_copy(source, name)
        result = (how(tool + [name], env) if which == "arcmend"
                  else how(baseline(name, copy), None))
        for leftover in (name, name + ".bak", copy):
            if os.path.exists(leftover):
                os.unlink(leftover)
        return result

    # Untimed: the first run after the source was made finds the machine's
    # memory freshly taken and pays for it, whichever tool it is.
    for which in ("arcmend", "baseline"):
        run(which, timed)
    for i in range(pairs):
        order = ("arcmend", "baseline") if i % 2 == 0 else ("baseline", "arcmend")
        times = {which: run(which, timed) for which in order}
        for which in order:
            results[which].append(times[which] + (run(which, lambda c, e: peak_kib(c, peak, e)),))
    os.unlink(source)
    return results


def summary(values):
    return statistics.median(values), min(values), max(values)


def report(title, baseline_name, results, targets):
    print(f"\n{title}")
    print(f"  {'figure':<14}{'arcmend median [min-max]':>32}{baseline_name + ' median [min-max]':>34}"
          f"{'ratio':>8}  target")
    verdicts = []
    for index, label, unit, scale in ((0, "wall", "s", 1), (1, "cpu", "s", 1),
                                      (2, "peak memory", "MiB", 1 / 1024)):
        a = summary([r[index] * scale for r in results["arcmend"]])
        b = summary([r[index] * scale for r in results["baseline"]])
        ratio = a[0] / b[0] if b[0] > 0 else float("inf")
        verdict = ""
        if label in targets:
            ok = targets[label](a, b, ratio)
            verdicts.append(ok)
            verdict = "met" if ok else "MISSED"
        print(f"  {label:<14}{a[0]:>12.4f} [{a[1]:.4f}-{a[2]:.4f}] {unit:<3}"
              f"{b[0]:>14.4f} [{b[1]:.4f}-{b[2]:.4f}] {unit:<3}{ratio:>7.2f}  {verdict}")
    return all(verdicts)


def cp(source, target):
    return ["cp", "--reflink=never", source, target]


def dd(source, target):
    return ["dd", f"if={source}", f"of={target}", "bs=1M", "conv=fsync", "status=none"]


def in_folder(parent, work):
    folder = tempfile.mkdtemp(prefix="arcmend-bench-", dir=parent)
    try:
        return work(folder)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def bench_linux(args):
    tool = [os.path.abspath(args.tool or os.path.join(ROOT, "build", "arcmend"))]
    floor = os.path.join(ROOT, "build", "one_copy")
    refusal = os.path.join(ROOT, "build", "tests", "e2e", "libno_copy_range.so")
    if not all(os.path.exists(p) for p in (tool[0], floor, refusal)):
        sys.exit(f"{tool[0]} is not built; run cmake --workflow --preset default first")
    print(f"{tool[0]}, each run on a fresh copy, against cp --reflink=never, the one-copy floor "
          "(copy_file_range of the rotated bytes, no backup, no sync) and dd conv=fsync")
    ok = True
    for size in args.size or [16, 128, 512]:
        big = in_folder("/dev/shm", lambda f: run_pairs(tool, cp, f, size << 20, args.pairs))
        ok &= report(f"{size} MiB on tmpfs, {args.pairs} pairs", "cp", big, {
            "wall": lambda a, b, ratio: ratio < 1,
            "peak memory": lambda a, b, ratio: a[0] <= 8,
        })
        least = in_folder("/dev/shm", lambda f: run_pairs(
            tool, lambda s, t: [floor, s, t], f, size << 20, args.pairs))
        ok &= report(f"{size} MiB on tmpfs, {args.pairs} pairs", "one-copy floor", least,
                     {"wall": lambda a, b, ratio: ratio <= 1.05})
        # A preload refuses copy_file_range, as some file systems do.
        buffered = in_folder("/dev/shm", lambda f: run_pairs(
            tool, cp, f, size << 20, args.pairs, {"LD_PRELOAD": refusal}))
        ok &= report(f"{size} MiB on tmpfs, the kernel's copy refused, {args.pairs} pairs", "cp",
                     buffered, {"wall": lambda a, b, ratio: ratio <= 1.1,
                                "peak memory": lambda a, b, ratio: a[0] <= 8})
    small = in_folder("/dev/shm", lambda f: run_pairs(tool, cp, f, 1024, args.small_pairs))
    ok &= report(f"1 KiB on tmpfs, {args.small_pairs} pairs", "cp", small,
                 {"wall": lambda a, b, ratio: ratio <= 0.85})
    if args.disk_size > 0:
        disk = in_folder(ROOT, lambda f: run_pairs(tool, dd, f, args.disk_size << 20, args.pairs))
        report(f"{args.disk_size} MiB on this checkout's disk, {args.pairs} pairs "
               "(arcmend syncs its file, and dd is told to)", "dd", disk, {})
    return ok


def runs_here(wine):
    probe = os.path.join(ROOT, "tests", "wine-session")
    return subprocess.run([probe, wine, "here"], capture_output=True).returncode == 0


def bench_windows_elsewhere(args, label):
    """The same figures from the emulated machine, where this kernel cannot
    run `label`'s Wine (no 32-bit support)."""
    vm = os.path.join(ROOT, "tests", "i386-vm", "run")
    print(f"\n{label}: its Wine cannot start here; timed in the emulated machine", flush=True)
    subprocess.run([vm, "--start"], check=True)
    try:
        inner = subprocess.run([vm, sys.executable, os.path.abspath(__file__), "--windows",
                                "--only", label, "--pairs", str(args.pairs)]
                               + [f"--size={size}" for size in args.size or []])
    finally:
        subprocess.run([vm, "--stop"], check=False)
    return inner.returncode == 0


def bench_windows_build(args, label, build, wine):
    exe = os.path.join(ROOT, build, "arcmend.exe")
    copier = os.path.join(ROOT, build, "plain_copy.exe")
    os.environ["WINEDEBUG"] = "-all"
    os.environ["WINEPREFIX"] = os.path.join(ROOT, build, "wineprefix-bench")
    # One wineserver and a ready prefix for all runs, as a Windows user
    # has one running system: neither is what is timed.
    os.makedirs(os.environ["WINEPREFIX"], exist_ok=True)
    subprocess.run(["wineserver", "-p"], check=False)
    subprocess.run([wine, "cmd", "/c", "exit"], check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    ok = True
    try:
        for size in args.size or [16, 512]:
            big = in_folder("/dev/shm", lambda f: run_pairs(
                [wine, exe], lambda s, t: [wine, copier, s, t], f, size << 20, args.pairs))
            ok &= report(f"{label} build under {wine}, {size} MiB on tmpfs, {args.pairs} pairs",
                         "plain copy", big, {
                             "wall": lambda a, b, ratio: ratio <= 1.05,
                             "peak memory": lambda a, b, ratio: a[0] <= b[0] + 2,
                         })
    finally:
        subprocess.run(["wineserver", "-k"], check=False)
    return ok


def bench_windows(args):
    ok = True
    for label, build, wine in WINDOWS_BUILDS:
        if args.only not in (None, label):
            continue
        built = all(os.path.exists(os.path.join(ROOT, build, program))
                    for program in ("arcmend.exe", "plain_copy.exe"))
        if not built:
            print(f"\n{label}: {build} is not built; skipped")
        elif runs_here(wine):
            ok &= bench_windows_build(args, label, build, wine)
        else:
            ok &= bench_windows_elsewhere(args, label)
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=int, action="append",
                        help="big file size in MiB, repeatable (default: 16, 128 and 512 on "
                             "Linux, 16 and 512 for --windows)")
    parser.add_argument("--pairs", type=int, default=11, help="alternating pairs")
    parser.add_argument("--small-pairs", type=int, default=40)
    parser.add_argument("--disk-size", type=int, default=256,
                        help="MiB for the figure on this checkout's disk (0 for none)")
    parser.add_argument("--windows", action="store_true",
                        help="time the Windows builds under Wine instead")
    parser.add_argument("--only", choices=[label for label, _, _ in WINDOWS_BUILDS],
                        help="with --windows: just this build")
    parser.add_argument("--tool", help="the Linux binary to time (default: build/arcmend)")
    args = parser.parse_args()
    ok = bench_windows(args) if args.windows else bench_linux(args)
    if args.only is None:
        print("\nall targets met" if ok else "\nsome targets missed")
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
