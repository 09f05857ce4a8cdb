"""Where the imports of the JRE's runtime library come from, under Wine's loader: a JRE laid out
as jre\\bin\\server\\jvm.dll, whose jvm.dll (the test JVM built with a companion) imports
jvmdep.dll, which a JRE keeps in jre\\bin as it keeps its C runtime DLL there. The companion
writes "jvmdep loaded <its path>" to the JVM log when it is loaded."""

import os
import shutil
import subprocess
import tempfile
import unittest

import winehost

COMPANION_JVM_DLL = os.path.join(winehost.BUILD_DIR, "testjvm", "companion", "jvm.dll")
JVMDEP_DLL = os.path.join(winehost.BUILD_DIR, "testjvm", "jvmdep.dll")
RUNNING = "Running Korvane Repository.\n"


class DllSearchTest(winehost.PrefixTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        for path in (COMPANION_JVM_DLL, JVMDEP_DLL):
            if not os.path.exists(path):
                raise AssertionError("no %s (build the windows-%s preset)" % (path, winehost.ARCH))
        cls.jre_bin = os.path.join(cls.prefix.dir, "jre", "bin")
        os.makedirs(os.path.join(cls.jre_bin, "server"))
        shutil.copy(COMPANION_JVM_DLL, os.path.join(cls.jre_bin, "server"))
        cls.work_dir = os.path.join(cls.prefix.dir, "work dir")
        os.mkdir(cls.work_dir)
        cls.folders = {"bin": cls.jre_bin, "wrkdir": cls.work_dir}

    def launch(self, runtime_lib, companions):
        """Runs `repohost -c wrkdir=<work dir>` with jvmdep.dll in the named folders ("bin",
        "wrkdir") until the launch has ended in main or in a failed load; gives the host's
        output and the companion's lines of the JVM log."""
        for name, folder in self.folders.items():
            target = os.path.join(folder, "jvmdep.dll")
            if name in companions:
                shutil.copy(JVMDEP_DLL, target)
            elif os.path.exists(target):
                os.remove(target)
        if os.path.exists(self.jvm_log):
            os.remove(self.jvm_log)
        self.prefix.register_jre(runtime_lib)
        env = dict(self.prefix.env, TESTJVM_LOG=winehost.windows_path(self.jvm_log),
                   TESTJVM_MAIN="return")
        with tempfile.TemporaryFile(dir=self.prefix.dir) as out:
            host = subprocess.Popen(
                [winehost.WINE64, self.repohost, "-c",
                 "wrkdir=" + winehost.windows_path(self.work_dir)],
                env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL)

            def output():
                out.seek(0)
                return winehost.text_of(out.read())

            try:
                winehost.wait_until(
                    lambda: "Error loading" in output() or any(
                        l.startswith("DestroyJavaVM") for l in self.jvm_log_lines()),
                    "main to return or the load to fail")
                # The host runs on after either; it has nothing more to say.
                self.assertIsNone(host.poll())
            finally:
                host.kill()
                host.wait(timeout=winehost.COMMAND_SECONDS)
            text = output()
        loaded = [l for l in self.jvm_log_lines() if l.startswith("jvmdep loaded ")]
        main = [l.split(" tid=")[0] for l in self.jvm_log_lines()
                if l.startswith("CallStaticVoidMethod")]
        print("\n[%s] RuntimeLib=%s jvmdep.dll in %s\n  host output: %r\n  JVM log: %r\n  main: %r"
              % (winehost.ARCH, runtime_lib, "+".join(companions), text, loaded, main))
        return text, loaded, main

    def companion_in(self, folder):
        return "jvmdep loaded " + winehost.windows_path(os.path.join(folder, "jvmdep.dll"))

    def test_imports_come_from_the_jres_bin_folder_and_never_from_the_working_directory(self):
        runtime_lib = winehost.windows_path(os.path.join(self.jre_bin, "server", "jvm.dll"))
        runs_main = ["CallStaticVoidMethod main []"]
        from_bin = [self.companion_in(self.jre_bin)]
        cases = [
            ("companion only in bin", runtime_lib, ["bin"], RUNNING, from_bin, runs_main),
            ("RuntimeLib with slashes", runtime_lib.replace("\\", "/"), ["bin"], RUNNING,
             from_bin, runs_main),
            ("companion only in wrkdir", runtime_lib, ["wrkdir"],
             RUNNING + "Error loading: %s\n\n" % runtime_lib, [], []),
            ("copies in both", runtime_lib, ["bin", "wrkdir"], RUNNING, from_bin, runs_main),
        ]
        for name, lib, companions, output, loaded, main in cases:
            with self.subTest(name):
                self.assertEqual(self.launch(lib, companions), (output, loaded, main))


if __name__ == "__main__":
    unittest.main()
