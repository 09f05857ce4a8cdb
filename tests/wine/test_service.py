"""repohost.exe as the service KorvaneRepository under Wine's service manager, with the
test JVM (jvm.dll) as the JRE's runtime library. The service record is made by `sc create`,
the launch parameters by `reg add` of Parameters\\AppParameters."""

import os
import unittest

import winehost

APP_PARAMETERS = "\t".join(["-Xmx64m", "-Dk=v", "app1", "-i"])


class ServiceTest(winehost.PrefixTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        p = cls.prefix
        p.run(["sc", "create", winehost.SERVICE, "binPath=", '"%s"' % cls.repohost], check=True)
        p.reg_add(winehost.PARAMETERS_KEY, "AppParameters", APP_PARAMETERS)

    def setUp(self):
        self.prefix.register_jre(self.jvm_dll)

    def tearDown(self):
        state = self.prefix.service_state()
        if state and state[0] != "STOPPED":
            self.prefix.run(["sc", "stop", winehost.SERVICE])
            self.prefix.wait_for_state("STOPPED")

    def start(self, main_mode):
        """Starts the service in a new session whose services see TESTJVM_MAIN=main_mode."""
        if os.path.exists(self.jvm_log):
            os.remove(self.jvm_log)
        self.prefix.restart_session({"TESTJVM_LOG": winehost.windows_path(self.jvm_log),
                                     "TESTJVM_MAIN": main_mode})
        self.prefix.run(["sc", "start", winehost.SERVICE], check=True)
        self.prefix.wait_for_state("RUNNING")
        self.assertTrue(self.prefix.processes("repohost.exe"))

    def stop(self):
        self.prefix.run(["sc", "stop", winehost.SERVICE], check=True)
        self.assertEqual(self.prefix.wait_for_state("STOPPED"), ("STOPPED", 0))
        winehost.wait_until(lambda: not self.prefix.processes("repohost.exe"),
                            "repohost.exe to end")

    def test_runs_main_with_the_stored_parameters(self):
        for mode, last_line in (("block", r"^CallStaticVoidMethod main "),
                                ("return", r"^DestroyJavaVM ")):
            with self.subTest(main=mode):
                self.start(mode)
                self.wait_for_log(last_line)
                log = self.jvm_log_lines()
                self.assertEqual([l.split(" tid=")[0] for l in log if l.startswith("option ")],
                                 ["option -Xmx64m", "option -Dk=v"])
                self.assertIn("CallStaticVoidMethod main [app1,-i]",
                              [l.split(" tid=")[0] for l in log])
                # Running while main runs, and still running after it has returned.
                self.assertEqual(self.prefix.service_state(), ("RUNNING", 0))
                self.stop()

    def test_without_a_jre_the_service_runs_until_stopped(self):
        self.prefix.unregister_jre()
        self.start("block")
        self.assertEqual(self.prefix.service_state(), ("RUNNING", 0))
        self.stop()
        self.assertEqual(self.jvm_log_lines(), [])


if __name__ == "__main__":
    unittest.main()
