// Many runs of the service, each met by concurrent stops, interrogations and console events
// while its launcher takes the launch parameters: every run ends, every report is whole.
#include "fixture.h"

#include <atomic>
#include <thread>

namespace {

const int runs = 300;

bool wholeReport(const SERVICE_STATUS &s) {
    if (s.dwServiceType != SERVICE_WIN32_OWN_PROCESS || s.dwWin32ExitCode != 0 ||
        s.dwServiceSpecificExitCode != 0) {
        return false;
    }
    switch (s.dwCurrentState) {
    case SERVICE_START_PENDING:
        return s.dwControlsAccepted == 0 && s.dwCheckPoint > 0 &&
               (s.dwWaitHint == 3000 || s.dwWaitHint == 0);
    case SERVICE_RUNNING:
        return s.dwControlsAccepted == SERVICE_ACCEPT_STOP && s.dwCheckPoint == 0 &&
               s.dwWaitHint == 0;
    case SERVICE_STOP_PENDING:
        return s.dwControlsAccepted == SERVICE_ACCEPT_STOP && s.dwCheckPoint > 0 &&
               s.dwWaitHint == 0;
    case SERVICE_STOPPED:
        return s.dwCheckPoint == 0 && s.dwWaitHint == 0;
    }
    return false;
}

class Stress : public hosttest::HostTest {};

TEST_F(Stress, ConcurrentStopsInterrogationsAndConsoleEventsEndEveryRun) {
    // No JRE: each launcher takes its inputs and ends at the registry, so that runs follow
    // each other in one process.
    standin::setString(HKEY_LOCAL_MACHINE,
                       "SYSTEM\\CurrentControlSet\\Services\\KorvaneRepository\\Parameters",
                       "AppParameters", "-Xmx64m\t-Dk=v\twrkdir=/\tapp1\tapp2");
    standin::setStartedByServiceManager(true);
    std::atomic<bool> go{false};
    // The running report has been sent when the launcher thread is created.
    standin::onCall("CreateThread", [&] { go = true; });
    for (int run = 0; run < runs; ++run) {
        go = false;
        std::thread host([] {
            char program[] = "repohost";
            char *argv[] = {program, nullptr};
            hostMain(1, argv);
        });
        std::vector<std::thread> others;
        auto whenRunning = [&](std::function<void()> action) {
            others.emplace_back([&go, action] {
                while (!go) {
                    std::this_thread::yield();
                }
                action();
            });
        };
        whenRunning([] { standin::sendServiceControl(SERVICE_CONTROL_STOP); });
        whenRunning([] { shutdownHost(); });
        whenRunning([] {
            for (int i = 0; i < 5; ++i) {
                standin::sendServiceControl(SERVICE_CONTROL_INTERROGATE);
            }
        });
        whenRunning([] {
            consoleControlHandler(CTRL_C_EVENT);
            consoleControlHandler(CTRL_SHUTDOWN_EVENT);
        });
        host.join();
        // A run that ended before its launcher started still releases the others.
        go = true;
        for (std::thread &other : others) {
            other.join();
        }
        ASSERT_EQ(jvmOptions.strings, nullptr) << "run " << run;
        ASSERT_EQ(appArguments.strings, nullptr) << "run " << run;
        ASSERT_EQ(stopEvent, nullptr) << "run " << run;
    }
    standin::onCall("CreateThread", nullptr);
    // Across the runs the states follow each other as the manager expects: no report goes
    // back to an earlier state of its run. An interrogation answered at the end re-reports
    // stopped, so a run may end with more than one.
    auto follows = [](DWORD previous, DWORD next) {
        switch (previous) {
        case SERVICE_START_PENDING:
            return next != SERVICE_STOP_PENDING;
        case SERVICE_RUNNING:
            return next != SERVICE_START_PENDING;
        case SERVICE_STOP_PENDING:
            return next == SERVICE_STOP_PENDING || next == SERVICE_STOPPED;
        default:
            return next == SERVICE_STOPPED || next == SERVICE_START_PENDING;
        }
    };
    std::vector<SERVICE_STATUS> sent = standin::statusReports();
    int ended = 0;
    DWORD previous = SERVICE_STOPPED;
    for (const SERVICE_STATUS &s : sent) {
        EXPECT_TRUE(wholeReport(s))
            << "state " << s.dwCurrentState << " accepted " << s.dwControlsAccepted
            << " checkpoint " << s.dwCheckPoint << " wait " << s.dwWaitHint;
        EXPECT_TRUE(follows(previous, s.dwCurrentState))
            << previous << " then " << s.dwCurrentState;
        ended += previous != SERVICE_STOPPED && s.dwCurrentState == SERVICE_STOPPED;
        previous = s.dwCurrentState;
    }
    EXPECT_EQ(ended, runs);
    EXPECT_EQ(previous, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(standin::badHandleUses(), 0);
}

} // namespace
