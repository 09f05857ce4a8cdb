package com.korvane.test;

/** Declares the dispatchSCMEvent(int) that EventManager inherits. */
public class EventManagerBase {
    protected EventManagerBase() {
    }

    public void dispatchSCMEvent(int code) {
        FixtureOutput.dispatch(code);
    }
}
