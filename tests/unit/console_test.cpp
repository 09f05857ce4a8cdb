// The command-line dispatcher, the console run, console control events and the shutdown.
#include "fixture.h"

#include <atomic>
#include <thread>

namespace {

using Lines = std::vector<std::string>;

class Console : public hosttest::HostTest {
  protected:
    void TearDown() override {
        if (host.joinable()) {
            // A test that failed before its stop still ends the run.
            if (!ended) {
                shutdownHost();
            }
            host.join();
        }
    }

    void start(std::vector<std::string> arguments) {
        args = arguments;
        host = std::thread([this] {
            std::vector<char *> argv;
            for (std::string &argument : args) {
                argv.push_back(&argument[0]);
            }
            argv.push_back(nullptr);
            status = hostMain(static_cast<int>(args.size()), argv.data());
            ended = true;
        });
    }

    bool waitForMain() {
        for (int i = 0; i < 3000; ++i) {
            if (!hosttest::jvmCalls(jvmLog, "CallStaticVoidMethod").empty()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    std::vector<std::string> args;
    std::thread host;
    std::atomic<bool> ended{false};
    int status = -1;
};

TEST_F(Console, RunsWithTheArgumentsAfterTheOptionUntilCtrlC) {
    hosttest::registerJre();
    setenv("TESTJVM_MAIN", "block", 1);
    testing::internal::CaptureStdout();
    start({"repohost", "/C", "wrkdir=/", "-Xmx64m", "app1", "-i"});
    ASSERT_TRUE(waitForMain());
    Lines main = hosttest::jvmCalls(jvmLog, "CallStaticVoidMethod");
    EXPECT_EQ(main[0].rfind("CallStaticVoidMethod main [app1,-i]", 0), 0u) << main[0];
    EXPECT_EQ(hosttest::jvmCalls(jvmLog, "option -Xmx64m").size(), 1u);

    // Break and the event types that are not the handler's change nothing.
    for (DWORD type : std::vector<DWORD>{CTRL_BREAK_EVENT, 3, 4, 7}) {
        EXPECT_FALSE(standin::raiseConsoleEvent(type)) << type;
    }
    EXPECT_FALSE(ended);
    EXPECT_TRUE(standin::raiseConsoleEvent(CTRL_C_EVENT));
    host.join();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Running Korvane Repository.\n");
    EXPECT_EQ(jvmOptions.count, 0u);
    EXPECT_EQ(appArguments.count, 0u);
    EXPECT_TRUE(standin::statusReports().empty());
    EXPECT_EQ(standin::callCount("SetServiceStatus"), 0u);
}

// One run per test: a process holds one Java VM at most.
class ConsoleEnd : public Console, public testing::WithParamInterface<DWORD> {};

TEST_P(ConsoleEnd, CloseLogoffAndShutdownEndTheRunInConsoleMode) {
    hosttest::registerJre();
    setenv("TESTJVM_MAIN", "block", 1);
    testing::internal::CaptureStdout();
    start({"repohost", "-c"});
    ASSERT_TRUE(waitForMain());
    EXPECT_TRUE(standin::raiseConsoleEvent(GetParam()));
    host.join();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 0);
}

INSTANTIATE_TEST_SUITE_P(Events, ConsoleEnd,
                         testing::Values(CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT));

TEST_F(Console, ReportsAnUnrecognizedFirstArgument) {
    struct Case {
        std::vector<std::string> arguments;
        std::string output;
    } cases[] = {
        {{"repohost", "-install"}, "\nUnrecognized option: -install\n"},
        {{"repohost", ""}, "\nUnrecognized option: \n"},
        {{"repohost", "-ci"}, "\nUnrecognized option: -ci\n"},
        {{"repohost", "c", "-c"}, "\nUnrecognized option: c\n"},
    };
    for (const Case &c : cases) {
        testing::internal::CaptureStdout();
        start(c.arguments);
        host.join();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output);
        EXPECT_EQ(status, 0);
    }
    EXPECT_EQ(consoleMode, 0);
}

TEST_F(Console, ConcurrentAndRepeatedShutdownsReleaseOnceAndEndTheRun) {
    hosttest::registerJre();
    setenv("TESTJVM_MAIN", "block", 1);
    testing::internal::CaptureStdout();
    start({"repohost", "-c", "-Xmx64m", "-Da=b", "x", "y"});
    ASSERT_TRUE(waitForMain());
    std::vector<std::thread> stoppers;
    for (int i = 0; i < 8; ++i) {
        stoppers.emplace_back([] {
            shutdownHost();
            shutdownHost();
        });
    }
    for (std::thread &stopper : stoppers) {
        stopper.join();
    }
    host.join();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(jvmOptions.count, 0u);
    EXPECT_EQ(jvmOptions.strings, nullptr);
    // A stop after the run has closed its event signals nothing.
    shutdownHost();
    EXPECT_EQ(stopEvent, nullptr);
    EXPECT_EQ(standin::badHandleUses(), 0);
    // The first signal ends the wait; the stops that come after the event is closed signal
    // nothing, so the count depends on the timing, but never exceeds one per stop.
    EXPECT_GE(standin::callCount("SetEvent"), 1u);
    EXPECT_LE(standin::callCount("SetEvent"), 16u);
}

} // namespace
