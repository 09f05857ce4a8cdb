package com.korvane.test;

/** An event manager whose getInstance is declared to return Object, not EventManager. */
public final class EventManager {
    private EventManager() {
    }

    public static Object getInstance() {
        return new EventManager();
    }

    public void dispatchSCMEvent(int code) {
        FixtureOutput.dispatch(code);
    }
}
