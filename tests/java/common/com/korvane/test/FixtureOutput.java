package com.korvane.test;

import java.io.FileOutputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;

/**
 * Where the fixtures report: the file named by the system property fixture.out, one line per
 * call, appended and flushed at once; stdout when the property is unset.
 */
public final class FixtureOutput {
    private FixtureOutput() {
    }

    public static synchronized void line(String text) {
        String path = System.getProperty("fixture.out");
        if (path == null) {
            System.out.println(text);
            System.out.flush();
            return;
        }
        byte[] bytes = (text + "\n").getBytes(StandardCharsets.UTF_8);
        try (OutputStream out = new FileOutputStream(path, true)) {
            out.write(bytes);
            out.flush();
        } catch (IOException e) {
            throw new RuntimeException("cannot write " + path, e);
        }
    }

    /** The body of dispatchSCMEvent(int) of the event managers. */
    public static void dispatch(int code) {
        line("event " + code + " thread=" + Thread.currentThread().getName() + " begin");
        if ("dispatchthrows".equals(System.getProperty("fixture.em"))) {
            throw new IllegalStateException("dispatchSCMEvent fixture throws");
        }
        long delay = Long.getLong("fixture.em.delay", 0L);
        if (delay > 0) {
            try {
                Thread.sleep(delay);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }
        line("event " + code + " end");
    }
}
