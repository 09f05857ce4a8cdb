"""The main job of the native host, shown step by step: the JDK's rmiregistry; the example RMI
server run by the host in a real OpenJDK 17 JVM found through the registry; the example's client
calling it; jcmd attached to the JVM; Ctrl+C. Then console and service runs of the test program,
the latter with its launch parameters in AppParameters."""

import os
import signal
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
import harness  # noqa: E402

PARAMETERS = r"SYSTEM\CurrentControlSet\Services\KorvaneRepository\Parameters"


def show(title, lines):
    print("  " + title)
    for line in lines:
        print("    | " + line)


def stop_on_signal(signum, frame):
    # SIGTERM and SIGHUP end the demo through the same clean-up as an error: every process it
    # started is stopped.
    sys.exit(128 + signum)


for number in (signal.SIGTERM, signal.SIGHUP):
    signal.signal(number, stop_on_signal)

NAME = "KorvaneRepository"
SERVER = harness.example_dir("repository")

with harness.Run("repohost-demo-rmiregistry-") as registry, \
        harness.Run("repohost-demo-") as run:
    port = harness.free_port()
    print("RMI registry: CLASSPATH=<example server> rmiregistry "
          "-J-Djava.rmi.server.hostname=127.0.0.1 %d" % port)
    registry.start_rmiregistry(port)
    print("  listening at port %d" % port)

    print("server: repohost -c wrkdir=<dir> -Xmx64m -Drepository.name=demo "
          "-Djava.rmi.server.hostname=127.0.0.1 -Djava.class.path=<example server> %d %s"
          % (port, NAME))
    run.register_jre(harness.REAL_JVM_LIB)
    run.start_host(["-c", "wrkdir=" + run.dir, "-Xmx64m", "-Drepository.name=demo",
                    "-Djava.rmi.server.hostname=" + harness.LOOPBACK,
                    "-Djava.class.path=" + SERVER, str(port), NAME])
    run.wait_for("bound as", run.stdout)
    show("standard output of the host and the server:",
         run.stdout_text().splitlines())

    print("client: java -cp <example server>:<example client> %s %d %s 2 3"
          % ("com.korvane.repository.client.RepositoryClient", port, NAME))
    client = harness.example_client(port, NAME, 2, 3)
    show("its calls and replies (exit status %d):" % client.returncode,
         client.stdout.splitlines() + client.stderr.splitlines())

    pid = str(run.process.pid)
    properties = harness.run_tool([harness.JCMD, pid, "VM.system_properties"])
    show("jcmd %s VM.system_properties (attached to the JVM inside the host), a few:" % pid,
         [line for line in properties.stdout.splitlines()
          if line.startswith(("repository.name=", "java.rmi.server.hostname=", "user.dir="))]
         + properties.stderr.splitlines())
    dump = harness.run_tool([harness.JCMD, pid, "Thread.print"])
    # The launcher thread, "main", waits in DestroyJavaVM: main has returned, no Java frame is
    # left on it. The RMI runtime's threads serve.
    entries = dump.stdout.split("\n\n")
    show("jcmd %s Thread.print, the entry of main and the threads of RMI:" % pid,
         [line for entry in entries if entry.startswith('"main"') for line in entry.splitlines()]
         + [entry.splitlines()[0] for entry in entries if entry.startswith('"RMI')]
         + dump.stderr.splitlines())

    run.send("console 0")
    print("  Ctrl+C -> exit status %d" % run.wait_exit())
print("  the RMI registry is stopped: %s" % ("yes" if not registry.running() else "NO"))

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
