package com.korvane.repository;

import com.korvane.test.FixtureOutput;

/**
 * The main class the host runs. It reports (see FixtureOutput) what it was started with:
 * args=null (only when args is null), started, argc=n, one arg=text per argument, user.dir, k,
 * maxMemory, thread, and "prop name=value" for each name in the comma list fixture.props. Then
 * it acts by fixture.mode: return (the default: "returning", returns), block ("blocking",
 * never returns), throw ("throwing", throws a RuntimeException), thread (starts a non-daemon
 * thread that reports "worker" and blocks, then reports "returning" and returns).
 */
public final class RepositoryImpl {
    private RepositoryImpl() {
    }

    public static void main(String[] args) {
        if (args == null) {
            FixtureOutput.line("args=null");
        }
        FixtureOutput.line("started");
        FixtureOutput.line("argc=" + (args == null ? 0 : args.length));
        if (args != null) {
            for (String arg : args) {
                FixtureOutput.line("arg=" + arg);
            }
        }
        FixtureOutput.line("user.dir=" + System.getProperty("user.dir"));
        FixtureOutput.line("k=" + System.getProperty("k"));
        FixtureOutput.line("maxMemory=" + Runtime.getRuntime().maxMemory());
        FixtureOutput.line("thread=" + Thread.currentThread().getName());
        String props = System.getProperty("fixture.props", "");
        for (String name : props.split(",")) {
            if (!name.isEmpty()) {
                FixtureOutput.line("prop " + name + "=" + System.getProperty(name));
            }
        }

        String mode = System.getProperty("fixture.mode", "return");
        switch (mode) {
        case "return":
            FixtureOutput.line("returning");
            return;
        case "block":
            FixtureOutput.line("blocking");
            sleepForever();
            return;
        case "throw":
            FixtureOutput.line("throwing");
            throw new RuntimeException("main fixture throws");
        case "thread":
            Thread worker = new Thread(() -> {
                FixtureOutput.line("worker");
                sleepForever();
            }, "fixture-worker");
            worker.setDaemon(false);
            worker.start();
            FixtureOutput.line("returning");
            return;
        default:
            FixtureOutput.line("unknown fixture.mode " + mode);
            return;
        }
    }

    private static void sleepForever() {
        for (;;) {
            try {
                Thread.sleep(60_000L);
            } catch (InterruptedException e) {
                // Blocks on: only the end of the process ends it.
            }
        }
    }
}
