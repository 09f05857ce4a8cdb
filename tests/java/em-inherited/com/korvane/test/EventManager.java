package com.korvane.test;

/** An event manager that inherits dispatchSCMEvent(int) from its base class. */
public final class EventManager extends EventManagerBase {
    private static final EventManager INSTANCE = new EventManager();

    private EventManager() {
    }

    public static EventManager getInstance() {
        return INSTANCE;
    }
}
