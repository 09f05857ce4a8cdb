"""Process helpers for the end-to-end runs of the host's native build.

The native host is linked against the Win32 stand-in, which a test drives through
environment variables: STANDIN_REGISTRY (the registry, a REGEDIT4 file, rewritten after each
change), STANDIN_TRACE (lines the stand-in appends: event, status, console, control,
dispatcher-start, dispatcher-end), STANDIN_CONTROL (a FIFO the stand-in reads commands from:
"console <N>", "service <N>"), STANDIN_SERVICE=1 (started by the service manager) and
STANDIN_FAULTS. A Run sets these up in a temporary directory of its own, starts one process
and cleans up after it.

Paths come from the environment, which ctest sets (tests/e2e/CMakeLists.txt):
  REPOHOST_EXE   the host executable (build/<preset>/host/repohost)
  TESTJVM_LIB    the test JVM library (libtestjvm.so)
  JAVA_FIXTURES  the directory of the Java fixture class directories (app, em-ok, ...)
  JAVA           the java launcher (default: the one of OpenJDK 17)
  REAL_JVM_LIB   the runtime library of the real JRE (default: OpenJDK 17's libjvm.so)
  RMIREGISTRY, JCMD  the JDK's tools (default: those of OpenJDK 17)
  REPOHOST_EXAMPLES  the example's class directories (build/<preset>/examples)

Example:
    with harness.Run() as run:
        run.register_jre(harness.REAL_JVM_LIB)
        run.start_host(run.fixture_options("app") + ["app1"])
        run.wait_for("^returning$", run.fixture_out)
        run.wait_exit()
"""

import errno
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time

JDK_HOME = "/usr/lib/jvm/java-17-openjdk-amd64"
REAL_JVM_LIB = os.environ.get("REAL_JVM_LIB", JDK_HOME + "/lib/server/libjvm.so")
JAVA = os.environ.get("JAVA", JDK_HOME + "/bin/java")
REPOHOST_EXE = os.environ.get("REPOHOST_EXE", "")
TESTJVM_LIB = os.environ.get("TESTJVM_LIB", "")
JAVA_FIXTURES = os.environ.get("JAVA_FIXTURES", "")
RMIREGISTRY = os.environ.get("RMIREGISTRY", JDK_HOME + "/bin/rmiregistry")
JCMD = os.environ.get("JCMD", JDK_HOME + "/bin/jcmd")
REPOHOST_EXAMPLES = os.environ.get("REPOHOST_EXAMPLES", "")
# The RMI runs stay on this machine: the registry, the server's stub and the clients use it.
LOOPBACK = "127.0.0.1"

MAIN_CLASS = "com.korvane.repository.RepositoryImpl"
VENDOR_KEY = r"SOFTWARE\Korvane\Halvex\Server\JavaSoft\Java Runtime Environment"

POLL_SECONDS = 0.02


def fixture_dir(variant):
    """The class directory of a Java fixture variant: app, em-ok, em-wrongtype, ..."""
    return os.path.join(JAVA_FIXTURES, variant)


def example_dir(part):
    """A class directory of the example: repository (the interface and the server) or client."""
    return os.path.join(REPOHOST_EXAMPLES, part)


def free_port():
    """A TCP port on the loopback that nothing listens on, as the system picks one."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((LOOPBACK, 0))
        return s.getsockname()[1]


def example_client(port, name, *counts, timeout=120):
    """Runs the example's client against the server bound as `name` in the registry at `port`,
    with the thread and round counts given; returns the subprocess.CompletedProcess."""
    classes = example_dir("repository") + os.pathsep + example_dir("client")
    return run_tool([JAVA, "-cp", classes, "com.korvane.repository.client.RepositoryClient",
                     str(port), name] + [str(count) for count in counts], timeout)


def run_tool(argv, timeout=120):
    """Runs a short-lived tool (java, jcmd) to its end; its output is captured as text."""
    return subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=timeout)


def _accepts(port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.settimeout(5)
        try:
            s.connect((LOOPBACK, port))
            return True
        except OSError:
            return False


def _remove_jvm_files(pid):
    """Removes what a JVM in the ended process `pid` leaves in /tmp when the process ends
    without the VM's own exit: its attach socket and its performance data file."""
    user = pwd.getpwuid(os.geteuid()).pw_name
    for path in ("/tmp/.java_pid%d" % pid, "/tmp/.attach_pid%d" % pid,
                 "/tmp/hsperfdata_%s/%d" % (user, pid)):
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass


def _reg_quote(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def registry_text(keys):
    """REGEDIT4 text for {key path below HKEY_LOCAL_MACHINE: {name: value}}: a str value is
    REG_SZ, an int a dword."""
    lines = ["REGEDIT4", ""]
    for path, values in keys.items():
        lines.append("[HKEY_LOCAL_MACHINE\\" + path + "]")
        for name, value in values.items():
            if isinstance(value, int):
                data = "dword:%08x" % value
            else:
                data = _reg_quote(value)
            lines.append(_reg_quote(name) + "=" + data)
        lines.append("")
    return "\r\n".join(lines) + "\r\n"


def _lines_of(path):
    try:
        with open(path, encoding="utf-8", errors="replace", newline="") as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return []


class Run:
    """One process in a temporary directory with the stand-in's channels.

    Files: registry (.reg), trace, control (FIFO), fixture_out (for -Dfixture.out), jvm_log
    (TESTJVM_LOG), stdout, stderr.
    """

    def __init__(self, prefix="repohost-e2e-"):
        self.dir = tempfile.mkdtemp(prefix=prefix)
        self.registry = os.path.join(self.dir, "registry.reg")
        self.trace = os.path.join(self.dir, "trace.log")
        self.control = os.path.join(self.dir, "control.fifo")
        self.fixture_out = os.path.join(self.dir, "fixture.out")
        self.jvm_log = os.path.join(self.dir, "testjvm.log")
        self.stdout = os.path.join(self.dir, "stdout.txt")
        self.stderr = os.path.join(self.dir, "stderr.txt")
        os.mkfifo(self.control)
        self.keys = {}
        self.process = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.cleanup()
        return False

    # ---- registry ----

    def set_values(self, path, **values):
        """Adds values to a key below HKEY_LOCAL_MACHINE and rewrites the .reg file."""
        self.keys.setdefault(path, {}).update(values)
        self.write_registry()

    def write_registry(self):
        with open(self.registry, "w", encoding="utf-8", newline="") as f:
            f.write(registry_text(self.keys))

    def register_jre(self, runtime_lib, version="17", micro="0"):
        """The JRE registration the host looks for, with `runtime_lib` as RuntimeLib."""
        self.set_values(VENDOR_KEY, CurrentVersion=version)
        self.set_values(VENDOR_KEY + "\\" + version, RuntimeLib=runtime_lib, MicroVersion=micro)

    def registry_text(self):
        """The .reg file as it is now (the stand-in rewrites it after each change)."""
        with open(self.registry, encoding="utf-8", errors="replace") as f:
            return f.read()

    # ---- processes ----

    def environment(self, service=False, faults=None, extra=None):
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("STANDIN_") and not k.startswith("TESTJVM_")}
        env.update({
            "STANDIN_REGISTRY": self.registry,
            "STANDIN_TRACE": self.trace,
            "STANDIN_CONTROL": self.control,
            "TESTJVM_LOG": self.jvm_log,
        })
        if service:
            env["STANDIN_SERVICE"] = "1"
        if faults:
            env["STANDIN_FAULTS"] = faults
        env.update(extra or {})
        return env

    def start(self, argv, env=None, cwd=None):
        """Starts a process: stdin /dev/null, stdout and stderr to files, cwd the run's
        directory unless given. `env` is the whole environment (see environment())."""
        assert self.process is None, "a Run starts one process"
        if not os.path.exists(self.registry):
            self.write_registry()
        with open(self.stdout, "wb") as out, open(self.stderr, "wb") as err:
            self.process = subprocess.Popen(
                argv, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                env=env if env is not None else self.environment(),
                cwd=cwd or self.dir, start_new_session=True)
        return self.process

    def start_host(self, args, service=False, faults=None, extra_env=None, cwd=None):
        """Starts REPOHOST_EXE with `args`; extra_env adds to the stand-in's variables
        (e.g. {"TESTJVM_MAIN": "block"})."""
        assert REPOHOST_EXE, "REPOHOST_EXE is not set"
        return self.start([REPOHOST_EXE] + list(args),
                          env=self.environment(service, faults, extra_env), cwd=cwd)

    def fixture_options(self, variant, **properties):
        """JVM options for a fixture: its class path, fixture.out in this run, and
        -D<name>=<value> for each property (underscores in names become dots)."""
        options = ["-Djava.class.path=" + fixture_dir(variant),
                   "-Dfixture.out=" + self.fixture_out]
        for name, value in properties.items():
            options.append("-D%s=%s" % (name.replace("_", "."), value))
        return options

    def start_rmiregistry(self, port, timeout=30):
        """Starts the JDK's rmiregistry at `port` with the example's interface on its class
        path, and waits until it accepts connections."""
        env = {k: v for k, v in os.environ.items() if not k.startswith("STANDIN_")}
        env["CLASSPATH"] = example_dir("repository")
        self.start([RMIREGISTRY, "-J-Djava.rmi.server.hostname=" + LOOPBACK, str(port)], env=env)
        self.wait_listening(port, timeout)

    def wait_listening(self, port, timeout=30):
        """Polls until something accepts connections at `port` on the loopback while the
        process runs; fails after `timeout` seconds or when the process has ended."""
        self._poll(lambda: _accepts(port), "nothing listens at port %d" % port, timeout)
        if not self.running():
            raise AssertionError("port %d is taken by another process\n%s"
                                 % (port, self.describe()))

    def running(self):
        return self.process is not None and self.process.poll() is None

    def wait_exit(self, timeout=30):
        """Waits for the process to end; returns its exit code."""
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("process %d still running after %ss\n%s"
                                 % (self.process.pid, timeout, self.describe())) from None

    def send(self, line, timeout=30):
        """Writes one line to the control FIFO, opening it for this message alone. Waits
        (polling) until the reader has the FIFO open; never blocks past `timeout`."""
        data = (line.rstrip("\n") + "\n").encode()
        deadline = time.monotonic() + timeout
        while True:
            try:
                fd = os.open(self.control, os.O_WRONLY | os.O_NONBLOCK)
                break
            except OSError as e:
                if e.errno != errno.ENXIO or time.monotonic() > deadline:
                    raise AssertionError("no reader on %s for %r\n%s"
                                         % (self.control, line, self.describe())) from e
                if self.process is not None and self.process.poll() is not None:
                    raise AssertionError("process ended before reading %r\n%s"
                                         % (line, self.describe())) from e
                time.sleep(POLL_SECONDS)
        try:
            while data:
                try:
                    data = data[os.write(fd, data):]
                except BlockingIOError:
                    if time.monotonic() > deadline:
                        raise AssertionError("FIFO full for %r" % line) from None
                    time.sleep(POLL_SECONDS)
        finally:
            os.close(fd)

    def wait_for(self, what, file, timeout=30):
        """Polls `file` until `what` holds: a regex (str or compiled) searched in each line,
        returning the first match; or a callable given the list of lines, returning its first
        truthy result. Fails after `timeout` seconds, or as soon as the process has ended
        with the condition still false."""
        if callable(what):
            check = what
        else:
            pattern = re.compile(what) if isinstance(what, str) else what

            def check(lines):
                for line in lines:
                    match = pattern.search(line)
                    if match:
                        return match
                return None
        return self._poll(lambda: check(_lines_of(file)),
                          "%r not found in %s" % (getattr(what, "pattern", what), file), timeout)

    def _poll(self, condition, failure, timeout):
        """Polls condition() until it gives a true value and returns that; fails with `failure`
        after `timeout` seconds, or as soon as the process has ended with the condition still
        false (checked once more after the end was seen)."""
        deadline = time.monotonic() + timeout
        while True:
            ended = self.process is not None and self.process.poll() is not None
            result = condition()
            if result:
                return result
            if ended or time.monotonic() > deadline:
                raise AssertionError("%s (%s)\n%s" % (failure,
                                                      "process ended" if ended else "timeout",
                                                      self.describe()))
            time.sleep(POLL_SECONDS)

    # ---- output ----

    def stdout_text(self):
        with open(self.stdout, encoding="utf-8", errors="replace") as f:
            return f.read()

    def stderr_text(self):
        with open(self.stderr, encoding="utf-8", errors="replace") as f:
            return f.read()

    def trace_lines(self):
        return _lines_of(self.trace)

    def fixture_lines(self):
        return _lines_of(self.fixture_out)

    def jvm_log_lines(self, strip=True):
        """The test JVM's log; with strip, without the ` tid=.. env=..` ending of each line."""
        lines = _lines_of(self.jvm_log)
        if strip:
            lines = [re.sub(r" tid=\d+ env=0x[0-9a-f]+$", "", line) for line in lines]
        return lines

    def describe(self):
        parts = []
        for name, path in (("stdout", self.stdout), ("stderr", self.stderr),
                           ("trace", self.trace), ("fixture.out", self.fixture_out),
                           ("testjvm.log", self.jvm_log)):
            lines = _lines_of(path)
            if lines:
                parts.append("--- %s (last 20 lines)\n%s" % (name, "\n".join(lines[-20:])))
        return "\n".join(parts)

    # ---- cleanup ----

    def cleanup(self):
        """Kills the process (its session) if it still runs, removes the files a JVM in it
        left in /tmp, and removes the directory (kept when the environment has E2E_KEEP=1)."""
        if self.process is not None and self.process.poll() is None:
            try:
                os.killpg(self.process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.process.wait(timeout=30)
        if self.process is not None:
            _remove_jvm_files(self.process.pid)
        if os.environ.get("E2E_KEEP") != "1":
            shutil.rmtree(self.dir, ignore_errors=True)
