"""repohost.exe built with the test event manager (com/korvane/test/EventManager), as the
service KorvaneRepository and in a console under Wine, with the test jvm.dll: the instance is
taken before main, and a stop reaches dispatchSCMEvent(1) on the thread that received it,
attached to the VM for the call, before the run ends."""

import os
import pty
import re
import select
import signal
import unittest

import winehost

EVENT_MANAGER = "com/korvane/test/EventManager"


def calls(lines):
    """(call, tid) of each JVM log line, the JNIEnv dropped."""
    result = []
    for line in lines:
        match = re.match(r"^(.*) tid=(\d+) env=", line)
        if match:
            result.append((match.group(1), int(match.group(2))))
    return result


class BridgeTest(winehost.PrefixTestCase):
    def setUp(self):
        self.prefix.register_jre(self.jvm_dll)
        if os.path.exists(self.jvm_log):
            os.remove(self.jvm_log)

    def assert_dispatched_stop(self, lines):
        """The instance was taken and kept before main; the one dispatch came on a thread of
        its own, attached for the call and detached after it had returned."""
        log = calls(lines)
        names = [call for call, _ in log]
        self.assertLess(names.index("CallStaticObjectMethod getInstance"),
                        names.index("CallStaticVoidMethod main []"))
        self.assertIn("NewGlobalRef object " + EVENT_MANAGER, names)
        launcher = dict(log)["CallStaticVoidMethod main []"]
        dispatches = [(call, tid) for call, tid in log if "dispatchSCMEvent" in call]
        self.assertEqual([call for call, _ in dispatches],
                         ["GetMethodID dispatchSCMEvent (I)V", "CallVoidMethod dispatchSCMEvent 1",
                          "CallVoidMethod-return dispatchSCMEvent 1"])
        thread = dispatches[0][1]
        self.assertNotEqual(thread, launcher)
        on_thread = [call for call, tid in log if tid == thread]
        self.assertEqual(on_thread[0].split(" ")[0], "AttachCurrentThread")
        self.assertEqual(on_thread[-1], "DetachCurrentThread")
        self.assertNotIn("pending-exception", " ".join(names))

    def test_service_stop_reaches_the_event_manager_before_the_service_stops(self):
        p = self.prefix
        p.run(["sc", "create", winehost.SERVICE, "binPath=", '"%s"' % self.repohost], check=True)
        try:
            # dispatchSCMEvent takes a while: the service stops only after it has returned.
            p.restart_session({"TESTJVM_LOG": winehost.windows_path(self.jvm_log),
                               "TESTJVM_MAIN": "block", "TESTJVM_DISPATCH_DELAY_MS": "1500"})
            p.run(["sc", "start", winehost.SERVICE], check=True)
            p.wait_for_state("RUNNING")
            self.wait_for_log(r"^CallStaticVoidMethod main ")
            self.assertNotIn("dispatchSCMEvent", " ".join(self.jvm_log_lines()))
            p.run(["sc", "stop", winehost.SERVICE], check=True)
            self.assertEqual(p.wait_for_state("STOPPED"), ("STOPPED", 0))
            winehost.wait_until(lambda: not p.processes("repohost.exe"), "repohost.exe to end")
            self.assert_dispatched_stop(self.jvm_log_lines())
        finally:
            p.run(["sc", "delete", winehost.SERVICE])

    def test_ctrl_c_in_a_console_reaches_the_event_manager_before_the_host_ends(self):
        env = dict(self.prefix.env, TESTJVM_LOG=winehost.windows_path(self.jvm_log),
                   TESTJVM_MAIN="block", TESTJVM_DISPATCH_DELAY_MS="1500")
        # A terminal of its own as the controlling one: Wine's console then reads a typed ^C
        # and raises CTRL_C_EVENT, as a key press on Windows would.
        # The exit code comes from waitexit, which starts the host in the same console: the
        # wait status of the host's Unix process may be wineserver's SIGKILL after the exit.
        status_file = os.path.join(self.prefix.dir, "exit code")
        pid, master = pty.fork()
        if pid == 0:
            try:
                os.execve(winehost.WINE64, [winehost.WINE64, winehost.WAITEXIT_EXE,
                                            winehost.windows_path(status_file), self.repohost,
                                            "-c"], env)
            finally:
                os._exit(127)
        reaped = []

        def ended():
            # The terminal is drained, so that the host never blocks on its output.
            if select.select([master], [], [], winehost.POLL_SECONDS)[0]:
                try:
                    os.read(master, 4096)
                except OSError:
                    pass
            done, wait_status = os.waitpid(pid, os.WNOHANG)
            if done == pid:
                reaped.append(wait_status)
            return reaped

        try:
            self.wait_for_log(r"^CallStaticVoidMethod main ")
            os.write(master, b"\x03")
            winehost.wait_until(ended, "the host to end after Ctrl+C")
        finally:
            if not reaped:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            os.close(master)
        with open(status_file) as f:
            self.assertEqual(f.read(), "0\n")
        self.assert_dispatched_stop(self.jvm_log_lines())

if __name__ == "__main__":
    unittest.main()
