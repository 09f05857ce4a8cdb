"""The native host as a service of the stand-in's service manager, running the Java fixture in a
real OpenJDK 17 JVM with the launch parameters of AppParameters."""

import os
import unittest

import harness

PARAMETERS = r"SYSTEM\CurrentControlSet\Services\KorvaneRepository\Parameters"


class ServiceTest(unittest.TestCase):
    def test_app_parameters_reach_java_and_a_stop_ends_the_process(self):
        with harness.Run() as run:
            workdir = os.path.join(run.dir, "service dir")
            os.mkdir(workdir)
            run.register_jre(harness.REAL_JVM_LIB)
            options = (["-Xmx64m", "-Dk=v", "wrkdir=" + workdir]
                       + run.fixture_options("app", fixture_mode="block") + ["svc1", "two words"])
            run.set_values(PARAMETERS, AppParameters="\t".join(options))
            run.start_host([], service=True)
            run.wait_for("^blocking$", run.fixture_out)
            lines = run.fixture_lines()
            self.assertEqual(lines[:5], ["started", "argc=2", "arg=svc1", "arg=two words",
                                         "user.dir=" + os.path.realpath(workdir)])
            self.assertIn("k=v", lines)
            memory = [int(line.split("=")[1]) for line in lines if line.startswith("maxMemory=")]
            self.assertLessEqual(memory[0], 64 << 20)

            run.send("service 1")
            self.assertEqual(run.wait_exit(), 0)
            reports = [line.split()[1:] for line in run.trace_lines() if line.startswith("status ")]
            # state, controls accepted, exit code, service exit code, checkpoint, wait hint
            self.assertEqual(reports, [["2", "0", "0", "0", "1", "3000"],
                                       ["2", "0", "0", "0", "2", "3000"],
                                       ["4", "1", "0", "0", "0", "0"],
                                       ["3", "1", "0", "0", "3", "0"],
                                       ["1", "1", "0", "0", "0", "0"]])
            # The process ended after its stopped report: the dispatcher returned first.
            self.assertEqual(run.trace_lines()[-1], "dispatcher-end")
            self.assertEqual(run.stdout_text(), "\nNo arguments in command line...\n"
                             "Calling StartServiceCtrlDispatcher...please wait.\n")


if __name__ == "__main__":
    unittest.main()
