"""The control-event bridge of a host built with the test event manager class, with a real
OpenJDK 17 JVM: which codes reach dispatchSCMEvent for each cause, in which order, on which
threads, and what each failure of the Java side logs."""

import re
import unittest

import harness

GETINSTANCE_CALL = "Cannot call SCMEventManager.getInstance."


def events(run):
    """The codes dispatchSCMEvent received, in the order of their begin lines."""
    return [int(m.group(1)) for m in
            (re.match(r"^event (\d+) thread=.* begin$", line) for line in run.fixture_lines())
            if m]


class BridgeTest(unittest.TestCase):
    def start(self, run, service=False, variant="em-ok", mode="block", **properties):
        run.register_jre(harness.REAL_JVM_LIB)
        options = run.fixture_options(variant, fixture_mode=mode, **properties)
        if service:
            run.set_values(r"SYSTEM\CurrentControlSet\Services\KorvaneRepository\Parameters",
                           AppParameters="\t".join(options))
            run.start_host([], service=True)
        else:
            run.start_host(["-c"] + options)
        run.wait_for("^blocking$" if mode == "block" else "^returning$", run.fixture_out)

    def log_text(self, run, service):
        if not service:
            return run.stdout_text()
        return "".join(line.split(" ", 3)[3].replace("KorvaneRepository: ", "", 1) + "\n"
                       for line in run.trace_lines() if line.startswith("event "))

    def test_codes_for_each_cause(self):
        # (mode, what is sent, codes received, whether the run ends)
        cases = [
            ("service", ["service 1"], [1], True),
            ("console", ["console 0"], [1], True),
            ("service", ["console 0", "console 1"], [], False),
            ("console", ["console 1"], [], False),
            ("console", ["console 2"], [3, 1], True),
            ("service", ["console 2"], [3], False),
            ("console", ["console 5"], [4, 1], True),
            ("service", ["console 5"], [4], False),
            ("console", ["console 6"], [2, 1], True),
            ("service", ["console 6"], [2, 1], True),
        ]
        for mode, sent, codes, ends in cases:
            with self.subTest(mode=mode, sent=sent), harness.Run() as run:
                self.start(run, service=mode == "service")
                for line in sent:
                    run.send(line)
                    kind = line.split()[0]
                    run.wait_for("^%s %s " % ("control" if kind == "service" else "console",
                                              line.split()[1]), run.trace)
                if ends:
                    self.assertEqual(run.wait_exit(), 0)
                else:
                    run.wait_for(lambda lines: len(events(run)) >= len(codes), run.fixture_out)
                    self.assertTrue(run.running())
                self.assertEqual(events(run), codes)
                # Every dispatch that began has ended before the run did.
                self.assertEqual(len([l for l in run.fixture_lines() if l.endswith(" end")]),
                                 len(codes))
                self.assertEqual(self.log_text(run, mode == "service"), "" if mode == "service"
                                 else "Running Korvane Repository.\n")

    def test_the_stop_waits_for_dispatch_to_return(self):
        with harness.Run() as run:
            self.start(run, fixture_em_delay="700")
            run.send("console 0")
            self.assertEqual(run.wait_exit(), 0)
            self.assertEqual(run.fixture_lines()[-1], "event 1 end")

    def test_two_dispatches_at_once_each_on_its_own_thread(self):
        with harness.Run() as run:
            self.start(run, service=True, fixture_em_delay="1500")
            run.send("console 2")
            run.wait_for("^event 3 thread=.* begin$", run.fixture_out)
            run.send("service 1")
            self.assertEqual(run.wait_exit(), 0)
            lines = run.fixture_lines()
            begins = [i for i, l in enumerate(lines) if l.endswith(" begin")]
            ends = [i for i, l in enumerate(lines) if l.endswith(" end")]
            # Both began before either ended: they ran at the same time.
            self.assertEqual(len(begins), 2)
            self.assertLess(max(begins), min(ends))
            threads = {re.search(r"thread=(.*) begin", lines[i]).group(1) for i in begins}
            self.assertEqual(len(threads), 2)
            self.assertNotIn("main", threads)

    def test_failures_of_the_set_up(self):
        cases = [
            ("em-ok", {"fixture_em": "null"}, GETINSTANCE_CALL),
            ("em-ok", {"fixture_em": "throw"}, GETINSTANCE_CALL),
            ("em-wrongtype", {}, "Cannot find SCMEventManager.getInstance."),
            ("app", {}, "JNI error finding SCMEventManager."),
        ]
        for variant, properties, line in cases:
            with self.subTest(variant=variant, **properties), harness.Run() as run:
                self.start(run, variant=variant, **properties)
                self.assertIn("started", run.fixture_lines())
                run.send("console 0")
                self.assertEqual(run.wait_exit(), 0)
                self.assertEqual(run.stdout_text(),
                                 "Running Korvane Repository.\n" + line + "\n")
                self.assertEqual(events(run), [])

    def test_inherited_dispatch_is_found(self):
        with harness.Run() as run:
            self.start(run, variant="em-inherited")
            run.send("console 6")
            self.assertEqual(run.wait_exit(), 0)
            self.assertEqual(events(run), [2, 1])

    def test_a_manager_without_dispatch_logs_at_every_dispatch(self):
        with harness.Run() as run:
            self.start(run, variant="em-nodispatch")
            run.send("console 2")
            self.assertEqual(run.wait_exit(), 0)
            self.assertEqual(run.stdout_text(), "Running Korvane Repository.\n"
                             + "JNI error Cannot get dispatchSCMEvent method\n" * 2)

    def test_a_dispatch_that_throws_is_logged_and_the_shutdown_goes_on(self):
        with harness.Run() as run:
            self.start(run, fixture_em="dispatchthrows")
            run.send("console 6")
            self.assertEqual(run.wait_exit(), 0)
            self.assertEqual(events(run), [2, 1])
            self.assertEqual(run.stdout_text(), "Running Korvane Repository.\n"
                             + "Cannot get dispatchSCMEvent method\n" * 2)

    def test_after_main_returned_no_dispatch_touches_the_vm(self):
        with harness.Run() as run:
            self.start(run, mode="return")
            run.send("console 6")
            self.assertEqual(run.wait_exit(), 0)
            # Whether main's return had reached the VM's destruction or not, the stop ends the
            # run; a dispatch that came in time ran whole.
            codes = events(run)
            self.assertIn(codes, ([], [2, 1]))


if __name__ == "__main__":
    unittest.main()
