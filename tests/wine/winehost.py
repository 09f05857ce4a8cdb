"""A Wine prefix of its own for the tests of the Windows executables, x64 or x86.

A Prefix lives in a temporary directory: `wineboot -i` creates it, and close() ends every
process of it (`wineserver -k`, `wineserver -w`) and removes the directory. While it is open,
a keeper process (`cmd /c pause`, its input a pipe that stays open) keeps the Wine session up:
when the last ordinary process of a session ends, Wine ends the session's system processes,
services.exe with them, and the services it started go too.

The service manager gives each service the environment that CreateEnvironmentBlock builds
from the registry (Session Manager\\Environment), not its own: restart_session(env) writes the
variables there and starts a new session, whose services.exe reads them at the first start
of a service.

Both architectures run in the same 64-bit prefix; the 32-bit programs need Wine's 32-bit
loader (Debian's wine32:i386). A 32-bit program sees HKLM\\SOFTWARE as the 32-bit registry view
(HKLM\\SOFTWARE\\Wow6432Node from 64 bits): a JRE for the x86 host is registered there. Once
wine32 is installed, `wine reg` is itself a 32-bit program, so every reg call here names the
view of the architecture under test (/reg:64 or /reg:32).

The architecture and paths come from the environment, which ctest sets (tests/wine/CMakeLists.txt):
  REPOHOST_WINE_ARCH      x64 (default) or x86
  REPOHOST_WINDOWS_DIR    the Windows build of that architecture (default: build/windows-<arch>)
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

_TREE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
ARCH = os.environ.get("REPOHOST_WINE_ARCH", "x64")
if ARCH not in ("x64", "x86"):
    raise ValueError("REPOHOST_WINE_ARCH must be x64 or x86, not %r" % ARCH)
REG_VIEW = {"x64": "/reg:64", "x86": "/reg:32"}[ARCH]
BUILD_DIR = os.environ.get("REPOHOST_WINDOWS_DIR", os.path.join(_TREE, "build", "windows-" + ARCH))
REPOHOST_EXE = os.path.join(BUILD_DIR, "host", "repohost.exe")
TARNWICK_EXE = os.path.join(BUILD_DIR, "regtool", "Tarnwick.exe")
TESTJVM_DLL = os.path.join(BUILD_DIR, "testjvm", "jvm.dll")
# Runs a program and writes its Windows exit code to a file (see waitexit.c).
WAITEXIT_EXE = os.path.join(BUILD_DIR, "tests", "wine", "waitexit", "waitexit.exe")

SERVICE = "KorvaneRepository"
DISPLAY_NAME = "Korvane Repository"
DEPENDENCY = "KorvaneRMIRegistry"
SERVICES_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services"
SERVICE_KEY = SERVICES_KEY + "\\" + SERVICE
PARAMETERS_KEY = SERVICE_KEY + r"\Parameters"
EVENT_SOURCE_KEY = SERVICES_KEY + r"\EventLog\Application" + "\\" + SERVICE
ENVIRONMENT_KEY = r"HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment"
VENDOR_KEY = r"HKLM\SOFTWARE\Korvane\Halvex\Server\JavaSoft\Java Runtime Environment"

COMMAND_SECONDS = 120
WAIT_SECONDS = 60
POLL_SECONDS = 0.1


# Wine's loaders as Debian installs them: wine64 (package wine64) and the 32-bit one (package
# wine32:i386). Every program here is started through the 64-bit loader, which hands a 32-bit
# executable on to the 32-bit loader beside it. Debian's `wine` command would instead take the
# 32-bit loader for everything once wine32 is installed, and with it fail for everything on a
# machine whose kernel runs no 32-bit programs.
WINE64 = "/usr/lib/wine/wine64" if os.path.exists("/usr/lib/wine/wine64") else "wine64"
WINE32 = "/usr/lib/wine/wine"


def missing_support(arch=ARCH):
    """Why programs of `arch` cannot run under this machine's Wine, or None when they can."""
    if shutil.which(WINE64) is None:
        return "wine64 is not installed"
    if arch == "x86":
        if not os.path.exists(WINE32):
            return "wine32 is not installed (no %s)" % WINE32
        try:
            result = subprocess.run([WINE32, "--version"], stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                    timeout=COMMAND_SECONDS)
            failure = None if result.returncode == 0 else "exit status %d" % result.returncode
        except OSError as e:
            failure = str(e)
        if failure:
            return ("the 32-bit Wine loader %s does not run on this machine (%s): its kernel "
                    "runs no 32-bit programs" % (WINE32, failure))
    return None


# The exit status of a Wine case that this machine cannot run: ctest's SKIP_RETURN_CODE.
SKIPPED = 77


def exit_if_unsupported(case, arch=ARCH):
    """Ends the process with SKIPPED, saying why on a line "skipped: <case>: <reason>", when
    programs of `arch` cannot run under this machine's Wine."""
    reason = missing_support(arch)
    if reason:
        print("skipped: %s: %s" % (case, reason))
        sys.exit(SKIPPED)


def windows_path(path):
    """The Windows name of a Linux path, through Wine's drive Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def text_of(data):
    """Console output with the line ends of the Windows C runtime turned into '\\n'."""
    return data.decode("utf-8", errors="replace").replace("\r\n", "\n")


def wait_until(predicate, what, seconds=WAIT_SECONDS):
    """Polls until predicate() gives a true value and returns it; fails after `seconds`."""
    deadline = time.monotonic() + seconds
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(POLL_SECONDS)


class Prefix:
    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="repohost-wine-")
        self.path = os.path.join(self.dir, "prefix")
        self.env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "TESTJVM_LOG", "TESTJVM_MAIN", "TESTJVM_FAIL"):
            self.env.pop(name, None)
        self.env.update(
            WINEPREFIX=self.path,
            WINEARCH="win64",
            WINEDEBUG="-all",
            WINELOADER=WINE64,
            # No Mono or Gecko installer runs while the prefix is made.
            WINEDLLOVERRIDES="mscoree,mshtml=d",
        )
        self.keeper = None
        try:
            self.run(["wineboot", "-i"], check=True)
            # The session that made the prefix ends before use: right after `wineboot -i` two
            # services.exe of the prefix run side by side, each with a service database of
            # its own, and a service created through one is unknown to the other.
            self.restart_session()
        except BaseException:
            self.close()
            raise

    # ---- processes ----

    def run(self, args, check=False):
        """Runs `wine64 <args>`; returns (exit status, output) with stdout and stderr joined."""
        # A file, not a pipe: a process the command starts (wineserver, services.exe when the
        # session begins) inherits the handle and may outlive the command.
        with tempfile.TemporaryFile(dir=self.dir) as out:
            result = subprocess.run([WINE64] + list(args), env=self.env, stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=subprocess.STDOUT, timeout=COMMAND_SECONDS)
            out.seek(0)
            output = text_of(out.read())
        if check and result.returncode != 0:
            raise AssertionError("wine64 %s: status %d\n%s" % (" ".join(args), result.returncode,
                                                            output))
        return result.returncode, output

    def _start_keeper(self):
        self.keeper = subprocess.Popen([WINE64, "cmd", "/c", "pause"], env=self.env,
                                       stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)

    def _stop_session(self):
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=COMMAND_SECONDS,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=COMMAND_SECONDS)
        if self.keeper is not None:
            self.keeper.stdin.close()
            self.keeper.wait(timeout=COMMAND_SECONDS)
            self.keeper = None

    def restart_session(self, environment=None):
        """Writes `environment` ({name: value or None to delete}) to the system environment
        and starts a new Wine session, so that services.exe builds the environment of the
        services anew."""
        for name, value in (environment or {}).items():
            if value is None:
                self.reg(["delete", ENVIRONMENT_KEY, "/v", name, "/f"])
            else:
                self.reg_add(ENVIRONMENT_KEY, name, value)
        self._stop_session()
        self._start_keeper()

    def close(self):
        self._stop_session()
        shutil.rmtree(self.dir, ignore_errors=True)

    def processes(self, image):
        """Linux pids of the live (not zombie) processes of this prefix whose command line
        names `image`."""
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    cmdline = f.read().decode(errors="replace")
                with open("/proc/%s/stat" % entry) as f:
                    state = f.read().rsplit(")", 1)[1].split()[0]
                with open("/proc/%s/environ" % entry, "rb") as f:
                    environ = f.read().split(b"\0")
            except OSError:
                continue
            if (image.lower() in cmdline.lower() and state != "Z"
                    and ("WINEPREFIX=" + self.path).encode() in environ):
                found.append(int(entry))
        return found

    # ---- registry ----

    def reg(self, args, check=False, view=REG_VIEW):
        """Runs `reg <args>` in the registry view of the architecture under test, or in
        `view` (/reg:32 or /reg:64)."""
        return self.run(["reg"] + list(args) + [view], check=check)

    def reg_add(self, key, name, data, kind="REG_SZ"):
        self.reg(["add", key, "/v", name, "/t", kind, "/d", data, "/f"], check=True)

    def reg_add_key(self, key):
        self.reg(["add", key, "/f"], check=True)

    def reg_delete_key(self, key):
        self.reg(["delete", key, "/f"])

    def reg_values(self, key, view=REG_VIEW):
        """{name: (type, data)} of `reg query key`, or None when the key does not exist."""
        status, output = self.reg(["query", key], view=view)
        if status != 0:
            return None
        values = {}
        for line in output.split("\n"):
            match = re.match(r"^    (.*?)    (REG_\w+)    (.*)$", line)
            if match:
                values[match.group(1)] = (match.group(2), match.group(3))
        return values

    def register_jre(self, runtime_lib, version="17"):
        self.reg_add(VENDOR_KEY, "CurrentVersion", version)
        self.reg_add(VENDOR_KEY + "\\" + version, "RuntimeLib", runtime_lib)
        self.reg_add(VENDOR_KEY + "\\" + version, "MicroVersion", "0")

    def unregister_jre(self):
        self.reg_delete_key(VENDOR_KEY)

    # ---- service manager ----

    def service_state(self, name=SERVICE):
        """(state name, WIN32_EXIT_CODE) from `sc query`, or None when there is no service."""
        status, output = self.run(["sc", "query", name])
        state = re.search(r"STATE\s*:\s*\d+\s+(\w+)", output)
        code = re.search(r"WIN32_EXIT_CODE\s*:\s*(\d+)", output)
        if status != 0 or not state:
            return None
        return state.group(1), int(code.group(1)) if code else None

    def wait_for_state(self, wanted, name=SERVICE):
        def reached():
            current = self.service_state(name)
            return current if current and current[0] == wanted else None

        return wait_until(reached, "%s to be %s" % (name, wanted))


class PrefixTestCase(unittest.TestCase):
    """One prefix for all tests of a class; the copies of the executables live in a directory
    with blanks in its name."""

    prefix = None

    @classmethod
    def setUpClass(cls):
        reason = missing_support()
        if reason:
            raise unittest.SkipTest(reason)
        for path in (REPOHOST_EXE, TARNWICK_EXE, TESTJVM_DLL):
            if not os.path.exists(path):
                raise AssertionError("no %s (build the windows-%s preset)" % (path, ARCH))
        cls.prefix = Prefix()
        cls.bin_dir = os.path.join(cls.prefix.dir, "bin dir")
        os.mkdir(cls.bin_dir)
        for path in (REPOHOST_EXE, TARNWICK_EXE, TESTJVM_DLL):
            shutil.copy(path, cls.bin_dir)
        cls.repohost = windows_path(os.path.join(cls.bin_dir, "repohost.exe"))
        cls.tarnwick = windows_path(os.path.join(cls.bin_dir, "Tarnwick.exe"))
        cls.jvm_dll = windows_path(os.path.join(cls.bin_dir, "jvm.dll"))
        cls.jvm_log = os.path.join(cls.prefix.dir, "jvm.log")

    @classmethod
    def tearDownClass(cls):
        if cls.prefix is not None:
            cls.prefix.close()
            cls.prefix = None

    def jvm_log_lines(self):
        try:
            with open(self.jvm_log, encoding="utf-8", errors="replace") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def wait_for_log(self, pattern):
        """The first line of the JVM log that matches `pattern`, once there is one."""
        regex = re.compile(pattern)
        return wait_until(lambda: next((l for l in self.jvm_log_lines() if regex.search(l)), None),
                          "a JVM log line matching " + pattern)
