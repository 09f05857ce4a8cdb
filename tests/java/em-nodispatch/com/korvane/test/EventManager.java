package com.korvane.test;

/** An event manager without dispatchSCMEvent(int): its dispatchSCMEvent takes a long. */
public final class EventManager {
    private static final EventManager INSTANCE = new EventManager();

    private EventManager() {
    }

    public static EventManager getInstance() {
        return INSTANCE;
    }

    public void dispatchSCMEvent(long code) {
        FixtureOutput.line("event long " + code);
    }
}
