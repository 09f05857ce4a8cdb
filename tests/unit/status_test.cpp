// Status reports and the log routine, in service mode and in console mode.
#include "fixture.h"

#include <thread>

namespace {

using hosttest::loggedLines;
using Lines = std::vector<std::string>;

class Status : public hosttest::HostTest {
  protected:
    // The reports that `body` made, without the stopped report that ends the run.
    std::vector<SERVICE_STATUS> reportsOf(std::function<void()> body) {
        hosttest::runAsService(std::move(body));
        std::vector<SERVICE_STATUS> sent = standin::statusReports();
        EXPECT_FALSE(sent.empty());
        if (!sent.empty()) {
            sent.pop_back();
        }
        return sent;
    }
};

TEST_F(Status, ConsoleModeSucceedsWithoutReporting) {
    consoleMode = 1;
    EXPECT_TRUE(reportServiceStatus(SERVICE_START_PENDING, 0, 3000));
    EXPECT_TRUE(reportServiceStatus(SERVICE_RUNNING, 0, 0));
    EXPECT_EQ(standin::callCount("SetServiceStatus"), 0u);
    EXPECT_EQ(checkpointCounter, 1u);
    EXPECT_EQ(serviceStatus.dwCurrentState, 0u);
}

TEST_F(Status, ConsoleModeLogsToStandardOutputWithALineFeed) {
    consoleMode = 1;
    testing::internal::CaptureStdout();
    logMessage("first");
    logMessage("ends in a line feed\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "first\nends in a line feed\n\n");
    EXPECT_TRUE(standin::eventLog().empty());
    EXPECT_EQ(standin::callCount("RegisterEventSourceA"), 0u);
}

TEST_F(Status, ServiceModeLogsOneInformationEventPerLine) {
    logMessage("Cannot create Java VM.\n");
    std::vector<standin::EventRecord> log = standin::eventLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].source, "KorvaneRepository");
    EXPECT_EQ(log[0].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(log[0].category, 0);
    EXPECT_EQ(log[0].id, 0x40000001u);
    EXPECT_FALSE(log[0].hasSid);
    EXPECT_EQ(log[0].dataSize, 0u);
    EXPECT_EQ(log[0].strings, Lines{"KorvaneRepository: Cannot create Java VM.\n"});
    EXPECT_EQ(standin::openEventSources(), 0);
}

TEST_F(Status, DropsTheLineWhenNoEventSourceCanBeRegistered) {
    standin::failCall("RegisterEventSourceA", ERROR_ACCESS_DENIED);
    logMessage("lost");
    logMessage("kept");
    EXPECT_EQ(loggedLines(), Lines{"kept"});
}

TEST_F(Status, TakesCheckpointsForPendingStatesOnly) {
    struct Report {
        DWORD state, exitCode, waitHint;
        SERVICE_STATUS expected;
    } reports[] = {
        {SERVICE_START_PENDING, 0, 3000, {0x10, SERVICE_START_PENDING, 0, 0, 0, 1, 3000}},
        {SERVICE_START_PENDING, 0, 3000, {0x10, SERVICE_START_PENDING, 0, 0, 0, 2, 3000}},
        {SERVICE_RUNNING, 0, 0, {0x10, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0}},
        {SERVICE_STOP_PENDING, 0, 0, {0x10, SERVICE_STOP_PENDING, SERVICE_ACCEPT_STOP, 0, 0, 3, 0}},
        {SERVICE_STOPPED, 7, 0, {0x10, SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 7, 0, 0, 0}},
        // The counter is never reset.
        {SERVICE_START_PENDING, 0, 0, {0x10, SERVICE_START_PENDING, 0, 0, 0, 4, 0}},
    };
    std::vector<SERVICE_STATUS> sent = reportsOf([&] {
        serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        for (const Report &report : reports) {
            reportServiceStatus(report.state, report.exitCode, report.waitHint);
        }
    });
    ASSERT_EQ(sent.size(), sizeof reports / sizeof reports[0]);
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(memcmp(&sent[i], &reports[i].expected, sizeof(SERVICE_STATUS)), 0)
            << "report " << i << ": state " << sent[i].dwCurrentState << " checkpoint "
            << sent[i].dwCheckPoint;
    }
}

TEST_F(Status, LogsARefusedReportAndKeepsItsValues) {
    reportsOf([] {
        standin::failCall("SetServiceStatus", ERROR_INVALID_HANDLE);
        EXPECT_FALSE(reportServiceStatus(SERVICE_START_PENDING, 0, 3000));
    });
    EXPECT_EQ(loggedLines(), Lines{"SetServiceStatus"});
    EXPECT_EQ(serviceStatus.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
    EXPECT_EQ(serviceStatus.dwCheckPoint, 1u);
}

TEST_F(Status, ConcurrentReportsNeverShareACheckpoint) {
    const int perThread = 200;
    std::vector<SERVICE_STATUS> sent = reportsOf([] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([t] {
                for (int i = 0; i < perThread; ++i) {
                    reportServiceStatus(t % 2 == 0 ? SERVICE_START_PENDING : SERVICE_RUNNING,
                                        static_cast<DWORD>(t), static_cast<DWORD>(t));
                }
            });
        }
        for (std::thread &thread : threads) {
            thread.join();
        }
    });
    ASSERT_EQ(sent.size(), 4u * perThread);
    std::vector<bool> seen(2 * perThread + 2, false);
    for (const SERVICE_STATUS &s : sent) {
        // Every report is whole: the fields of one call, never a mix of two.
        bool pending = s.dwCurrentState == SERVICE_START_PENDING;
        EXPECT_EQ(s.dwWin32ExitCode % 2, pending ? 0u : 1u);
        EXPECT_EQ(s.dwWaitHint, s.dwWin32ExitCode);
        EXPECT_EQ(s.dwControlsAccepted, pending ? 0u : static_cast<DWORD>(SERVICE_ACCEPT_STOP));
        if (pending) {
            ASSERT_LT(s.dwCheckPoint, seen.size());
            EXPECT_FALSE(seen[s.dwCheckPoint]) << "checkpoint " << s.dwCheckPoint << " twice";
            seen[s.dwCheckPoint] = true;
        } else {
            EXPECT_EQ(s.dwCheckPoint, 0u);
        }
    }
}

} // namespace
