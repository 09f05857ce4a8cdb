"""Benchmark of the host against the java launcher of OpenJDK 17: start to Java main, the host's
own start cost, peak memory, stop to end, and the sizes of the Windows executables.

Every figure is the median and the range (min-max) over --runs repeated runs; the runs of the
kinds are interleaved (host, launcher, host with the test JVM, floor) after one warm-up round.
Nothing is asserted: the goals are printed beside the figures.

Timing: the parent takes CLOCK_MONOTONIC just before it spawns the process (subprocess.Popen)
and again when inotify reports the write of the awaited line to the watched file; the parent
sleeps in read() meanwhile, so it takes no CPU from the process it measures. The stop figures
run from just before the stop request (the "console 0" line to the stand-in's control FIFO,
SIGINT for the launcher) until wait4() returns the ended process.

Usage: bench.py [--runs N] [--write docs/benchmark.md] [--no-wine] [--nice N]
Paths come from the environment as for tests/e2e/harness.py (bench.sh sets them).
"""

import argparse
import ctypes
import datetime
import os
import platform
import re
import select
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import time

TREE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
os.environ.setdefault("REPOHOST_EXE", os.path.join(TREE, "build/native/host/repohost"))
os.environ.setdefault("TESTJVM_LIB", os.path.join(TREE, "build/native/testjvm/libtestjvm.so"))
os.environ.setdefault("JAVA_FIXTURES", os.path.join(TREE, "build/native/java"))
sys.path.insert(0, os.path.join(TREE, "tests", "e2e"))
import harness  # noqa: E402

WINDOWS_BUILDS = (("x86", os.path.join(TREE, "build/windows-x86")),
                  ("x64", os.path.join(TREE, "build/windows-x64")))
WINDOWS_EXES = (("repohost.exe", "host/repohost.exe"), ("Tarnwick.exe", "regtool/Tarnwick.exe"))
# DLLs every Windows installation has; a C++ runtime of MinGW (libstdc++-6.dll,
# libgcc_s_*.dll, libwinpthread-1.dll) is not one of them.
SYSTEM_DLL = re.compile(r"^(kernel32|advapi32|user32|gdi32|msvcrt|ntdll|shell32|ole32|oleaut32|"
                        r"ws2_32|shlwapi|version|rpcrt4|userenv|api-ms-win-.*|ucrtbase)\.dll$",
                        re.IGNORECASE)

JVM_OPTIONS = ["-Xmx64m"]
WAIT_SECONDS = 60

# ---- inotify ----

IN_MODIFY = 0x002
IN_CLOSE_WRITE = 0x008
IN_CREATE = 0x100
_libc = ctypes.CDLL(None, use_errno=True)


class Watch:
    """inotify on one directory: wait() returns the monotonic time (ns) of the wake-up at
    which a line matching a pattern is first in a file of that directory."""

    def __init__(self, directory):
        self.directory = directory
        self.fd = _libc.inotify_init1(os.O_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        if _libc.inotify_add_watch(self.fd, directory.encode(),
                                   IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE) < 0:
            raise OSError(ctypes.get_errno(), "inotify_add_watch " + directory)

    def close(self):
        os.close(self.fd)

    @staticmethod
    def _has(path, pattern):
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                return any(pattern.search(line) for line in f.read().splitlines())
        except FileNotFoundError:
            return False

    def wait(self, name, pattern, pid, describe):
        path = os.path.join(self.directory, name)
        pattern = re.compile(pattern)
        if self._has(path, pattern):
            return time.monotonic_ns()
        deadline = time.monotonic() + WAIT_SECONDS
        while True:
            ready, _, _ = select.select([self.fd], [], [], 0.2)
            if ready:
                data = os.read(self.fd, 65536)
                now = time.monotonic_ns()
                names = set()
                offset = 0
                while offset < len(data):
                    _, _, _, length = struct.unpack_from("iIII", data, offset)
                    names.add(data[offset + 16:offset + 16 + length].rstrip(b"\0").decode())
                    offset += 16 + length
                if name in names and self._has(path, pattern):
                    return now
                continue
            ended = os.waitid(os.P_PID, pid, os.WEXITED | os.WNOHANG | os.WNOWAIT)
            if ended is not None or time.monotonic() > deadline:
                raise RuntimeError("%r not in %s (%s)\n%s" % (
                    pattern.pattern, path, "process ended" if ended else "timeout", describe()))


# ---- one run ----


def peak_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def reap(run):
    """Waits for the run's process; returns (end time ns, rusage)."""
    _, status, usage = os.wait4(run.process.pid, 0)
    now = time.monotonic_ns()
    run.process.returncode = os.waitstatus_to_exitcode(status)
    return now, usage


def measure(kind, floor_exe=None):
    """One run of `kind`: host (repohost -c with OpenJDK's libjvm.so), java (the launcher),
    testjvm (repohost -c with libtestjvm.so) or floor (a minimal C program that writes the line).
    Returns a dict of figures in ms and KiB."""
    with harness.Run("repohost-bench-") as run:
        watched = os.path.join(run.dir, "watch")
        os.mkdir(watched)
        out = os.path.join(watched, "fixture.out")
        options = JVM_OPTIONS + ["-Djava.class.path=" + harness.fixture_dir("app"),
                                 "-Dfixture.out=" + out, "-Dfixture.mode=block"]
        env = run.environment(extra={"TESTJVM_LOG": os.path.join(watched, "testjvm.log"),
                                     "TESTJVM_MAIN": "block"})
        if kind == "host":
            run.register_jre(harness.REAL_JVM_LIB)
            argv = [harness.REPOHOST_EXE, "-c"] + options
            file, first = "fixture.out", "^started$"
        elif kind == "java":
            run.write_registry()
            argv = [harness.JAVA] + options + [harness.MAIN_CLASS]
            file, first = "fixture.out", "^started$"
        elif kind == "testjvm":
            run.register_jre(harness.TESTJVM_LIB)
            argv = [harness.REPOHOST_EXE, "-c"] + options
            file, first = "testjvm.log", "^CallStaticVoidMethod main "
        else:
            run.write_registry()
            argv = [floor_exe, out]
            file, first = "fixture.out", "^started$"
        watch = Watch(watched)
        trace_watch = Watch(run.dir)
        try:
            start = time.monotonic_ns()
            run.start(argv, env=env)
            pid = run.process.pid
            at_main = watch.wait(file, first, pid, run.describe)
            result = {"main": (at_main - start) / 1e6}
            if kind == "floor":
                _, usage = reap(run)
                result["cpu"] = (usage.ru_utime + usage.ru_stime) * 1e3
                return result
            if kind != "testjvm":
                watch.wait(file, "^blocking$", pid, run.describe)
            result["hwm"] = peak_rss_kib(pid)
            stop = time.monotonic_ns()
            if kind == "java":
                os.kill(pid, signal.SIGINT)
            else:
                run.send("console 0")
                handled = trace_watch.wait("trace.log", "^console 0 handled=1$", pid,
                                           run.describe)
                result["handled"] = (handled - stop) / 1e6
            end, usage = reap(run)
        finally:
            watch.close()
            trace_watch.close()
        result["stop"] = (end - stop) / 1e6
        result["maxrss"] = usage.ru_maxrss
        result["cpu"] = (usage.ru_utime + usage.ru_stime) * 1e3
        return result


# ---- diagnostics: where the start time goes ----


def jvm_log_figures(kind):
    """One run with -Xlog:startuptime,cds to a file: (Create VM seconds, CDS archive mapped,
    ArchiveRelocationMode line)."""
    with harness.Run("repohost-bench-") as run:
        log = os.path.join(run.dir, "jvm.log")
        watched = os.path.join(run.dir, "watch")
        os.mkdir(watched)
        out = os.path.join(watched, "fixture.out")
        options = JVM_OPTIONS + ["-Xlog:startuptime,cds:file=" + log,
                                 "-Djava.class.path=" + harness.fixture_dir("app"),
                                 "-Dfixture.out=" + out, "-Dfixture.mode=block"]
        run.register_jre(harness.REAL_JVM_LIB)
        if kind == "host":
            argv = [harness.REPOHOST_EXE, "-c"] + options
        else:
            argv = [harness.JAVA] + options + [harness.MAIN_CLASS]
        watch = Watch(watched)
        try:
            run.start(argv, env=run.environment())
            watch.wait("fixture.out", "^blocking$", run.process.pid, run.describe)
        finally:
            watch.close()
        os.killpg(run.process.pid, signal.SIGKILL)
        reap(run)
        with open(log, encoding="utf-8", errors="replace") as f:
            text = f.read()
        create = re.search(r"Create VM, ([0-9.]+) secs", text)
        return (float(create.group(1)) * 1e3 if create else None,
                "Mapped static  region" in text or "Mapped static region" in text,
                "alternative address" in text)


def dynamic_loader_cycles():
    """The dynamic loader's own start time of repohost (LD_DEBUG=statistics), in cycles."""
    with harness.Run("repohost-bench-") as run:
        run.register_jre(harness.TESTJVM_LIB)
        env = run.environment(extra={"LD_DEBUG": "statistics", "TESTJVM_MAIN": "return"})
        result = subprocess.run([harness.REPOHOST_EXE, "-x"], env=env, cwd=run.dir,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, timeout=60)
        match = re.search(rb"total startup time in dynamic loader:\s*([0-9,]+)", result.stderr)
        return int(match.group(1).replace(b",", b"")) if match else None


def syscall_count():
    """System calls of one host run with the test JVM up to Ctrl+C (strace -f -c), or None."""
    if shutil.which("strace") is None:
        return None
    with harness.Run("repohost-bench-") as run:
        summary = os.path.join(run.dir, "strace.txt")
        watched = os.path.join(run.dir, "watch")
        os.mkdir(watched)
        run.register_jre(harness.TESTJVM_LIB)
        env = run.environment(extra={"TESTJVM_LOG": os.path.join(watched, "testjvm.log"),
                                     "TESTJVM_MAIN": "block"})
        watch = Watch(watched)
        try:
            run.start(["strace", "-f", "-c", "-o", summary, harness.REPOHOST_EXE, "-c",
                       "-Djava.class.path=x"], env=env)
            watch.wait("testjvm.log", "^CallStaticVoidMethod main ", run.process.pid,
                       run.describe)
        finally:
            watch.close()
        run.send("console 0")
        reap(run)
        with open(summary) as f:
            for line in f:
                parts = line.split()
                if parts and parts[-1] == "total" and len(parts) >= 4:
                    return int(parts[3])
        return None


# ---- Windows executables ----


def imported_dlls(path):
    tool = shutil.which("objdump")
    result = subprocess.run([tool, "-p", path], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, check=True)
    return re.findall(r"DLL Name: (\S+)", result.stdout.decode(errors="replace"))


def windows_figures():
    """{(arch, exe): (size in bytes, [DLL names])}; missing executables are left out."""
    figures = {}
    for arch, build in WINDOWS_BUILDS:
        for name, relative in WINDOWS_EXES:
            path = os.path.join(build, relative)
            if os.path.exists(path):
                figures[(arch, name)] = (os.path.getsize(path), imported_dlls(path))
    return figures


# ---- Wine ----


def wine_figures(runs):
    """Time from `sc start` to RUNNING and from `sc stop` to STOPPED of the x64 host under
    Wine with the test JVM, polled through `sc query`; None with a reason when not possible."""
    sys.path.insert(0, os.path.join(TREE, "tests", "wine"))
    try:
        import winehost
    except ImportError as e:
        return None, "no tests/wine/winehost.py (%s)" % e
    reason = winehost.missing_support()
    if reason:
        return None, reason
    for path in (winehost.REPOHOST_EXE, winehost.TESTJVM_DLL):
        if not os.path.exists(path):
            return None, "no " + path
    prefix = winehost.Prefix()
    try:
        bin_dir = os.path.join(prefix.dir, "bin")
        os.mkdir(bin_dir)
        for path in (winehost.REPOHOST_EXE, winehost.TESTJVM_DLL):
            shutil.copy(path, bin_dir)
        prefix.register_jre(winehost.windows_path(os.path.join(bin_dir, "jvm.dll")))
        status, output = prefix.run([winehost.windows_path(os.path.join(bin_dir, "repohost.exe")),
                                     "-i", "-Djava.class.path=x"])
        try:
            winehost.wait_until(prefix.service_state, "the installed service", seconds=20)
        except AssertionError:
            code, query = prefix.run(["sc", "query", winehost.SERVICE])
            return None, ("`wine sc query` gives no state to poll (status %d, output %r; -i: "
                          "status %d, %r); Wine %s's sc.exe lacks the query command" % (
                              code, query.strip(), status, output.strip().splitlines()[-1:],
                              wine_version(winehost.WINE64)))
        # The RMI registry service it depends on is not part of this run: drop the dependency,
        # and start a new session, whose service manager reads the changed record.
        prefix.reg(["delete", winehost.SERVICE_KEY, "/v", "DependOnService", "/f"])
        prefix.restart_session({"TESTJVM_MAIN": "block"})
        winehost.wait_until(prefix.service_state, "the service manager of the new session")
        start_ms, stop_ms = [], []
        for _ in range(runs + 1):
            began = time.monotonic()
            prefix.run(["sc", "start", winehost.SERVICE])
            prefix.wait_for_state("RUNNING")
            started = time.monotonic()
            prefix.run(["sc", "stop", winehost.SERVICE])
            prefix.wait_for_state("STOPPED")
            stopped = time.monotonic()
            start_ms.append((started - began) * 1e3)
            stop_ms.append((stopped - started) * 1e3)
        # The cost of one `wine sc query` bounds the resolution of the figures.
        began = time.monotonic()
        for _ in range(5):
            prefix.service_state()
        query_ms = (time.monotonic() - began) / 5 * 1e3
        return {"start": start_ms[1:], "stop": stop_ms[1:], "query": query_ms}, None
    finally:
        prefix.close()


def wine_version(loader):
    try:
        return subprocess.run([loader, "--version"], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL).stdout.decode().strip()
    except OSError:
        return "?"


# ---- report ----


def spread(values, unit="ms", digits=1):
    if not values:
        return "n/a"
    return "%.*f %s [%.*f-%.*f]" % (digits, statistics.median(values), unit, digits,
                                    min(values), digits, max(values))


def median(values):
    return statistics.median(values) if values else float("nan")


def met(ok):
    return "met" if ok else "**missed**"


def cpu_model():
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown"


def compile_floor(directory):
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        return None
    source = os.path.join(directory, "floor.c")
    exe = os.path.join(directory, "floor")
    with open(source, "w") as f:
        f.write('#include <stdio.h>\nint main(int c, char **v) {\n    FILE *f = fopen(v[1], "a");\n'
                '    fputs("started\\n", f);\n    fclose(f);\n    return c - 2;\n}\n')
    subprocess.run([cc, "-O2", "-o", exe, source], check=True)
    return exe


def collect(runs, wine):
    scratch = tempfile.mkdtemp(prefix="repohost-bench-floor-")
    try:
        floor_exe = compile_floor(scratch)
        kinds = ["host", "java", "testjvm"] + (["floor"] if floor_exe else [])
        results = {kind: [] for kind in kinds}
        for round_index in range(runs + 1):
            for kind in kinds:
                figures = measure(kind, floor_exe)
                if round_index > 0:
                    results[kind].append(figures)
            print("round %d/%d done" % (round_index, runs), file=sys.stderr)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    diagnostics = {
        "create": {kind: [jvm_log_figures(kind) for _ in range(5)] for kind in ("host", "java")},
        "ld_cycles": dynamic_loader_cycles(),
        "syscalls": syscall_count(),
    }
    wine_result = wine_figures(runs) if wine else (None, "left out (--no-wine)")
    return results, diagnostics, windows_figures(), wine_result


def column(results, kind, name):
    return [r[name] for r in results.get(kind, [])]


def report(runs, results, diagnostics, exes, wine_result):
    host_main = column(results, "host", "main")
    java_main = column(results, "java", "main")
    own_main = column(results, "testjvm", "main")
    floor_main = column(results, "floor", "main")
    host_hwm = [v / 1024 for v in column(results, "host", "hwm")]
    java_hwm = [v / 1024 for v in column(results, "java", "hwm")]
    host_max = [v / 1024 for v in column(results, "host", "maxrss")]
    java_max = [v / 1024 for v in column(results, "java", "maxrss")]
    host_stop = column(results, "host", "stop")
    java_stop = column(results, "java", "stop")
    own_stop = column(results, "testjvm", "stop")
    own_cpu = column(results, "testjvm", "cpu")
    floor_cpu = column(results, "floor", "cpu")
    host_cpu = column(results, "host", "cpu")
    java_cpu = column(results, "java", "cpu")

    def ratio(a, b):
        return median(a) / median(b) if a and b else float("nan")

    rows = []
    r1 = ratio(host_main, java_main)
    rows.append(("1. start -> first line of Java main (A: `repohost -c <opts>`, "
                 "B: `java <opts> RepositoryImpl`)", spread(host_main), spread(java_main),
                 "%.2f" % r1, "A/B <= 1.00", met(r1 <= 1.0)))
    own = median(own_main)
    rows.append(("2. host's own cost: start -> CallStaticVoidMethod main with libtestjvm.so "
                 "(A); B: floor, a minimal C program spawned the same way writing one line",
                 spread(own_main, digits=2), spread(floor_main, digits=2),
                 "A-B %.2f ms" % (own - median(floor_main)) if floor_main else "",
                 "A < 2 ms", met(own < 2.0)))
    rows.append(("2b. CPU time (user+sys, wait4) of the whole run (A: host with libtestjvm.so, "
                 "start to Ctrl+C to end; B: the floor program)", spread(own_cpu, digits=2),
                 spread(floor_cpu, digits=2), "", "", ""))
    r3 = ratio(host_hwm, java_hwm)
    rows.append(("3. peak resident memory VmHWM while main blocks, MiB (A: host + libjvm.so, "
                 "B: java)", spread(host_hwm, "MiB"), spread(java_hwm, "MiB"), "%.2f" % r3,
                 "A/B <= 1.00", met(r3 <= 1.0)))
    rows.append(("3b. ru_maxrss of the whole life incl. stop (wait4), MiB", spread(host_max, "MiB"),
                 spread(java_max, "MiB"), "%.2f" % ratio(host_max, java_max), "", ""))
    rows.append(("3c. CPU time (user+sys) of the whole life, ms", spread(host_cpu, digits=0),
                 spread(java_cpu, digits=0), "%.2f" % ratio(host_cpu, java_cpu), "", ""))
    stop = median(host_stop)
    rows.append(("4. stop -> end of process (A: \"console 0\" = Ctrl+C to the host, "
                 "B: SIGINT to java)", spread(host_stop, digits=2), spread(java_stop, digits=2),
                 "%.2f" % ratio(host_stop, java_stop), "A < 10 ms", met(stop < 10.0)))
    rows.append(("4b. stop -> end, host with libtestjvm.so (A); B: -", spread(own_stop, digits=2),
                 "", "", "", ""))
    rows.append(("4c. stop -> the stand-in's trace line `console 0 handled=1` (the handler has "
                 "returned), A: host + libjvm.so, B: host + libtestjvm.so",
                 spread(column(results, "host", "handled"), digits=2),
                 spread(column(results, "testjvm", "handled"), digits=2), "", "", ""))
    for name, _ in WINDOWS_EXES:
        cells = []
        notes = []
        for arch, _ in WINDOWS_BUILDS:
            if (arch, name) in exes:
                size, dlls = exes[(arch, name)]
                cells.append("%.1f KiB" % (size / 1024))
                notes.append((arch, size, dlls))
            else:
                cells.append("missing")
        x86 = [n for n in notes if n[0] == "x86"]
        ok = bool(x86) and x86[0][1] < 128 * 1024 and all(SYSTEM_DLL.match(d) for d in x86[0][2])
        imports = "; ".join("%s: %s" % (arch, ", ".join(dlls)) for arch, _, dlls in notes)
        rows.append(("5. %s size (A: x86, B: x64); imports: %s" % (name, imports), cells[0],
                     cells[1], "", "x86 < 128 KiB, system DLLs only", met(ok)))
    wine, reason = wine_result
    if wine:
        rows.append(("6. Wine, x64 host with jvm.dll of testjvm: `sc start` -> RUNNING (A), "
                     "`sc stop` -> STOPPED (B), each polled by `wine sc query` (one query: "
                     "%.0f ms)" % wine["query"], spread(wine["start"], digits=0),
                     spread(wine["stop"], digits=0), "", "", ""))
    else:
        rows.append(("6. Wine `sc start`/`sc stop`: skipped, " + reason.splitlines()[0], "", "",
                     "", "", ""))

    lines = [
        "Figures: median [min-max] over %d runs each, after one warm-up round; the kinds of "
        "run interleaved." % runs,
        "Time: CLOCK_MONOTONIC of the parent, from just before Popen until inotify reports the "
        "write of the line (the parent sleeps in read(), taking no CPU); it includes fork/exec, "
        "dynamic loading and, for the JVM, JNI_CreateJavaVM. Stop: from just before the request "
        "until wait4() returns.",
        "<opts> = `%s -Djava.class.path=<fixtures>/app -Dfixture.out=<file> "
        "-Dfixture.mode=block`; the JVM is %s." % (" ".join(JVM_OPTIONS), harness.REAL_JVM_LIB),
        "",
        "| Figure | A | B | ratio | goal | status |",
        "|---|---|---|---|---|---|",
    ]
    for row in rows:
        lines.append("| " + " | ".join(cell.replace("|", "\\|") for cell in row) + " |")
    lines.append("")
    create = diagnostics["create"]
    lines.append("Diagnostics (5 runs each, -Xlog:startuptime,cds):")
    for kind, label in (("host", "host"), ("java", "java launcher")):
        figures = create[kind]
        times = [f[0] for f in figures if f[0] is not None]
        lines.append("- %s: JNI_CreateJavaVM (\"Create VM\") %s; CDS archive mapped in %d of %d "
                     "runs; mapped at an alternative address (ArchiveRelocationMode=1): %s" % (
                         label, spread(times), sum(1 for f in figures if f[1]), len(figures),
                         "yes" if all(f[2] for f in figures) else "no"))
    if diagnostics["ld_cycles"] is not None:
        lines.append("- dynamic loader's start time of repohost (LD_DEBUG=statistics): %d cycles"
                     % diagnostics["ld_cycles"])
    if diagnostics["syscalls"] is not None:
        lines.append("- system calls of one host run with libtestjvm.so, start to Ctrl+C to end "
                     "(strace -f -c): %d" % diagnostics["syscalls"])
    return "\n".join(lines) + "\n"


def environment_text(loads):
    uname = subprocess.run(["uname", "-a"], stdout=subprocess.PIPE, check=True).stdout.decode()
    java = subprocess.run([harness.JAVA, "-version"], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT).stdout.decode().splitlines()
    return ("- date: %s\n- uname -a: `%s`\n- CPU: %s, %d cores\n- java: %s\n"
            "- load average (1 min) before / after the runs: %s; niceness of the runs: %d\n" % (
                datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"),
                uname.strip(), cpu_model(), os.cpu_count(), java[-1] if java else "?",
                " / ".join("%.2f" % load for load in loads), os.nice(0)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--write", metavar="FILE",
                        help="write the table into FILE (a Markdown page) as well")
    parser.add_argument("--no-wine", action="store_true", help="leave out the Wine row")
    parser.add_argument("--nice", type=int, default=-10,
                        help="niceness increment for the benchmark and what it starts, against "
                             "other load (default -10; ignored without the permission)")
    args = parser.parse_args()
    try:
        os.nice(args.nice)
    except OSError:
        pass
    for path in (harness.REPOHOST_EXE, harness.TESTJVM_LIB, harness.fixture_dir("app"),
                 harness.REAL_JVM_LIB, harness.JAVA):
        if not os.path.exists(path):
            sys.exit("missing " + path + " (run scripts/bench.sh)")
    loads = [os.getloadavg()[0]]
    collected = collect(args.runs, not args.no_wine)
    loads.append(os.getloadavg()[0])
    table = report(args.runs, *collected)
    env = environment_text(loads)
    print(env)
    print(table)
    if args.write:
        write_page(args.write, env, table)


def write_page(path, env, table):
    """Writes the page; an existing page keeps what follows its line '## Analysis'."""
    analysis = ""
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            text = f.read()
        at = text.find("\n## Analysis")
        if at >= 0:
            analysis = text[at:]
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write("# Benchmark: repohost against the java launcher\n\n"
                "Made by `bash scripts/bench.sh` (`python3 scripts/bench.py --runs N "
                "--write docs/benchmark.md`). Goals are reported, not asserted.\n\n")
        f.write(env + "\n" + table)
        f.write(analysis)


if __name__ == "__main__":
    main()
