package com.korvane.repository;

import java.rmi.RemoteException;
import java.rmi.registry.LocateRegistry;
import java.rmi.registry.Registry;
import java.rmi.server.UnicastRemoteObject;
import java.util.concurrent.ConcurrentHashMap;

/**
 * The Korvane Repository server, the main class that repohost runs. Arguments: the RMI
 * registry's port (default 1099) and the name to bind (default KorvaneRepository).
 *
 * <p>main exports the repository, binds its stub in the registry, prints one line and returns.
 * The exported object keeps the RMI runtime's non-daemon threads alive, so the VM serves calls
 * until the process ends; the host's launcher thread waits in DestroyJavaVM meanwhile.
 */
public final class RepositoryImpl implements Repository {
    public static final int DEFAULT_PORT = Registry.REGISTRY_PORT;
    public static final String DEFAULT_NAME = "KorvaneRepository";

    /** The exported object, held for the life of the VM. */
    private static RepositoryImpl served;

    private final ConcurrentHashMap<String, String> entries = new ConcurrentHashMap<>();
    private final String name;

    private RepositoryImpl(String name) {
        this.name = name;
    }

    @Override
    public String put(String key, String value) {
        return entries.put(key, value);
    }

    @Override
    public String get(String key) {
        return entries.get(key);
    }

    @Override
    public String describe() {
        return "name: " + name + "\n"
                + "repository.name: " + System.getProperty("repository.name") + "\n"
                + "vm: " + System.getProperty("java.vm.name") + " "
                + System.getProperty("java.vm.version") + "\n"
                + "working directory: " + System.getProperty("user.dir") + "\n"
                + "heap limit: " + (Runtime.getRuntime().maxMemory() >> 20) + " MiB\n"
                + "entries: " + entries.size();
    }

    public static void main(String[] args) throws RemoteException {
        int port = args.length > 0 ? Integer.parseInt(args[0]) : DEFAULT_PORT;
        String name = args.length > 1 ? args[1] : DEFAULT_NAME;
        RepositoryImpl repository = new RepositoryImpl(name);
        Repository stub = (Repository) UnicastRemoteObject.exportObject(repository, 0);
        // A registry accepts bindings from its own machine alone: it is reached on the loopback.
        Registry registry = LocateRegistry.getRegistry("127.0.0.1", port);
        registry.rebind(name, stub);
        served = repository;
        System.out.println("Korvane Repository bound as " + name + " in the RMI registry at port "
                + port);
    }
}
