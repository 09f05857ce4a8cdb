"""The native host in console mode, each case in a process of its own, running the Java
fixtures in a real OpenJDK 17 JVM found through the stand-in's registry."""

import os
import unittest

import harness

RUNNING = "Running Korvane Repository.\n"
NO_JRE = ("Cannot locate JavaSoft or IBM registry information. Is the JRE properly "
          "installed?")


class ConsoleTest(unittest.TestCase):
    def run_host(self, run, options, arguments, mode="block", **properties):
        run.register_jre(harness.REAL_JVM_LIB)
        run.start_host(["-c"] + run.fixture_options("app", fixture_mode=mode, **properties)
                       + options + arguments)

    def ctrl_c_ends(self, run):
        run.send("console 0")
        self.assertEqual(run.wait_exit(), 0)
        self.assertIn("console 0 handled=1", run.trace_lines())

    def test_runs_main_with_its_options_arguments_and_directory_until_ctrl_c(self):
        with harness.Run() as run:
            workdir = os.path.join(run.dir, "work dir")
            os.mkdir(workdir)
            run.register_jre(harness.REAL_JVM_LIB)
            run.start_host(["/C", "wrkdir=" + workdir, "-Xmx64m", "-Dk=v"]
                           + run.fixture_options("app", fixture_mode="block") + ["app1", "-i"])
            run.wait_for("^blocking$", run.fixture_out)
            lines = run.fixture_lines()
            self.assertEqual(lines[:5], ["started", "argc=2", "arg=app1", "arg=-i",
                                         "user.dir=" + os.path.realpath(workdir)])
            self.assertIn("k=v", lines)
            memory = [int(line.split("=")[1]) for line in lines if line.startswith("maxMemory=")]
            self.assertLessEqual(memory[0], 64 << 20)
            self.assertGreater(memory[0], 32 << 20)
            # The line is on standard output while the host still runs: written at once.
            self.assertEqual(run.stdout_text(), RUNNING)

            # Ctrl+Break and the types that are not the host's change nothing.
            for event in (1, 3, 4, 7):
                run.send("console %d" % event)
                run.wait_for("^console %d handled=0$" % event, run.trace)
            self.assertTrue(run.running())
            self.ctrl_c_ends(run)
            self.assertEqual(run.stdout_text(), RUNNING)

    def test_without_arguments_main_gets_an_empty_array(self):
        with harness.Run() as run:
            self.run_host(run, [], [])
            run.wait_for("^blocking$", run.fixture_out)
            lines = run.fixture_lines()
            self.assertNotIn("args=null", lines)
            self.assertEqual(lines[:2], ["started", "argc=0"])
            self.ctrl_c_ends(run)

    def test_main_that_throws_is_logged_and_the_host_runs_on(self):
        with harness.Run() as run:
            self.run_host(run, [], [], mode="throw")
            run.wait_for("^Could not invoke main class$", run.stdout)
            self.assertTrue(run.running())
            self.ctrl_c_ends(run)
            self.assertEqual(run.stdout_text(), RUNNING + "Could not invoke main class\n")

    def test_main_that_returns_leaves_the_host_running(self):
        with harness.Run() as run:
            self.run_host(run, [], ["x"], mode="return")
            run.wait_for("^returning$", run.fixture_out)
            self.assertTrue(run.running())
            self.ctrl_c_ends(run)
            self.assertEqual(run.stdout_text(), RUNNING)

    def test_twenty_jvm_options_reach_the_vm_and_twenty_one_are_refused(self):
        # The fixture's class path, output file, mode and property list are four of them.
        names = ["p%d" % i for i in range(16)]
        options = ["-D%s=v%s" % (name, name) for name in names]
        with harness.Run() as run:
            self.run_host(run, options, [], fixture_props=",".join(names))
            run.wait_for("^blocking$", run.fixture_out)
            self.assertEqual([line for line in run.fixture_lines() if line.startswith("prop ")],
                             ["prop %s=v%s" % (name, name) for name in names])
            self.ctrl_c_ends(run)
        with harness.Run() as run:
            self.run_host(run, options + ["-Dextra=1"], [], fixture_props=",".join(names))
            run.wait_for(r"^Max\. number of Java args \(20\) exceeded\.$", run.stdout)
            self.assertEqual(run.stdout_text(),
                             RUNNING + "Max. number of Java args (20) exceeded.\n")
            self.assertEqual(run.fixture_lines(), [])

    def test_without_a_jre_the_host_says_so_and_waits(self):
        with harness.Run() as run:
            run.start_host(["-c", "app"])
            run.wait_for("Is the JRE properly installed", run.stdout)
            self.assertEqual(run.stdout_text(), RUNNING + harness.VENDOR_KEY + "\n" + NO_JRE + "\n")
            # No handler of the host's was registered: Ctrl+C is not taken.
            run.send("console 0")
            run.wait_for("^console 0 handled=0$", run.trace)
            self.assertTrue(run.running())


if __name__ == "__main__":
    unittest.main()
