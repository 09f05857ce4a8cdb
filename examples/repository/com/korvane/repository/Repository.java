package com.korvane.repository;

import java.rmi.Remote;
import java.rmi.RemoteException;

/**
 * The remote interface of the Korvane Repository: a store of text values by key. Clients find
 * the server's stub in the RMI registry and call it through this interface; the registry needs
 * the interface on its class path to hold the stub.
 */
public interface Repository extends Remote {
    /** Stores {@code value} under {@code key}; returns the value it replaces, or null. */
    String put(String key, String value) throws RemoteException;

    /** The value stored under {@code key}, or null. */
    String get(String key) throws RemoteException;

    /**
     * Where and how the server runs, one "name: value" line each: the name under which it is
     * bound, the system property repository.name, the VM, the working directory, the heap
     * limit and the number of entries.
     */
    String describe() throws RemoteException;
}
