package com.korvane.test;

/**
 * The event manager. getInstance acts by the system property fixture.em: ok (the default),
 * null (returns null), throw (throws); dispatchSCMEvent reports "event code thread=name begin",
 * waits fixture.em.delay ms and reports "event code end" (fixture.em=dispatchthrows: throws
 * after the begin line).
 */
public final class EventManager {
    private static final EventManager INSTANCE = new EventManager();

    private EventManager() {
    }

    public static EventManager getInstance() {
        String mode = System.getProperty("fixture.em", "ok");
        if ("null".equals(mode)) {
            return null;
        }
        if ("throw".equals(mode)) {
            throw new IllegalStateException("getInstance fixture throws");
        }
        return INSTANCE;
    }

    public void dispatchSCMEvent(int code) {
        FixtureOutput.dispatch(code);
    }
}
