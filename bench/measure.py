#!/usr/bin/python3
"""Compares reboot.exe with the bare restart request, built alike by each preset:
bytes, and median wall time of an accepted run under Wine. Exits 1 when the
release's preset misses a target. Run by bench/run."""
import json
import os
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
import harness  # noqa: E402

RELEASES = {"windows-x86-clang": 2560, "windows-x64-clang": 3072}  # bytes, at most
MAX_TIME_RATIO = 1.05  # a release's median run time over its bare program's
ROUNDS, RUNS, WARMUP = 12, 25, 3  # runs of each program per round
# In the QEMU guest (see scripts/harness.py) a run takes about twenty times as long.
GUEST = os.environ.get("REBOOT_IN_GUEST")
if GUEST:
    ROUNDS, RUNS = 4, 10
PRESETS = ["windows-x86-clang", "windows-x64-clang", "windows-x86-gcc", "windows-x86-clang-cl",
           "windows-x64-clang-cl"]


def programs(preset):
    return f"build/{preset}/reboot.exe", f"build/{preset}/bench/minimal.exe"


def medians(commands, env):
    """Median seconds of each command. Wine's run times drift, so hyperfine times
    the commands in rounds, in turn forwards and backwards, and the runs are pooled."""
    harness.need("hyperfine")
    pooled = {command: [] for command in commands}
    for round in range(ROUNDS):
        order = commands if round % 2 == 0 else commands[::-1]
        with tempfile.NamedTemporaryFile(suffix=".json") as out:
            subprocess.run(["hyperfine", "-N", "--warmup", str(WARMUP), "--runs", str(RUNS),
                            "--export-json", out.name, *order],
                           env=env, stdout=subprocess.DEVNULL, check=True)
            for result in json.load(out)["results"]:
                pooled[result["command"]] += result["times"]
    return [statistics.median(pooled[command]) for command in commands]


def main():
    for path in (p for preset in PRESETS for p in programs(preset)):
        if not os.path.isfile(path):
            raise harness.HarnessError(f"{path} is not built (bench/run builds it)")
    harness.enter("x86")
    times = {}
    for arch in ("x86", "x64"):
        paths = [p for preset in PRESETS for p in programs(preset) if harness.machine(p) == arch]
        with harness.prefix(arch) as path:
            env = harness.wine_env(path, arch)
            # One server for all runs, so that each run times the program, not Wine's start.
            subprocess.run(["wineserver", "-p"], env=env, check=True)
            loader = harness.LOADER[arch]
            times |= dict(zip(paths, medians([f"{loader} {p}" for p in paths], env)))

    missed = []
    print(f"{'preset':<20} {'reboot.exe':>11} {'minimal':>9} {'diff':>6}"
          f" {'reboot.exe':>11} {'minimal':>9} {'ratio':>6}")
    for preset in PRESETS:
        reboot, minimal = programs(preset)
        size, floor = os.path.getsize(reboot), os.path.getsize(minimal)
        ratio = times[reboot] / times[minimal]
        print(f"{preset:<20} {size:>9} B {floor:>7} B {size - floor:>+6}"
              f" {times[reboot] * 1000:>8.0f} ms {times[minimal] * 1000:>6.0f} ms {ratio:>6.3f}")
        if preset not in RELEASES:
            continue
        # x64's import entries and unwind data fill .rdata past its bare program's block.
        if size > floor and harness.machine(reboot) == "x86":
            missed.append(f"{preset}: reboot.exe is {size - floor} bytes over the bare program")
        if size > RELEASES[preset]:
            missed.append(f"{preset}: reboot.exe is over {RELEASES[preset]} bytes")
        if ratio > MAX_TIME_RATIO:
            missed.append(f"{preset}: time ratio {ratio:.3f} is over {MAX_TIME_RATIO}")
    print(f"medians of {ROUNDS * RUNS} runs each, " + (f"in the QEMU guest ({GUEST})" if GUEST
          else "natively"))
    print(f"targets: x86 release at most the bare program's size and 2560 bytes, x64 release"
          f" at most 3072 bytes; each a time ratio at most {MAX_TIME_RATIO}")
    print("Both programs run only their own code, so Wine's own start-up is nearly all of"
          " each time: ratios near 1 differ by noise alone.")
    for line in missed:
        print(f"missed: {line}")
    print("all targets met" if not missed else f"{len(missed)} target(s) missed")
    return 1 if missed else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (harness.HarnessError, subprocess.CalledProcessError) as e:  # one line, not a trace
        sys.exit(f"bench: {e}")
