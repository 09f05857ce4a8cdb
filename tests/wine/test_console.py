"""repohost.exe in console mode under Wine: the launch through Wine's registry and the
test jvm.dll, and the dispatcher's refusal of an unknown option."""

import subprocess
import unittest

import winehost


class ConsoleTest(winehost.PrefixTestCase):
    def test_console_run_hands_the_options_and_arguments_to_the_vm(self):
        self.prefix.register_jre(self.jvm_dll)
        env = dict(self.prefix.env, TESTJVM_LOG=winehost.windows_path(self.jvm_log),
                   TESTJVM_MAIN="return")
        host = subprocess.Popen([winehost.WINE64, self.repohost, "-c", "-Xmx64m", "-Dk=v",
                                 "app1", "-i"], env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            self.wait_for_log(r"^DestroyJavaVM")
            lines = self.jvm_log_lines()
            self.assertEqual([l.split(" tid=")[0] for l in lines if l.startswith("option ")],
                             ["option -Xmx64m", "option -Dk=v"])
            self.assertIn("FindClass com/korvane/repository/RepositoryImpl",
                          [l.split(" tid=")[0] for l in lines])
            main = [l.split(" tid=")[0] for l in lines if l.startswith("CallStaticVoidMethod")]
            self.assertEqual(main, ["CallStaticVoidMethod main [app1,-i]"])
            # main has returned; the host runs on until it is told to stop.
            self.assertIsNone(host.poll())
        finally:
            host.kill()
            output = host.communicate(timeout=winehost.COMMAND_SECONDS)[0]
        self.assertTrue(winehost.text_of(output).startswith("Running Korvane Repository.\n"))

    def test_unrecognized_options_are_reported_and_the_exit_status_is_zero(self):
        for option in ("-install", ""):
            with self.subTest(option=option):
                status, output = self.prefix.run([self.repohost, option])
                self.assertEqual((status, output), (0, "\nUnrecognized option: %s\n" % option))


if __name__ == "__main__":
    unittest.main()
