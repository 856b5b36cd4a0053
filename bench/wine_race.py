#!/usr/bin/env python3
"""wine_race.py: the Windows server's full-scan search under Wine, timed
against a plain Win32 program that reads every note (the floor), and its
answers checked byte for byte against the Linux build's.

  wine_race.py --wine LAUNCHER --exe SERVER.exe --floor FLOOR.exe
               --linux SERVER [--before OLD.exe] [--runs N] [--server-log]
               VAULT...

LAUNCHER runs a Windows program under Wine (its own prefix, a wineserver
kept running). Every round runs each program once per query, interleaved,
after one warm-up round; the table gives medians and the ratio to the
floor. --server-log counts wineserver requests per note (WINEDEBUG=+server)
for the floor and for each server on the first vault.
"""
import argparse
import json
import os
import re
import resource
import statistics
import subprocess
import sys
import tempfile
import time

# Full scans: no note holds these two words, so every note is read.
TIMED = ["ωκεανός", "Straßenbahn"]
# Answers compared with the Linux build's: non-ASCII queries, the rare word
# (late in path order), and common ones that stop at the 50-file limit.
CHECKED = [
    "quasarwick", "ωκεανός", "Straßenbahn", "project", "the", "CAFÉ",
    "λόγοσ", "ΟΔΟΣ", "straße", "ПАМЯТЬ", "記憶", "📝", "300k", "İstanbul",
    "naïve", "ångström", "→", "note-42]]", "“quoted”", "- [ ] todo",
]


def request_lines(queries):
    lines = []
    for i, q in enumerate(queries, 1):
        lines.append(json.dumps({
            "jsonrpc": "2.0", "id": i, "method": "tools/call",
            "params": {"name": "search", "arguments": {"query": q}}},
            ensure_ascii=False))
    return ("\n".join(lines) + "\n").encode()


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wineserver_pid():
    """The pid of the wineserver serving WINEPREFIX (its working folder is
    .../server-DEV-INODE of the prefix), or None."""
    prefix = os.environ.get("WINEPREFIX")
    if not prefix:
        return None
    st = os.stat(prefix)
    want = f"/server-{st.st_dev:x}-{st.st_ino:x}"
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.readlink(f"/proc/{pid}/cwd").endswith(want):
                return int(pid)
        except OSError:
            continue
    return None


def cpu_seconds(pid):
    """User and system time of `pid` so far (0 when it is gone)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, TypeError):
        return 0.0


def run(argv, env, stdin=b""):
    """Wall time, CPU time (the program's and the wineserver's), output."""
    server = wineserver_pid() if argv and argv[0].endswith("wine") else None
    server_before = cpu_seconds(server) if server else 0.0
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    done = subprocess.run(argv, input=stdin, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, check=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime -
                                                 before.ru_stime)
    if server:
        # The wineserver lets the ended process go after it exits: its
        # share of the work is counted here, not in the next program's run.
        time.sleep(0.2)
        server_after = cpu_seconds(server)
        # A wineserver that ended meanwhile took its count along.
        cpu = cpu + server_after - server_before if server_after else None
    run.cpu = cpu
    return wall, done.stdout


def programs(args, vault):
    """(label, argv, env, stdin for one query) for every program timed."""
    win_env = dict(os.environ, VESTIGOR_VAULT=windows_path(vault))
    linux_env = dict(os.environ, VESTIGOR_VAULT=os.path.abspath(vault))
    out = [("floor", [args.wine, args.floor, windows_path(vault)], win_env,
            None)]
    if args.before:
        out.append(("exe before", [args.wine, args.before], win_env, True))
    out.append(("exe", [args.wine, args.exe], win_env, True))
    out.append(("linux", [args.linux], linux_env, True))
    return out


def check_answers(args, vault):
    stdin = request_lines(CHECKED)
    _, want = run([args.linux],
                  dict(os.environ, VESTIGOR_VAULT=os.path.abspath(vault)),
                  stdin)
    servers = [("exe", args.exe)] + ([("exe before", args.before)]
                                     if args.before else [])
    ok = True
    for label, exe in servers:
        _, got = run([args.wine, exe],
                     dict(os.environ, VESTIGOR_VAULT=windows_path(vault)),
                     stdin)
        same = got == want
        ok = ok and same
        past_limit = sum(1 for line in want.splitlines()
                         if b'"text":"50 file match(es)' in line)
        print(f"  {label}: {len(CHECKED)} answers "
              f"{'byte-identical to' if same else 'DIFFER from'} Linux "
              f"({len(want)} bytes; {past_limit} at the 50-file limit)")
        if not same:
            for i, (a, b) in enumerate(zip(got.splitlines(),
                                           want.splitlines()), 1):
                if a != b:
                    print(f"    first difference at answer {i}:\n"
                          f"      exe:   {a[:300]!r}\n"
                          f"      linux: {b[:300]!r}")
                    break
    return ok


def server_requests(args, vault, notes):
    """Requests the wineserver serves for one full scan of `vault`, less
    those of the same run on an empty vault (the process's own start),
    for the floor and each server. Each run starts its own wineserver
    (WINEDEBUG=+server traces to the server's standard error): WINESERVER
    and WINEPREFIX name the launcher's."""
    request = re.compile(rb"^[0-9a-f]{4}: \w+\((?!\) =)", re.M)
    wineserver = os.environ.get("WINESERVER", "wineserver")
    empty = tempfile.mkdtemp(prefix="vestigor-empty-vault-")
    rows = []
    try:
        for (label, argv, _, stdin), (_, empty_argv, _, _) in zip(
                programs(args, vault), programs(args, empty)):
            if label == "linux":
                continue
            counts = []
            for where, run_argv in ((vault, argv), (empty, empty_argv)):
                subprocess.run([wineserver, "-k"],
                               stderr=subprocess.DEVNULL, check=False)
                env = dict(os.environ, WINEDEBUG="+server",
                           VESTIGOR_VAULT=windows_path(where))
                done = subprocess.run(
                    run_argv, input=request_lines(TIMED[:1]) if stdin else b"",
                    env=env, stdout=subprocess.DEVNULL,
                    stderr=subprocess.PIPE, check=True)
                counts.append(len(request.findall(done.stderr)))
            rows.append((label, counts[0], (counts[0] - counts[1]) / notes))
    finally:
        os.rmdir(empty)
        # A wineserver that stays, for the runs timed after these.
        subprocess.run([wineserver, "-p", "600"], stderr=subprocess.DEVNULL,
                       check=False)
    return rows


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--wine", required=True)
    p.add_argument("--exe", required=True)
    p.add_argument("--floor", required=True)
    p.add_argument("--linux", required=True)
    p.add_argument("--before")
    p.add_argument("--runs", type=int, default=10)
    p.add_argument("--server-log", action="store_true")
    p.add_argument("vaults", nargs="+")
    args = p.parse_args()
    all_same = True
    worst = 0.0
    for vault in args.vaults:
        _, floor_out = run([args.wine, args.floor, windows_path(vault)],
                           os.environ)
        notes = int(floor_out.split()[0])
        print(f"{vault}: {floor_out.decode().strip()}")
        all_same = check_answers(args, vault) and all_same
        progs = programs(args, vault)
        times = {(label, q): [] for label, *_ in progs for q in TIMED}
        cpus = {(label, q): [] for label, *_ in progs for q in TIMED}
        for round_ in range(args.runs + 1):  # round 0 warms up
            for q in TIMED:
                # Each round starts with another program, so that none
                # always follows the same one.
                turn = round_ % len(progs)
                for label, argv, env, stdin in progs[turn:] + progs[:turn]:
                    if label == "floor" and q != TIMED[0]:
                        continue
                    t, _ = run(argv, env, request_lines([q]) if stdin else b"")
                    if round_ > 0:
                        times[(label, q)].append(t)
                        if run.cpu is not None:
                            cpus[(label, q)].append(run.cpu)
        floor = statistics.median(times[("floor", TIMED[0])])
        floor_cpu = statistics.median(cpus[("floor", TIMED[0])])
        print(f"  median of {args.runs} interleaved runs, ms of wall time "
              "and of CPU time (the program's and the wineserver's), and "
              "the best wall time; ratios to the floor's:")
        floor_best = min(times[("floor", TIMED[0])])
        print(f"    {'floor':<12} {floor * 1000:8.1f}          "
              f"{floor_cpu * 1000:8.1f}           best {floor_best * 1000:.1f}")
        for q in TIMED:
            for label, *_ in progs:
                if label == "floor":
                    continue
                m = statistics.median(times[(label, q)])
                c = statistics.median(cpus[(label, q)])
                if label == "exe":
                    worst = max(worst, m / floor)
                b = min(times[(label, q)])
                print(f"    {label:<12} {m * 1000:8.1f} ({m / floor:.2f}x) "
                      f"{c * 1000:8.1f} ({c / floor_cpu:.2f}x)  best "
                      f"{b * 1000:.1f} ({b / floor_best:.2f}x)  {q}")
        if args.server_log and vault == args.vaults[0]:
            print("  wineserver requests (WINEDEBUG=+server) in one full "
                  f"scan; beyond an empty vault's, per note ({notes}):")
            for label, count, per in server_requests(args, vault, notes):
                print(f"    {label:<12} {count:8d}  {per:.2f} per note")
    print(f"exe against the floor, worst: {worst:.2f}x (target 1.15x); "
          f"answers {'all byte-identical' if all_same else 'DIFFER'}")
    return 0 if all_same else 1


if __name__ == "__main__":
    sys.exit(main())
