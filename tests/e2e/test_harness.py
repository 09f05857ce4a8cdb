"""The process helpers of harness.py, run on the app fixture under the JDK's java launcher."""

import os
import sys
import unittest

import harness


class HarnessTest(unittest.TestCase):
    def java(self, run, *args, mode="return"):
        return [harness.JAVA, "-cp", harness.fixture_dir("app"), "-Dfixture.mode=" + mode,
                "-Dk=v w", "-Xmx64m"] + list(args)

    def test_a_finished_run_leaves_its_output(self):
        with harness.Run() as run:
            run.start(self.java(run, "-Dfixture.out=" + run.fixture_out, harness.MAIN_CLASS,
                                "a", "b c"))
            self.assertEqual(run.wait_exit(), 0)
            lines = run.fixture_lines()
            self.assertEqual(lines[:6] + lines[7:], [
                "started", "argc=2", "arg=a", "arg=b c",
                "user.dir=" + os.path.realpath(run.dir), "k=v w", "thread=main", "returning"])
            # The heap limit the collector reports stays within -Xmx.
            self.assertRegex(lines[6], r"^maxMemory=\d+$")
            self.assertLessEqual(int(lines[6].split("=")[1]), 64 << 20)
            self.assertEqual(run.stdout_text(), "")

        with harness.Run() as run:
            run.start(self.java(run, harness.MAIN_CLASS), cwd="/")
            self.assertEqual(run.wait_exit(), 0)
            self.assertIn("user.dir=/\n", run.stdout_text())

    def test_cleanup_kills_a_process_left_running(self):
        run = harness.Run()
        try:
            run.start(self.java(run, "-Dfixture.out=" + run.fixture_out, harness.MAIN_CLASS,
                                mode="block"))
            run.wait_for("^blocking$", run.fixture_out)
            self.assertTrue(run.running())
        finally:
            run.cleanup()
        self.assertFalse(run.running())
        self.assertFalse(os.path.exists(run.dir))

    def test_wait_for_fails_once_the_process_has_ended(self):
        with harness.Run() as run:
            run.start(self.java(run, "-Dfixture.out=" + run.fixture_out, harness.MAIN_CLASS,
                                mode="throw"))
            with self.assertRaises(AssertionError):
                run.wait_for("^never$", run.fixture_out)
            self.assertEqual(run.wait_exit(), 1)
            self.assertIn("RuntimeException: main fixture throws", run.stderr_text())

    def test_send_delivers_each_line_to_a_reader_of_the_fifo(self):
        # A reader that, like the stand-in, opens the FIFO again after each writer.
        reader = ("import sys\n"
                  "for _ in range(2):\n"
                  "    with open(sys.argv[1]) as f:\n"
                  "        for line in f:\n"
                  "            print(line, end='', flush=True)\n")
        with harness.Run() as run:
            run.register_jre(harness.TESTJVM_LIB)
            run.start([sys.executable, "-c", reader, run.control])
            run.send("console 0")
            run.wait_for("^console 0$", run.stdout)
            run.send("service 1")
            self.assertEqual(run.wait_exit(), 0)
            self.assertEqual(run.stdout_text(), "console 0\nservice 1\n")
            self.assertIn('"RuntimeLib"="%s"' % harness.TESTJVM_LIB, run.registry_text())


if __name__ == "__main__":
    unittest.main()
