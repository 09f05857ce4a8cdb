package com.korvane.repository.client;

import com.korvane.repository.Repository;
import java.rmi.registry.LocateRegistry;
import java.util.ArrayList;
import java.util.List;

/**
 * A client of the Korvane Repository. Arguments: the RMI registry's port, the name the server
 * is bound as, the number of threads (default 1) and the rounds each thread makes (default 3).
 *
 * <p>It looks the server up in the registry on this machine, prints the server's description,
 * then each thread t, round i, calls put("t&lt;t&gt;/k&lt;i % 5&gt;", "t&lt;t&gt;-&lt;i&gt;")
 * and get of the same key, and prints one line per call with its reply:
 * {@code t0 put(t0/k1, t0-6) -> t0-1}, {@code t0 get(t0/k1) -> t0-6}. A call that fails prints
 * {@code t0 put(t0/k1, t0-6) !! <exception>}; the exit status is then 1.
 */
public final class RepositoryClient {
    private static final int KEYS = 5;

    private RepositoryClient() {}

    public static void main(String[] args) throws Exception {
        if (args.length < 2) {
            System.err.println("usage: RepositoryClient <registry port> <name> [threads [rounds]]");
            System.exit(2);
        }
        int port = Integer.parseInt(args[0]);
        String name = args[1];
        int threads = args.length > 2 ? Integer.parseInt(args[2]) : 1;
        final int rounds = args.length > 3 ? Integer.parseInt(args[3]) : 3;

        final Repository repository =
                (Repository) LocateRegistry.getRegistry("127.0.0.1", port).lookup(name);
        for (String line : repository.describe().split("\n")) {
            System.out.println("describe -> " + line);
        }

        final boolean[] failed = new boolean[threads];
        List<Thread> workers = new ArrayList<>();
        for (int t = 0; t < threads; ++t) {
            final int index = t;
            Thread worker = new Thread(() -> failed[index] = !calls(repository, index, rounds),
                    "client-" + t);
            worker.start();
            workers.add(worker);
        }
        boolean ok = true;
        for (int t = 0; t < threads; ++t) {
            workers.get(t).join();
            ok &= !failed[t];
        }
        System.out.flush();
        System.exit(ok ? 0 : 1);
    }

    /** One thread's calls; false when one of them failed. */
    private static boolean calls(Repository repository, int thread, int rounds) {
        String prefix = "t" + thread;
        for (int i = 0; i < rounds; ++i) {
            String key = prefix + "/k" + (i % KEYS);
            String value = prefix + "-" + i;
            String call = prefix + " put(" + key + ", " + value + ")";
            try {
                print(call + " -> " + repository.put(key, value));
                call = prefix + " get(" + key + ")";
                print(call + " -> " + repository.get(key));
            } catch (Exception e) {
                print(call + " !! " + e);
                return false;
            }
        }
        return true;
    }

    private static void print(String line) {
        // One println per line: lines of different threads never mix.
        System.out.println(line);
    }
}
