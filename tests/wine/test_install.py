"""`repohost -i` and `repohost -r` under Wine: the service record in Wine's service
manager, the event-log source and the launch parameters in the registry."""

import os
import unittest

import winehost


class InstallTest(winehost.PrefixTestCase):
    def tearDown(self):
        self.prefix.run([self.repohost, "-r"])

    def install(self, *parameters):
        return self.prefix.run([self.repohost, "-i"] + list(parameters))

    def test_install_then_remove(self):
        self.assertEqual(self.install("-Xmx32m", "-Dq=w", "app2"),
                         (0, "name of binary file:%s\nKorvane Repository installed.\n"
                          % self.repohost))
        service = self.prefix.reg_values(winehost.SERVICE_KEY)
        self.assertEqual(service["ImagePath"], ("REG_SZ", '"%s"' % self.repohost))
        self.assertEqual(service["DisplayName"], ("REG_SZ", winehost.DISPLAY_NAME))
        self.assertEqual(service["Start"], ("REG_DWORD", "0x2"))  # SERVICE_AUTO_START
        self.assertEqual(service["Type"], ("REG_DWORD", "0x10"))  # SERVICE_WIN32_OWN_PROCESS
        self.assertEqual(service["DependOnService"][0], "REG_MULTI_SZ")
        # Wine 8 stores bytes of its own after the list's first entry: only that is checked.
        self.assertEqual(service["DependOnService"][1].split("\\0")[0], winehost.DEPENDENCY)
        self.assertEqual(self.prefix.reg_values(winehost.EVENT_SOURCE_KEY),
                         {"EventMessageFile": ("REG_SZ", self.repohost),
                          "TypesSupported": ("REG_DWORD", "0x4")})
        self.assertEqual(self.prefix.reg_values(winehost.PARAMETERS_KEY),
                         {"AppParameters": ("REG_SZ", "-Xmx32m\t-Dq=w\tapp2")})

        self.assertEqual(self.prefix.run([self.repohost, "-r"]),
                         (0, "Korvane Repository removed.\n"))
        self.assertIsNone(self.prefix.reg_values(winehost.SERVICE_KEY))
        self.assertIsNone(self.prefix.reg_values(winehost.EVENT_SOURCE_KEY))

    def test_installed_service_runs_and_remove_stops_it(self):
        self.install("-Xmx32m", "app2", "-Dq=w")
        self.prefix.register_jre(self.jvm_dll)
        if os.path.exists(self.jvm_log):
            os.remove(self.jvm_log)
        self.prefix.restart_session({"TESTJVM_LOG": winehost.windows_path(self.jvm_log),
                                     "TESTJVM_MAIN": "block"})
        # The record is auto-start: the service manager of the new session starts it. It
        # depends on KorvaneRMIRegistry, which does not exist here; Wine 8's service manager
        # neither starts nor checks the dependencies of a service it starts.
        self.assertIsNone(self.prefix.service_state(winehost.DEPENDENCY))
        self.prefix.wait_for_state("RUNNING")
        self.wait_for_log(r"^CallStaticVoidMethod main \[app2\] ")
        self.assertEqual([l.split(" tid=")[0] for l in self.jvm_log_lines()
                          if l.startswith("option ")], ["option -Xmx32m", "option -Dq=w"])

        status, output = self.prefix.run([self.repohost, "-r"])
        self.assertEqual(status, 0)
        self.assertRegex(output, r"^Stopping Korvane Repository\.\.*\nKorvane Repository "
                         r"stopped\.\nKorvane Repository removed\.\n$")
        winehost.wait_until(lambda: not self.prefix.processes("repohost.exe"),
                            "repohost.exe to end")
        self.assertIsNone(self.prefix.reg_values(winehost.SERVICE_KEY))

    def test_failures_name_the_system_error(self):
        status, output = self.prefix.run([self.repohost, "-r"])
        self.assertEqual(status, 0)
        self.assertRegex(output, r"^OpenService failed - .+ \(0x424\)\n$")
        self.assertRegex(self.install("app")[1], r"\nKorvane Repository installed\.\n$")
        status, output = self.install("app")
        self.assertEqual(status, 0)
        self.assertRegex(output, r"^name of binary file:.*\nCreateService failed - .+ \(0x431\)\n$")

if __name__ == "__main__":
    unittest.main()
