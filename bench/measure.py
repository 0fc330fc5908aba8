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

MAX_BYTES = 2560  # the release's reboot.exe, at most
MAX_TIME_RATIO = 1.05  # its median run time over the bare program's
ROUNDS, RUNS, WARMUP = 12, 25, 3  # runs of each program per round
# In the QEMU guest (see scripts/harness.py) a run takes about twenty times as long.
GUEST = os.environ.get("REBOOT_IN_GUEST")
if GUEST:
    ROUNDS, RUNS = 4, 10
PRESETS = ["windows-x86-clang", "windows-x86-gcc", "windows-x86-clang-cl"]  # the release's first


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
    harness.rerun_in_guest()
    for path in (p for preset in PRESETS for p in programs(preset)):
        if not os.path.isfile(path):
            raise harness.HarnessError(f"{path} is not built (bench/run builds it)")
    with harness.prefix() as path:
        env = harness.wine_env(path)
        # One server for all runs, so that each run times the program, not Wine's start.
        subprocess.run(["wineserver", "-p"], env=env, check=True)
        times = medians([f"wine {p}" for preset in PRESETS for p in programs(preset)], env)

    missed = []
    print(f"{'preset':<20} {'reboot.exe':>11} {'minimal':>9} {'diff':>6}"
          f" {'reboot.exe':>11} {'minimal':>9} {'ratio':>6}")
    for i, preset in enumerate(PRESETS):
        reboot, minimal = (os.path.getsize(p) for p in programs(preset))
        ratio = times[2 * i] / times[2 * i + 1]
        print(f"{preset:<20} {reboot:>9} B {minimal:>7} B {reboot - minimal:>+6}"
              f" {times[2 * i] * 1000:>8.0f} ms {times[2 * i + 1] * 1000:>6.0f} ms {ratio:>6.3f}")
        if i > 0:
            continue
        if reboot > minimal:
            missed.append(f"{preset}: reboot.exe is {reboot - minimal} bytes over the bare program")
        if reboot > MAX_BYTES:
            missed.append(f"{preset}: reboot.exe is over {MAX_BYTES} bytes")
        if ratio > MAX_TIME_RATIO:
            missed.append(f"{preset}: time ratio {ratio:.3f} is over {MAX_TIME_RATIO}")
    print(f"medians of {ROUNDS * RUNS} runs each, " + (f"in the QEMU guest ({GUEST})" if GUEST
          else "natively"))
    print(f"targets ({PRESETS[0]}): at most the bare program's size and {MAX_BYTES} bytes;"
          f" time ratio at most {MAX_TIME_RATIO}")
    print("Both programs run only their own code, so Wine's own start-up is nearly all of"
          " each time: ratios near 1 differ by noise alone.")
    for line in missed:
        print(f"missed: {line}")
    print("all targets met" if not missed else f"{len(missed)} target(s) missed")
    return 1 if missed else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (harness.HarnessError, subprocess.CalledProcessError) as e:
        sys.exit(f"bench: {e}")
