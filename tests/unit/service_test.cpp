// The host as a service under the stand-in's service manager: the reports of a run, the
// control handler, AppParameters, and the failures of the service start.
#include "fixture.h"

#include <thread>

namespace {

using hosttest::loggedLines;
using Lines = std::vector<std::string>;

const char parametersKey[] = "SYSTEM\\CurrentControlSet\\Services\\KorvaneRepository\\Parameters";

SERVICE_STATUS status(DWORD state, DWORD accepted, DWORD checkpoint, DWORD waitHint) {
    return SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, state, accepted, 0, 0, checkpoint, waitHint};
}

std::string describe(const std::vector<SERVICE_STATUS> &reports) {
    std::string text;
    for (const SERVICE_STATUS &s : reports) {
        text += "{type " + std::to_string(s.dwServiceType) + " state " +
                std::to_string(s.dwCurrentState) + " accepted " +
                std::to_string(s.dwControlsAccepted) + " exit " +
                std::to_string(s.dwWin32ExitCode) + "/" +
                std::to_string(s.dwServiceSpecificExitCode) + " checkpoint " +
                std::to_string(s.dwCheckPoint) + " wait " + std::to_string(s.dwWaitHint) + "} ";
    }
    return text;
}

void expectReports(const std::vector<SERVICE_STATUS> &expected) {
    std::vector<SERVICE_STATUS> sent = standin::statusReports();
    bool same = sent.size() == expected.size();
    for (size_t i = 0; same && i < sent.size(); ++i) {
        same = memcmp(&sent[i], &expected[i], sizeof(SERVICE_STATUS)) == 0;
    }
    EXPECT_TRUE(same) << "sent:     " << describe(sent) << "\nexpected: " << describe(expected);
}

const SERVICE_STATUS startPending1 = status(SERVICE_START_PENDING, 0, 1, 3000);
const SERVICE_STATUS startPending2 = status(SERVICE_START_PENDING, 0, 2, 3000);
const SERVICE_STATUS running = status(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0);
const SERVICE_STATUS stopped = status(SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0);

class Service : public hosttest::HostTest {
  protected:
    void SetUp() override {
        hosttest::HostTest::SetUp();
        standin::setStartedByServiceManager(true);
    }
    void TearDown() override {
        if (host.joinable()) {
            // A test that failed before its stop still ends the run.
            standin::sendServiceControl(SERVICE_CONTROL_STOP);
            host.join();
        }
    }

    void start() {
        host = std::thread([] {
            char program[] = "repohost";
            char *argv[] = {program, nullptr};
            hostMain(1, argv);
        });
    }

    void stop() {
        EXPECT_EQ(standin::sendServiceControl(SERVICE_CONTROL_STOP), 0u);
        host.join();
    }

    // The launch parameters that runHost was given, as the launcher thread copies them: read
    // back from the test JVM library's log of a successful launch.
    Lines launchedWith(const std::string &prefix) {
        EXPECT_TRUE(waitForJvmCall("CallStaticVoidMethod"));
        return hosttest::jvmCalls(jvmLog, prefix);
    }

    bool waitForJvmCall(const std::string &prefix) {
        for (int i = 0; i < 3000; ++i) {
            if (!hosttest::jvmCalls(jvmLog, prefix).empty()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    std::thread host;
};

TEST_F(Service, NormalRunGivesTheFiveReports) {
    start();
    ASSERT_TRUE(standin::waitForServiceState(SERVICE_RUNNING, 30000));
    stop();
    expectReports({startPending1, startPending2, running,
                   status(SERVICE_STOP_PENDING, SERVICE_ACCEPT_STOP, 3, 0), stopped});
}

TEST_F(Service, InterrogationReReportsTheCurrentState) {
    // One interrogation while start-pending, made as the service opens its Parameters key.
    bool asked = false;
    standin::onCall("RegOpenKeyExA", [&] {
        if (!asked) {
            asked = true;
            EXPECT_EQ(standin::sendServiceControl(SERVICE_CONTROL_INTERROGATE), 0u);
        }
    });
    start();
    ASSERT_TRUE(standin::waitForServiceState(SERVICE_RUNNING, 30000));
    standin::onCall("RegOpenKeyExA", nullptr);
    EXPECT_EQ(standin::sendServiceControl(SERVICE_CONTROL_INTERROGATE), 0u);
    stop();
    expectReports({startPending1, status(SERVICE_START_PENDING, 0, 2, 0),
                   status(SERVICE_START_PENDING, 0, 3, 3000), running, running,
                   status(SERVICE_STOP_PENDING, SERVICE_ACCEPT_STOP, 4, 0), stopped});
}

TEST_F(Service, StopWhileStartPendingIsRefused) {
    DWORD refusal = 0;
    standin::onCall("RegOpenKeyExA", [&] {
        if (refusal == 0) {
            refusal = standin::sendServiceControl(SERVICE_CONTROL_STOP);
        }
    });
    start();
    ASSERT_TRUE(standin::waitForServiceState(SERVICE_RUNNING, 30000));
    EXPECT_EQ(refusal, static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
    stop();
}

struct ParametersCase {
    const char *name;
    DWORD type;
    std::string stored;
    bool parametersExpected;
};

void PrintTo(const ParametersCase &c, std::ostream *os) {
    *os << c.name;
}

class ServiceParameters : public Service, public testing::WithParamInterface<ParametersCase> {};

TEST_P(ServiceParameters, RunWithoutLaunchParametersWhenUnusable) {
    hosttest::registerJre();
    setenv("TESTJVM_MAIN", "block", 1);
    const ParametersCase &c = GetParam();
    if (c.stored != "absent") {
        standin::setValue(HKEY_LOCAL_MACHINE, parametersKey, "AppParameters", c.type, c.stored);
    }
    start();
    ASSERT_TRUE(standin::waitForServiceState(SERVICE_RUNNING, 30000));
    Lines main = launchedWith("CallStaticVoidMethod");
    ASSERT_EQ(main.size(), 1u);
    EXPECT_EQ(main[0].rfind("CallStaticVoidMethod main []", 0), 0u) << main[0];
    EXPECT_EQ(hosttest::jvmCalls(jvmLog, "option ").size(), 0u);
    stop();
    EXPECT_EQ(loggedLines(), Lines{});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServiceParameters,
    testing::Values(ParametersCase{"Absent", REG_SZ, "absent", false},
                    ParametersCase{"Empty", REG_SZ, std::string("\0", 1), false},
                    ParametersCase{"TabsAlone", REG_SZ, std::string("\t\t\0", 3), false},
                    ParametersCase{"AboveTheCapacity", REG_SZ,
                                   std::string(8192, 'a') + std::string("\0", 1), false},
                    ParametersCase{"Dword", REG_DWORD, std::string("\1\0\0\0", 4), false},
                    ParametersCase{"MultiString", REG_MULTI_SZ, std::string("a\0b\0\0", 5), false}),
    [](const testing::TestParamInfo<ParametersCase> &info) { return info.param.name; });

TEST_F(Service, PassesAppParametersToTheLaunch) {
    hosttest::registerJre();
    setenv("TESTJVM_MAIN", "block", 1);
    // 8191 characters in all: the most that the value may hold with its terminator.
    std::string longArgument(8191 - 16, 'x');
    standin::setValue(HKEY_LOCAL_MACHINE, parametersKey, "AppParameters", REG_EXPAND_SZ,
                      "-Xmx64m\t\t%TEMP%\t" + longArgument + std::string("\0", 1));
    start();
    ASSERT_TRUE(standin::waitForServiceState(SERVICE_RUNNING, 30000));
    Lines main = launchedWith("CallStaticVoidMethod");
    ASSERT_EQ(main.size(), 1u);
    EXPECT_EQ(main[0].rfind("CallStaticVoidMethod main [%TEMP%," + longArgument + "]", 0), 0u);
    Lines options = hosttest::jvmCalls(jvmLog, "option ");
    ASSERT_EQ(options.size(), 1u);
    EXPECT_EQ(options[0].rfind("option -Xmx64m", 0), 0u);
    stop();
}

TEST_F(Service, StaysRunningWithoutAJreUntilStopped) {
    start();
    ASSERT_TRUE(standin::waitForServiceState(SERVICE_RUNNING, 30000));
    for (int i = 0; i < 3000 && loggedLines().size() < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(loggedLines(),
              (Lines{hosttest::vendorKey, "Cannot locate JavaSoft or IBM registry information. Is "
                                          "the JRE properly installed?"}));
    EXPECT_EQ(standin::statusReports().size(), 3u);
    stop();
    std::vector<SERVICE_STATUS> sent = standin::statusReports();
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[4].dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(sent[4].dwWin32ExitCode, 0u);
}

TEST_F(Service, FailedHandlerRegistrationReportsNothing) {
    standin::failCall("RegisterServiceCtrlHandlerA", ERROR_SERVICE_DOES_NOT_EXIST);
    start();
    host.join();
    expectReports({});
    EXPECT_EQ(loggedLines(), Lines{});
}

TEST_F(Service, FailedFirstReportSkipsTheRunAndStillReportsStopped) {
    standin::failCall("SetServiceStatus", ERROR_INVALID_HANDLE);
    start();
    host.join();
    expectReports({stopped});
    EXPECT_EQ(loggedLines(), Lines{"SetServiceStatus"});
    EXPECT_EQ(standin::callCount("CreateEventA"), 0u);
}

TEST_F(Service, FailedReportInsideTheRunEndsStopped) {
    // The second report is runHost's start-pending, the third its running report.
    for (unsigned skip : {1u, 2u}) {
        standin::resetAll();
        standin::setStartedByServiceManager(true);
        standin::failCall("SetServiceStatus", ERROR_INVALID_HANDLE, skip);
        start();
        host.join();
        std::vector<SERVICE_STATUS> sent = standin::statusReports();
        ASSERT_EQ(sent.size(), skip + 1) << describe(sent);
        EXPECT_EQ(sent.back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
        EXPECT_EQ(sent.back().dwWin32ExitCode, 0u);
        EXPECT_EQ(loggedLines(), Lines{"SetServiceStatus"});
        EXPECT_EQ(standin::callCount("CreateThread") > 0, false);
    }
}

TEST_F(Service, SystemShutdownEndsTheRunWithoutStopPending) {
    hosttest::registerJre();
    setenv("TESTJVM_MAIN", "block", 1);
    start();
    ASSERT_TRUE(waitForJvmCall("CallStaticVoidMethod"));
    // Service mode: Ctrl+C, close and logoff are taken and change nothing.
    for (DWORD type : {CTRL_C_EVENT, CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT}) {
        EXPECT_TRUE(standin::raiseConsoleEvent(type));
    }
    EXPECT_FALSE(standin::raiseConsoleEvent(CTRL_BREAK_EVENT));
    EXPECT_EQ(standin::statusReports().size(), 3u);
    EXPECT_TRUE(standin::raiseConsoleEvent(CTRL_SHUTDOWN_EVENT));
    host.join();
    expectReports({startPending1, startPending2, running, stopped});
}

TEST_F(Service, FromAConsoleTheDispatcherFailsAndSaysSo) {
    standin::setStartedByServiceManager(false);
    testing::internal::CaptureStdout();
    start();
    host.join();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nNo arguments in command line..."
              "\nCalling StartServiceCtrlDispatcher...please wait.\n"
              "\nStartServiceControlDispatcher failed!\n");
    EXPECT_EQ(loggedLines(), Lines{"StartServiceControlDispatcher failed!"});
}

} // namespace
