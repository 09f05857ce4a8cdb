"""The host's main job: the example RMI server in a real OpenJDK 17 JVM inside the native host,
bound in the JDK's rmiregistry, called by the example's client; jcmd attached to that JVM as an
administrator would. Each case runs its own registry and host at ports picked free."""

import os
import re
import unittest

import harness

NAME = "KorvaneRepository"
KEYS = 5  # the client's keys per thread
RUNNING = "Running Korvane Repository.\n"


def expected_calls(thread, rounds, earlier=0):
    """The lines of one client thread's calls, each with its right reply, on a server that an
    earlier client thread of the same number made `earlier` rounds on."""
    prefix = "t%d" % thread
    stored = {i % KEYS: "%s-%d" % (prefix, i) for i in range(earlier)}
    lines = []
    for i in range(rounds):
        key = "%s/k%d" % (prefix, i % KEYS)
        value = "%s-%d" % (prefix, i)
        lines.append("%s put(%s, %s) -> %s" % (prefix, key, value, stored.get(i % KEYS, "null")))
        stored[i % KEYS] = value
        lines.append("%s get(%s) -> %s" % (prefix, key, value))
    return lines


def thread_dump(text):
    """{thread name: the lines of its entry} from a Thread.print dump."""
    threads = {}
    lines = []
    for line in text.splitlines():
        match = re.match(r'^"(.*)" #\d+ ', line)
        if match:
            lines = threads[match.group(1)] = [line]
        elif line.startswith("\t") or line.startswith("   "):
            lines.append(line)
    return threads


class RmiTest(unittest.TestCase):
    def setUp(self):
        self.port = harness.free_port()
        self.registry = harness.Run("repohost-rmiregistry-")
        self.addCleanup(self.registry.cleanup)
        self.registry.start_rmiregistry(self.port)
        self.host = harness.Run()
        self.addCleanup(self.host.cleanup)
        self.workdir = os.path.join(self.host.dir, "work dir")
        os.mkdir(self.workdir)

    def start_server(self):
        """The host runs the server with a working directory, a heap limit and a property;
        returns once main has bound it."""
        self.host.register_jre(harness.REAL_JVM_LIB)
        self.host.start_host([
            "-c", "wrkdir=" + self.workdir, "-Xmx64m", "-Drepository.name=e2e",
            "-Djava.rmi.server.hostname=" + harness.LOOPBACK,
            "-Djava.class.path=" + harness.example_dir("repository"), str(self.port), NAME])
        bound = "Korvane Repository bound as %s in the RMI registry at port %d" % (NAME, self.port)
        self.host.wait_for("^" + re.escape(bound) + "$", self.host.stdout)
        self.assertEqual(self.host.stdout_text(), RUNNING + bound + "\n")

    def client(self, threads, rounds):
        """Runs the example's client; returns its exit status, the server's description and
        the lines of each thread's calls."""
        result = harness.example_client(self.port, NAME, threads, rounds)
        description = {}
        calls = {t: [] for t in range(threads)}
        for line in result.stdout.splitlines():
            if line.startswith("describe -> "):
                name, _, value = line[len("describe -> "):].partition(": ")
                description[name] = value
            else:
                match = re.match(r"^t(\d+) ", line)
                self.assertIsNotNone(match, "client line %r\n%s" % (line, result.stderr))
                calls[int(match.group(1))].append(line)
        return result, description, calls

    def ctrl_c_ends_the_host(self):
        self.host.send("console 0")
        self.assertEqual(self.host.wait_exit(timeout=60), 0)
        self.assertIn("console 0 handled=1", self.host.trace_lines())

    def test_client_threads_get_every_reply_right_until_ctrl_c_ends_the_host(self):
        self.start_server()
        threads, rounds = 4, 40
        result, description, calls = self.client(threads, rounds)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(description["name"], NAME)
        self.assertEqual(description["repository.name"], "e2e")
        self.assertRegex(description["vm"], r"^OpenJDK 64-Bit Server VM 17\.")
        self.assertEqual(description["working directory"], os.path.realpath(self.workdir))
        self.assertLessEqual(int(description["heap limit"].split()[0]), 64)
        self.assertEqual(description["entries"], "0")
        for t in range(threads):
            self.assertEqual(calls[t], expected_calls(t, rounds), "thread %d" % t)

        # A second client finds what the first one stored.
        result, description, calls = self.client(1, KEYS)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(description["entries"], str(threads * KEYS))
        self.assertEqual(calls[0], expected_calls(0, KEYS, earlier=rounds))

        self.ctrl_c_ends_the_host()
        # The server has ended with the host: its binding in the registry leads nowhere.
        result, _, calls = self.client(1, 1)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("java.rmi.ConnectException", result.stderr)
        self.assertEqual(calls[0], [])

    def test_jcmd_attaches_to_the_vm_in_the_host_which_serves_after_main_has_returned(self):
        self.start_server()
        pid = self.host.process.pid

        properties = harness.run_tool([harness.JCMD, str(pid), "VM.system_properties"])
        self.assertEqual(properties.returncode, 0, properties.stdout + properties.stderr)
        lines = properties.stdout.splitlines()
        self.assertEqual(lines[0], "%d:" % pid)
        for expected in ("repository.name=e2e", "java.rmi.server.hostname=127.0.0.1",
                         "user.dir=" + os.path.realpath(self.workdir),
                         "java.class.path=" + harness.example_dir("repository")):
            self.assertIn(expected, lines)

        dump = harness.run_tool([harness.JCMD, str(pid), "Thread.print"])
        self.assertEqual(dump.returncode, 0, dump.stdout + dump.stderr)
        threads = thread_dump(dump.stdout)
        # The RMI runtime's threads: the accept loop of the exported server and the reaper,
        # which keeps the VM alive while the object is exported.
        self.assertIn("RMI TCP Accept-0", threads)
        self.assertIn("RMI Reaper", threads)
        self.assertIn("Attach Listener", threads)
        # main has returned: the host's launcher thread waits in DestroyJavaVM, with no Java
        # frame left, and no thread runs the main class.
        self.assertEqual(threads["main"][1:], ["   java.lang.Thread.State: RUNNABLE"])
        self.assertNotIn("com.korvane.repository.RepositoryImpl.main", dump.stdout)

        # The attach left the host serving.
        result, description, calls = self.client(2, 3)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(calls, {t: expected_calls(t, 3) for t in range(2)})
        self.assertTrue(self.host.running())
        self.ctrl_c_ends_the_host()


if __name__ == "__main__":
    unittest.main()
