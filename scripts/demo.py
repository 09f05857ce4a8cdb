"""The main job of the native host, shown step by step: a console run of the Java program in a
real OpenJDK 17 JVM found through the registry, ended by Ctrl+C; then the same program as a
service of the stand-in's service manager, with its launch parameters in AppParameters."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
import harness  # noqa: E402

PARAMETERS = r"SYSTEM\CurrentControlSet\Services\KorvaneRepository\Parameters"


def show(title, lines):
    print("  " + title)
    for line in lines:
        print("    | " + line)


EXAMPLE = os.environ["REPOHOST_EXAMPLE_CLASSES"]

with harness.Run("repohost-demo-") as run:
    print("example: repohost -c wrkdir=<dir> -Xmx64m -Drepository.name=demo "
          "-Djava.class.path=<example> alpha beta")
    run.register_jre(harness.REAL_JVM_LIB)
    run.start_host(["-c", "wrkdir=" + run.dir, "-Xmx64m", "-Drepository.name=demo",
                    "-Djava.class.path=" + EXAMPLE, "alpha", "beta"])
    run.wait_for("heap limit", run.stdout)
    show("standard output of the host and the Java program:", run.stdout_text().splitlines())
    run.send("console 0")
    print("  Ctrl+C -> exit status %d" % run.wait_exit())

with harness.Run("repohost-demo-") as run:
    print("console: repohost -c wrkdir=<dir> -Xmx64m -Dk=v <fixture options> app1 -i")
    run.register_jre(harness.REAL_JVM_LIB)
    run.start_host(["-c", "wrkdir=" + run.dir, "-Xmx64m", "-Dk=v"]
                   + run.fixture_options("app", fixture_mode="block") + ["app1", "-i"])
    run.wait_for("^blocking$", run.fixture_out)
    show("standard output of the host:", run.stdout_text().splitlines())
    show("what Java main saw:", run.fixture_lines())
    run.send("console 0")
    print("  Ctrl+C -> exit status %d" % run.wait_exit())

with harness.Run("repohost-demo-") as run:
    print("service: AppParameters = -Xmx64m<TAB><fixture options><TAB>svc1")
    run.register_jre(harness.REAL_JVM_LIB)
    options = ["-Xmx64m"] + run.fixture_options("app", fixture_mode="block") + ["svc1"]
    run.set_values(PARAMETERS, AppParameters="\t".join(options))
    run.start_host([], service=True)
    run.wait_for("^blocking$", run.fixture_out)
    show("what Java main saw:", run.fixture_lines()[:3])
    run.send("service 1")
    code = run.wait_exit()
    show("status reports (state accepted exit specific checkpoint wait):",
         [line for line in run.trace_lines() if line.startswith("status ")])
    print("  stop control -> exit status %d" % code)
