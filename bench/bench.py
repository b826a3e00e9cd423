#!/usr/bin/python3
"""How close a QTB backup comes to the line's own limit, and what it costs.

Each contender backs up a qtb-sim paced at 9600 baud, alone, while the
simulator logs, on CLOCK_MONOTONIC, when each key arrived and when the last
byte of each reply was written. From that log and the contender's own wall
time, CPU time and peak RSS come the figures:

  turnaround overhead  per exchange, from the last byte of a reply to the next
                       key, less the 50 ms of silence that tells a receive the
                       reply is over (and less the 1,000 ms of the dialogue's
                       one empty receive, before channel 1): what the tool adds
  run length / floor   the contender's wall time, spawn to exit, over the
                       least time the line allows this dialogue: every reply's
                       airtime (10 bits a byte), a 50 ms gap after every
                       receive that collected a reply, and the empty receive
  simulator's lag      what qtb-sim itself took beyond each reply's airtime
                       (waking for each byte it paces): part of the run, but
                       the device's, not the tool's; shown apart

The contenders: dedizo, dedizo.exe under Wine, and the same dialogue as a
plain pyserial script (pyserial_backup.py) run twice, once receiving with
pyserial's inter-byte time-out and once with a hand-made gap loop. Every
contender's QTB.CFG is compared with the one qtb-sim says a correct backup
gives, so a contender that fell out of step with the menus shows.

The figures are a report, not a test: nothing here fails on them.
    bench.py [--build DIR] [--build-windows DIR] [--work DIR] [--only a,b]
    bench.py --self-check     the arithmetic, on a made-up log; no device
"""
import argparse
import datetime
import json
import os
import platform
import signal
import subprocess
import sys
import time

BAUD = 9600  # the QTB console's rate; --baud changes it for exploring
BITS_PER_BYTE = 10  # start, 8 data, stop
GAP_NS = 50 * 1000000
WAIT_NS = 1000 * 1000000
MS = 1e6

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)


# ---- the dialogue ---------------------------------------------------------

def dialogue_script():
    """The backup's keys and receives in order: 'K' for a key, 'R' for a receive."""
    ops = []
    def step(n=1):
        ops.extend("KR" * n)
    step(10)          # probe: LEFT
    step(10)          # DOWN
    step()            # UP
    step()            # RIGHT into the configuration menu
    step(10)          # DOWN to the channel list
    for _ in range(8):
        ops.append("R")        # the reply to the key that ended the last stage
        ops.append("K")        # RIGHT into the channel
        ops.extend("RK" * 16)  # 16 x DOWN
        ops.append("R")
        step(15)               # 15 x UP, each paint parsed
        step()                 # LEFT
        ops.append("K")        # UP, collected by the next stage's first receive
    step(2)           # LEFT, LEFT out of the menus
    return ops


def exchange_kinds(ops):
    """For each key but the last: what the dialogue does between that key's
    reply and the next key. 'gap': one receive (the reply, then 50 ms of
    silence); 'empty': two receives, the second of which gets nothing and
    waits its full 1,000 ms; 'none': the next key goes straight after."""
    kinds = []
    receives = None
    for op in ops:
        if op == "K":
            if receives is not None:
                kinds.append({0: "none", 1: "gap", 2: "empty"}[receives])
            receives = 0
        else:
            receives += 1
    return kinds


SCRIPT = dialogue_script()
KINDS = exchange_kinds(SCRIPT)
KEYS = SCRIPT.count("K")
RECEIVES = SCRIPT.count("R")
EMPTY_RECEIVES = KINDS.count("empty")
# Every receive but the empty ones ends on a 50 ms gap. (The UP that ends
# channel 8 is followed at once by LEFT; their two replies run back to back
# and one receive collects both, so there is one gap fewer than replies.)
GAPS = RECEIVES - EMPTY_RECEIVES


# ---- the arithmetic ------------------------------------------------------

def airtime_ns(nbytes):
    return nbytes * BITS_PER_BYTE * 1e9 / BAUD if BAUD else 0.0


def parse_timing_log(text):
    """[(key_ns, reply_ns or None, reply_bytes)] in key order."""
    exchanges = []
    for line in text.splitlines():
        f = line.split()
        if not f:
            continue
        if f[0] == "key":
            exchanges.append([int(f[1]), None, 0])
        elif f[0] == "reply" and exchanges and exchanges[-1][1] is None:
            exchanges[-1][1] = int(f[1])
            exchanges[-1][2] = int(f[2])
    return [tuple(e) for e in exchanges]


def percentile(values, p):
    """Nearest-rank percentile of a non-empty list."""
    s = sorted(values)
    rank = max(1, -(-len(s) * p // 100))  # ceil(n * p / 100)
    return s[int(rank) - 1]


def analyse(exchanges, start_ns, end_ns):
    """Figures for one run; times in the log's clock, start/end of the process."""
    problems = []
    if len(exchanges) != KEYS:
        problems.append("%d keys reached the device, the dialogue has %d" % (len(exchanges), KEYS))
    if any(r is None for _, r, _ in exchanges):
        problems.append("a key went unanswered")
    overhead = []
    for i in range(min(len(exchanges), KEYS) - 1):
        kind = KINDS[i]
        reply = exchanges[i][1]
        if kind == "none" or reply is None:
            continue
        wait = GAP_NS + (WAIT_NS if kind == "empty" else 0)
        overhead.append((exchanges[i + 1][0] - reply - wait) / MS)
    replies = [e for e in exchanges if e[1] is not None]
    total_bytes = sum(e[2] for e in replies)
    floor_ns = airtime_ns(total_bytes) + GAPS * GAP_NS + EMPTY_RECEIVES * WAIT_NS
    # What the device (here, the simulator) took beyond each reply's airtime:
    # part of the run, not of the tool, and not of the line's floor.
    device_ns = sum(r - k - airtime_ns(n) for k, r, n in replies)
    run_ns = end_ns - start_ns
    fig = {
        "exchanges": len(exchanges),
        "reply_bytes": total_bytes,
        "overhead_median_ms": percentile(overhead, 50) if overhead else None,
        "overhead_p95_ms": percentile(overhead, 95) if overhead else None,
        "overhead_max_ms": max(overhead) if overhead else None,
        "overhead_sum_ms": sum(overhead),
        "run_s": run_ns / 1e9,
        "floor_s": floor_ns / 1e9,
        "run_over_floor": run_ns / floor_ns if floor_ns else None,
        "own_over_floor": (run_ns - device_ns) / floor_ns if floor_ns else None,
        "device_excess_ms": device_ns / MS,
        "startup_ms": (exchanges[0][0] - start_ns) / MS if exchanges else None,
        "tail_ms": (end_ns - replies[-1][1] - GAP_NS) / MS if replies else None,
        "problems": problems,
    }
    return fig


def self_check():
    """Runs the arithmetic on a made-up log whose answers are known."""
    t = 10 ** 12
    start = t - 2 * 1000000  # the process starts 2 ms before the first key
    lines = []
    for i in range(KEYS):
        n = 96  # 100 ms of airtime each
        lines.append("key %d" % t)
        t += int(airtime_ns(n)) + 3000  # the device takes 3 us more
        lines.append("reply %d %d" % (t, n))
        if i < KEYS - 1:
            kind = KINDS[i]
            if kind == "none":
                t += 10000
            else:
                extra = 200000 if i % 2 else 400000  # 0.2 or 0.4 ms of overhead
                t += GAP_NS + (WAIT_NS if kind == "empty" else 0) + extra
    end = t + GAP_NS + 5 * 1000000  # exits 5 ms after the last gap
    f = analyse(parse_timing_log("\n".join(lines)), start, end)
    floor = (KEYS * 100.0 + 305 * 50 + 1000) / 1000
    checks = [
        (KEYS == 306 and RECEIVES == 306, "306 keys and 306 receives"),
        (KINDS.count("empty") == 1 and KINDS.index("empty") == 31, "the empty receive before channel 1"),
        (KINDS.count("none") == 1 and KINDS.index("none") == 303, "UP then LEFT at the end"),
        (GAPS == 305, "305 gaps"),
        (abs(f["floor_s"] - floor) < 1e-9, "floor %.6f s, expected %.6f" % (f["floor_s"], floor)),
        (abs(f["overhead_median_ms"] - 0.2) < 1e-9 or abs(f["overhead_median_ms"] - 0.4) < 1e-9,
         "median overhead"),
        (abs(f["overhead_max_ms"] - 0.4) < 1e-9, "max overhead %r" % f["overhead_max_ms"]),
        (abs(f["startup_ms"] - 2) < 1e-9 and abs(f["tail_ms"] - 5) < 1e-9, "start-up and tail"),
        (abs(f["device_excess_ms"] - KEYS * 0.003) < 1e-6, "device excess"),
        (abs(f["run_s"] - f["floor_s"] - (2 + KEYS * 0.003 + f["overhead_sum_ms"] + 0.01 + 5) / 1000)
         < 1e-9, "run = floor + start-up + device + overheads + tail"),
        (percentile([5, 1, 4, 2, 3], 50) == 3 and percentile(list(range(1, 101)), 95) == 95,
         "nearest-rank percentiles"),
        (not f["problems"], "problems: %r" % f["problems"]),
    ]
    bad = [what for ok, what in checks if not ok]
    for what in bad:
        print("self-check failed:", what)
    if not bad:
        print("self-check: ok (%d checks)" % len(checks))
    return 0 if not bad else 1


# ---- running the contenders ----------------------------------------------

def find(build_dir, *names):
    for name in names:
        path = os.path.join(build_dir, name)
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return path
    return None


class Simulator:
    """A qtb-sim paced at the benchmark's baud rate, logging its timing, for one run."""

    def __init__(self, binary, work, name):
        self.timing = os.path.join(work, name + ".timing")
        self.err = open(os.path.join(work, name + ".sim.err"), "wb")
        if os.path.exists(self.timing):
            os.unlink(self.timing)
        self.proc = subprocess.Popen([binary, "--baud", str(BAUD), "--timing-log", self.timing],
                                     stdout=subprocess.PIPE, stderr=self.err)
        self.port = self.proc.stdout.readline().decode().strip()
        if not self.port:
            self.stop()
            raise RuntimeError("qtb-sim did not start (see %s.sim.err)" % name)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        self.err.close()

    def log(self):
        with open(self.timing) as f:
            return f.read()


def timed_run(argv, cwd, env, out_path):
    """Runs argv; returns (start_ns, end_ns, exit status, rusage, peak RSS in KiB).

    The run goes through GNU time for its peak RSS: a process started
    straight from here would inherit this Python's own high-water mark
    across the exec, and wait4 would report that instead. The CPU time is
    wait4's, at microsecond resolution; it includes GNU time's own, about
    1.5 ms."""
    rss_path = out_path + ".rss"
    with open(out_path, "wb") as out:
        start = time.monotonic_ns()
        proc = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", rss_path] + argv, cwd=cwd,
                                env=env, stdout=out, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL)
        _, status, usage = os.wait4(proc.pid, 0)
        end = time.monotonic_ns()
    with open(rss_path) as f:
        peak_kib = int(f.read().split()[-1])
    return start, end, os.waitstatus_to_exitcode(status), usage, peak_kib


def proc_cpu_ms(pid):
    """CPU time so far of a process we did not wait for, from /proc."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) * 1000.0 / os.sysconf("SC_CLK_TCK")
    except OSError:
        return None


class Wine:
    """A throwaway Wine prefix under the build tree, with COM5 mapped to the
    simulator's terminal, and a wineserver of its own kept up across the run
    so that its start is not timed and its CPU can be read."""

    COM = 5

    def __init__(self, work, log):
        self.env_sh = os.path.join(TOP, "tests", "wine", "wine_env.sh")
        self.prefix = os.path.join(work, "wine-prefix")
        # wine_env.sh sets up the rest of Wine's environment for its own
        # commands; the wineserver started here needs only the prefix.
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all", WINEARCH="win64")
        log("  preparing the Wine prefix %s" % self.prefix)
        subprocess.run(["sh", self.env_sh, "create", self.prefix], check=True, env=self.env)
        self.server = subprocess.Popen(["wineserver", "-f", "-p"], env=self.env,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def map(self, device):
        subprocess.run(["sh", self.env_sh, "map-com", self.prefix, str(self.COM), device],
                       check=True, env=self.env)

    def argv(self, exe):
        return ["sh", self.env_sh, "run", self.prefix, exe, "COM%d" % self.COM]

    def settle(self, limit_s=20):
        """Waits until the wineserver has been idle for a second: the first
        start also starts Wine's own services, and a run that overlapped
        their start-up once took seconds longer to send its first key."""
        last = proc_cpu_ms(self.server.pid)
        quiet = 0
        for _ in range(int(limit_s / 0.25)):
            time.sleep(0.25)
            now = proc_cpu_ms(self.server.pid)
            if now is None:
                return
            quiet = quiet + 1 if now == last else 0
            last = now
            if quiet >= 4:
                return

    def close(self):
        subprocess.run(["sh", self.env_sh, "unmap-com", self.prefix, str(self.COM)], env=self.env)
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
        try:
            self.server.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.server.kill()
            self.server.wait()


def run_one(name, sim_binary, work, reference, make_argv, env=None, before=None, log=print):
    run_dir = os.path.join(work, name)
    os.makedirs(run_dir, exist_ok=True)
    cfg = os.path.join(run_dir, "QTB.CFG")
    if os.path.exists(cfg):
        os.unlink(cfg)
    sim = Simulator(sim_binary, work, name)
    try:
        if before:
            before(sim.port)
        argv = make_argv(sim.port)
        log("  %s: %s" % (name, " ".join(argv)))
        start, end, status, usage, peak_kib = timed_run(argv, run_dir, env,
                                                        os.path.join(run_dir, "output.txt"))
    finally:
        sim.stop()
    fig = analyse(parse_timing_log(sim.log()), start, end)
    fig["exit_status"] = status
    fig["cpu_ms"] = (usage.ru_utime + usage.ru_stime) * 1000
    fig["cpu_user_ms"] = usage.ru_utime * 1000
    fig["cpu_sys_ms"] = usage.ru_stime * 1000
    fig["peak_rss_mb"] = peak_kib / 1024.0
    fig["voluntary_switches"] = usage.ru_nvcsw
    fig["backup_ok"] = os.path.exists(cfg) and open(cfg, "rb").read() == reference
    if not fig["backup_ok"]:
        fig["problems"].append("QTB.CFG missing or not the device's configuration")
    if status != 0:
        fig["problems"].append("exit status %d" % status)
    return fig


# ---- the report ----------------------------------------------------------

COLUMNS = [
    ("native", "dedizo"),
    ("wine", "dedizo.exe (Wine)"),
    ("interbyte", "pyserial inter_byte_timeout"),
    ("gaploop", "pyserial gap loop"),
]

ROWS = [
    ("overhead_median_ms", "turnaround overhead, median (ms)", "%.3f", True),
    ("overhead_p95_ms", "turnaround overhead, 95th pct (ms)", "%.3f", True),
    ("overhead_max_ms", "turnaround overhead, max (ms)", "%.3f", True),
    ("run_s", "run length (s)", "%.2f", True),
    ("run_over_floor", "run length / line floor", "%.4f", False),
    ("device_excess_ms", "of which the simulator's lag (ms)", "%.0f", False),
    ("own_over_floor", "run length less that lag / floor", "%.4f", False),
    ("startup_ms", "start-up to first key (ms)", "%.1f", True),
    ("tail_ms", "last reply's gap to exit (ms)", "%.1f", True),
    ("cpu_ms", "CPU time, user + sys (ms)", "%.0f", True),
    ("peak_rss_mb", "peak RSS (MB)", "%.1f", True),
    ("voluntary_switches", "wake-ups (voluntary context switches)", "%d", True),
]


def cell(fig, key, fmt, ratio, base):
    v = fig.get(key)
    if v is None:
        return "-"
    text = fmt % v
    if ratio and base is not None and base.get(key) and fig is not base:
        text += " (%s x)" % format_ratio(v / base[key])
    return text


def format_ratio(r):
    if abs(r) >= 100:
        return "%.0f" % r
    if abs(r) >= 10:
        return "%.1f" % r
    return "%.2f" % r


def table(results):
    names = [(k, title) for k, title in COLUMNS if k in results]
    base = results.get("native")
    head = ["figure"] + [title for _, title in names]
    rows = [head, ["---"] + ["---:"] * len(names)]
    for key, label, fmt, ratio in ROWS:
        rows.append([label] + [cell(results[k], key, fmt, ratio, base) for k, _ in names])
    rows.append(["backup correct"] + ["yes" if results[k]["backup_ok"] else "NO" for k, _ in names])
    return "\n".join("| " + " | ".join(r) + " |" for r in rows)


def load_note():
    try:
        with open("/proc/loadavg") as f:
            return " ".join(f.read().split()[:3])
    except OSError:
        return "?"


def main():
    global BAUD
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default=os.path.join(TOP, "build"))
    ap.add_argument("--build-windows", default=os.path.join(TOP, "build-windows"))
    ap.add_argument("--work", help="where runs and results go (default BUILD/bench)")
    ap.add_argument("--only", help="comma-separated: native,wine,interbyte,gaploop")
    ap.add_argument("--baud", type=int, default=BAUD,
                    help="pace the simulator at this rate (0: unpaced, which leaves only the "
                         "tools' own costs and the waits)")
    ap.add_argument("--self-check", action="store_true")
    args = ap.parse_args()
    if args.self_check:
        return self_check()
    BAUD = args.baud

    work = os.path.abspath(args.work or os.path.join(args.build, "bench"))
    os.makedirs(work, exist_ok=True)
    wanted = args.only.split(",") if args.only else [k for k, _ in COLUMNS]
    log = lambda msg: print(msg, flush=True)

    sim_binary = find(args.build, "qtb-sim", "simulator/qtb-sim")
    dedizo = find(args.build, "dedizo", "front_end/dedizo")
    if not sim_binary or not dedizo:
        sys.exit("bench: build/dedizo and build/qtb-sim are needed; build the default preset")
    reference_path = os.path.join(work, "reference.cfg")
    subprocess.run([sim_binary, "--dump", reference_path, "--no-serve"], check=True,
                   stdout=subprocess.DEVNULL)
    reference = open(reference_path, "rb").read()

    load_before = load_note()
    started = datetime.datetime.now().astimezone()
    log("dedizo benchmark, %s, load average %s" % (started.strftime("%Y-%m-%d %H:%M %Z"), load_before))
    results = {}
    wineserver_ms = None
    for key in wanted:
        if key == "native":
            results[key] = run_one(key, sim_binary, work, reference, lambda port: [dedizo, port], log=log)
        elif key == "wine":
            exe = find(args.build_windows, "dedizo.exe", "front_end/dedizo.exe")
            if not exe:
                log("  wine: no dedizo.exe in %s; skipped" % args.build_windows)
                continue
            wine = Wine(work, log)
            try:
                # One unmeasured start, so that the timed run finds the prefix warm.
                subprocess.run(wine.argv(exe)[:-1], env=wine.env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
                wine.settle()
                server_before = proc_cpu_ms(wine.server.pid)
                results[key] = run_one(key, sim_binary, work, reference,
                                       lambda port: wine.argv(exe), env=wine.env,
                                       before=wine.map, log=log)
                server_after = proc_cpu_ms(wine.server.pid)
                if server_before is not None and server_after is not None:
                    wineserver_ms = server_after - server_before
            finally:
                wine.close()
        elif key in ("interbyte", "gaploop"):
            script = os.path.join(HERE, "pyserial_backup.py")
            results[key] = run_one(key, sim_binary, work, reference,
                                   lambda port, m=key: ["/usr/bin/python3", script, port, m], log=log)
        else:
            sys.exit("bench: unknown contender %r" % key)

    some = next(iter(results.values()), None)
    if some is None:
        return 0
    print()
    print("dedizo benchmark: %s on %s, %d cores, load average %s at the start, %s at the end"
          % (started.strftime("%Y-%m-%d %H:%M %Z"), platform.node(), os.cpu_count(), load_before,
             load_note()))
    print("qtb-sim at %d baud (0: unpaced); %d keys, %d receives, %d reply bytes; line floor %.2f s "
          "(airtime %.2f s + %d x 50 ms gaps + %d x 1 s empty receive)"
          % (BAUD, KEYS, RECEIVES, some["reply_bytes"], some["floor_s"],
             airtime_ns(some["reply_bytes"]) / 1e9, GAPS, EMPTY_RECEIVES))
    print()
    text = table(results)
    print(text)
    print()
    print("Ratios in brackets are to dedizo (native). Turnaround overhead: per exchange, last byte of "
          "a reply to the next key, less the 50 ms gap.")
    if wineserver_ms is not None:
        print("Wine: wineserver used a further %.0f ms of CPU during the run, not counted above." % wineserver_ms)
    for key, fig in results.items():
        if fig["problems"]:
            print("%s: %s" % (key, "; ".join(fig["problems"])))
    with open(os.path.join(work, "results.json"), "w") as f:
        json.dump({"date": started.isoformat(), "load_before": load_before, "load_after": load_note(),
                   "results": results, "wineserver_cpu_ms": wineserver_ms}, f, indent=1)
    with open(os.path.join(work, "results.md"), "w") as f:
        f.write(text + "\n")
    print("\n(results in %s)" % work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
