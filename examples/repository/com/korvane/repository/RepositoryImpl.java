package com.korvane.repository;

import java.util.Arrays;

/**
 * An example main class for the host: it says what it was started with and then serves
 * nothing until the host ends the process.
 */
public final class RepositoryImpl {
    private RepositoryImpl() {}

    public static void main(String[] args) throws InterruptedException {
        Runtime runtime = Runtime.getRuntime();
        System.out.println("Korvane Repository example running in "
                + System.getProperty("java.vm.name") + " " + System.getProperty("java.version"));
        System.out.println("  arguments: " + Arrays.toString(args));
        System.out.println("  working directory: " + System.getProperty("user.dir"));
        System.out.println("  repository.name: " + System.getProperty("repository.name"));
        System.out.println("  heap limit: " + (runtime.maxMemory() >> 20) + " MiB");
        System.out.flush();
        Object forever = new Object();
        synchronized (forever) {
            forever.wait();
        }
    }
}
