#!/usr/bin/env python3
"""search_race.py: the search tool against ripgrep, measured from outside.

    search_race.py VAULT SERVER [--runs N] [--floor PROGRAM] [--before SERVER]

Run by bench/search_bench.sh, which builds the programs and the vault.
Prints, each with the command it times:
  - agreement: the server and ripgrep report the same notes, line numbers
    and (trimmed) lines for every query below; a disagreement exits 1;
  - whole-process medians, the commands interleaved run by run so that a
    slow spell of the machine hits all of them alike: /bin/true, the
    server answering a ping (its start-up), the server answering one search (full scans: a rare ASCII word, an absent
    Greek word, an absent word whose non-ASCII letter is common; the
    first call of a fresh process: a common word that stops at 50 notes),
    ripgrep doing the same scans, and the floor program (walks the vault
    and reads every note, no matching) when given; then the ratios;
  - per-call times of the common word in one running server (second and
    later calls), request written to answer read;
  - peak RSS of every server run (/usr/bin/time), against 10 MiB plus the
    largest note.
With --before, an earlier server binary runs the same searches in the same
interleaved rounds, and its ratios are printed next to the new ones.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

QUERIES = {
    "ascii": "quasarwick",      # three notes late in path order
    "greek": "ωκεανός",          # no note holds it
    "german": "Straßenbahn",    # none either, though ß is common
    "common": "project",        # nearly every note: stops at 50
}
RG = ["rg", "-j1", "-i", "-F", "-m1", "-n", "--sort", "path",
      "-g", "*.md", "-g", "!.*"]
# ripgrep as people run it: every core, no sorting (sorting makes it
# single-threaded).
RG_ALL = ["rg", "-i", "-F", "-m1", "-n", "-g", "*.md", "-g", "!.*"]
WHITE = "\t\n\v\f\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005" \
        "\u2006\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000"


def request(query, id_=1):
    return json.dumps({"jsonrpc": "2.0", "id": id_, "method": "tools/call",
                       "params": {"name": "search",
                                  "arguments": {"query": query}}},
                      ensure_ascii=False) + "\n"


def server_hits(server, vault, query):
    out = subprocess.run([server], input=request(query).encode(),
                         capture_output=True, env={"VESTIGOR_VAULT": vault},
                         check=True).stdout
    text = json.loads(out)["result"]["content"][0]["text"]
    if text.startswith("No matches"):
        return []
    return text.split("\n")[2:]


def rg_hits(vault, query, limit):
    out = subprocess.run(RG + [query, vault], capture_output=True).stdout
    hits = []
    for line in out.decode("utf-8", "replace").split("\n"):
        if not line:
            continue
        path, number, text = line.split(":", 2)
        rel = os.path.relpath(path, vault)
        hits.append("%s:%s: %s" % (rel, number, text.strip(WHITE)))
    return hits[:limit]


def spawn_timed(argv, stdin_path, env):
    """Seconds from spawn to reaped exit. ripgrep exits with 1 when it finds
    nothing."""
    actions = [(os.POSIX_SPAWN_OPEN, 0, stdin_path, os.O_RDONLY, 0),
               (os.POSIX_SPAWN_OPEN, 1, "/dev/null", os.O_WRONLY, 0),
               (os.POSIX_SPAWN_OPEN, 2, "/dev/null", os.O_WRONLY, 0)]
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, env, file_actions=actions)
    _, status = os.waitpid(pid, 0)
    elapsed = time.perf_counter() - start
    if status != 0 and not (argv[0].endswith("rg") and status == 256):
        sys.exit("%s exited with status %d" % (" ".join(argv), status))
    return elapsed


def peak_rss_kib(argv, stdin_path, env):
    """Peak RSS by /usr/bin/time: a small parent, so the figure is the
    child's own (after a fork from this large process it would not be)."""
    with open(stdin_path, "rb") as stdin:
        err = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, stdin=stdin,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                             env=env).stderr
    return int(err.decode().strip().split("\n")[-1])


def per_call(server, vault, query, calls):
    proc = subprocess.Popen([server], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            env={"VESTIGOR_VAULT": vault})
    times = []
    for i in range(calls):
        line = request(query, i + 1).encode()
        start = time.perf_counter()
        proc.stdin.write(line)
        proc.stdin.flush()
        answer = proc.stdout.readline()
        times.append(time.perf_counter() - start)
        if b'"isError":false' not in answer:
            sys.exit("bad answer: %r" % answer[:200])
    proc.stdin.close()
    proc.wait()
    return times


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("vault")
    parser.add_argument("server")
    parser.add_argument("--runs", type=int, default=30)
    parser.add_argument("--floor")
    parser.add_argument("--before")
    parser.add_argument("--no-io-uring",
                        help="the no_io_uring program: adds the server "
                             "with io_uring refused")
    parser.add_argument("--cold", action="store_true",
                        help="drop the page cache before every run (root); "
                             "times only")
    args = parser.parse_args()
    vault = os.path.abspath(args.vault)
    server = os.path.abspath(args.server)
    env = {"VESTIGOR_VAULT": vault, "PATH": os.environ["PATH"]}

    for name, query in QUERIES.items():
        limit = 50
        ours = server_hits(server, vault, query)
        theirs = rg_hits(vault, query, limit)
        if ours != theirs:
            print("server and ripgrep disagree on %r:" % query)
            for a, b in zip(ours + [""] * len(theirs), theirs + [""] * len(ours)):
                if a != b:
                    print("  server: %s\n  rg:     %s" % (a, b))
                    break
            sys.exit(1)
        print("agreement on %-13r %2d notes, same lines: %s"
              % (query, len(ours), ", ".join(h.split(":")[0] for h in ours[:3])
                 + (" ..." if len(ours) > 3 else "")))

    work = tempfile.mkdtemp()
    inputs = {}
    for name, query in QUERIES.items():
        inputs[name] = os.path.join(work, name + ".json")
        with open(inputs[name], "w") as f:
            f.write(request(query))
    null = "/dev/null"
    rg = subprocess.run(["which", "rg"], capture_output=True,
                        text=True).stdout.strip()
    inputs["ping"] = os.path.join(work, "ping.json")
    with open(inputs["ping"], "w") as f:
        f.write('{"jsonrpc":"2.0","id":1,"method":"ping"}\n')
    commands = [("true", ["/bin/true"], null),
                ("server-ping", [server], inputs["ping"])]
    for name in ("common", "ascii", "greek", "german"):
        commands.append(("server-" + name, [server], inputs[name]))
        if args.no_io_uring:
            commands.append(("refused-" + name,
                             [os.path.abspath(args.no_io_uring), server],
                             inputs[name]))
        if args.no_io_uring and args.before and name != "common":
            # A seccomp filter slows every process it covers (the kernel
            # then disables speculative store bypass): the fair comparison
            # for the refused server.
            commands.append(("beforefilter-" + name,
                             [os.path.abspath(args.no_io_uring),
                              os.path.abspath(args.before)], inputs[name]))
        if args.before:
            commands.append(("before-" + name, [os.path.abspath(args.before)],
                             inputs[name]))
    for name in ("ascii", "greek", "german"):
        commands.append(("rg-" + name, [rg] + RG[1:] + [QUERIES[name], vault],
                         null))
        commands.append(("rgall-" + name,
                         [rg] + RG_ALL[1:] + [QUERIES[name], vault], null))
    if args.floor:
        commands.append(("floor", [os.path.abspath(args.floor), vault], null))

    def drop_caches():
        os.sync()
        with open("/proc/sys/vm/drop_caches", "w") as f:
            f.write("3\n")

    times = {name: [] for name, _, _ in commands}
    for _ in range(0 if args.cold else 3):  # warm-up
        for name, argv, stdin in commands:
            spawn_timed(argv, stdin, env)
    for _ in range(args.runs):
        for name, argv, stdin in commands:
            if args.cold:
                drop_caches()
            times[name].append(spawn_timed(argv, stdin, env))
    med = {name: statistics.median(t) * 1e3 for name, t in times.items()}

    print("\nwhole processes, median of %d interleaved runs (ms):" % args.runs)
    for name, argv, stdin in commands:
        shown = " ".join(a if " " not in a else repr(a) for a in argv)
        if stdin != null:
            shown += " < " + os.path.basename(stdin)
        print("  %-15s %8.2f   %s" % (name, med[name], shown))
    print("  (the server's input: one tools/call search request for %s)"
          % ", ".join("%s.json = %r" % (n, q) for n, q in QUERIES.items()))

    def verdict(ok):
        return "met" if ok else "NOT MET"

    print("\nratios and targets (%s cache; load: %s):"
          % ("cold" if args.cold else "warm",
             open("/proc/loadavg").read().strip()))
    for name in ("ascii", "greek", "german"):
        r = med["server-" + name] / med["rgall-" + name]
        target = 0.5 if args.cold else 0.9
        print("  full scan %-7s server / rg (all threads): %.2f "
              "(target <= %.1f: %s)" % (name, r, target, verdict(r <= target)))
        if args.before:
            r = med["before-" + name] / med["rgall-" + name]
            print("  full scan %-7s before / rg (all threads): %.2f"
                  % (name, r))
        if args.no_io_uring and args.before:
            r = med["refused-" + name] / med["before-" + name]
            print("  full scan %-7s io_uring refused / before: %.2f%s; "
                  "/ before under the same filter: %.2f"
                  % (name, r, " (target <= 0.6: %s)" % verdict(r <= 0.6)
                     if args.cold else "",
                     med["refused-" + name] / med["beforefilter-" + name]))
    if args.cold:
        return
    for name in ("ascii", "greek", "german"):
        r = med["server-" + name] / med["rg-" + name]
        print("  full scan %-7s server / rg -j1: %.2f (target <= 1.0: %s)"
              % (name, r, verdict(r <= 1.0)))
        if args.before:
            print("  full scan %-7s before / rg -j1: %.2f"
                  % (name, med["before-" + name] / med["rg-" + name]))
    first = med["server-common"] - med["true"]
    print("  first call (common word) over /bin/true: %+.2f ms "
          "(target <= 3: %s); of which start-up (a ping): %+.2f ms"
          % (first, verdict(first <= 3.0), med["server-ping"] - med["true"]))
    if args.before:
        print("  first call (common word) over /bin/true, before: %+.2f ms"
              % (med["before-common"] - med["true"]))
    if args.floor:
        for name in ("ascii", "greek", "german"):
            r = med["server-" + name] / med["floor"]
            print("  full scan %-7s server / floor process: %.2f" % (name, r))

    servers = [("server", server)]
    if args.before:
        servers.append(("before", os.path.abspath(args.before)))
    print()
    for label, binary in servers:
        calls = per_call(binary, vault, QUERIES["common"], 201)
        later = [t * 1e3 for t in calls[1:]]
        print("common word in one running %s, %d calls: first %.2f ms; "
              "later calls median %.2f ms, p90 %.2f ms (target <= 1: %s)"
              % (label, len(calls), calls[0] * 1e3, statistics.median(later),
                 sorted(later)[len(later) * 9 // 10],
                 verdict(statistics.median(later) <= 1.0)))

    largest = 0
    for root, dirs, files in os.walk(vault):
        dirs[:] = [d for d in dirs if not d.startswith(".")]
        for f in files:
            if f.endswith(".md") and not f.startswith("."):
                largest = max(largest, os.path.getsize(os.path.join(root, f)))
    limit_kib = 4 * 1024 + largest / 1024
    rss = {name: peak_rss_kib(argv, stdin, env)
           for name, argv, stdin in commands
           if name.startswith(("server-", "before-")) and "ping" not in name}
    print("\npeak RSS (KiB, /usr/bin/time -f %M): " +
          ", ".join("%s %d" % item for item in rss.items()))
    worst = max(v for k, v in rss.items() if k.startswith("server-"))
    print("  largest server: %d KiB; limit 4 MiB + largest note (%d B) = "
          "%.0f KiB: %s" % (worst, largest, limit_kib,
                            verdict(worst <= limit_kib)))


if __name__ == "__main__":
    main()
