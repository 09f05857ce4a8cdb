// The control-event bridge of a build with an event manager class, against the test JVM
// library: attach, look-up and call on the dispatching thread, and the cases around them.
#include "fixture.h"

#include <thread>

namespace {

using hosttest::jvmCalls;
using hosttest::loggedLines;
using Lines = std::vector<std::string>;

class Bridge : public hosttest::HostTest {
  protected:
    void TearDown() override {
        if (launcher.joinable()) {
            launcher.detach();
        }
    }

    // Starts the launcher on a thread of its own and waits until main runs.
    void launchBlocking() {
        hosttest::registerJre();
        setenv("TESTJVM_MAIN", "block", 1);
        launcher = std::thread([] { launchJvm(nullptr); });
        for (int i = 0; i < 3000 && jvmCalls(jvmLog, "CallStaticVoidMethod").empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_FALSE(jvmCalls(jvmLog, "CallStaticVoidMethod").empty());
    }

    std::string envOf(const std::string &line) { return line.substr(line.rfind(" env=")); }

    std::thread launcher;
};

TEST_F(Bridge, SetUpPublishesTheManagerBeforeMainRuns) {
    launchBlocking();
    EXPECT_TRUE(eventBridgeActive());
    EXPECT_EQ(jvmCalls(jvmLog, "FindClass " REPOHOST_EVENT_MANAGER_CLASS).size(), 1u);
    EXPECT_EQ(jvmCalls(jvmLog, "GetStaticMethodID getInstance ()L" REPOHOST_EVENT_MANAGER_CLASS ";")
                  .size(),
              1u);
    EXPECT_EQ(jvmCalls(jvmLog, "NewGlobalRef").size(), 1u);
    EXPECT_EQ(loggedLines(), Lines{});
}

TEST_F(Bridge, EachDispatchAttachesItsThreadAndDetachesIt) {
    launchBlocking();
    std::thread first([] { dispatchControlEvent(3); });
    std::thread second([] { dispatchControlEvent(4); });
    first.join();
    second.join();
    Lines attaches = jvmCalls(jvmLog, "AttachCurrentThread");
    ASSERT_EQ(attaches.size(), 2u);
    EXPECT_EQ(jvmCalls(jvmLog, "DetachCurrentThread").size(), 2u);
    Lines calls = jvmCalls(jvmLog, "CallVoidMethod dispatchSCMEvent ");
    ASSERT_EQ(calls.size(), 2u);
    // Each ran with its own environment, neither with the launcher's.
    std::string launcherEnvText = envOf(jvmCalls(jvmLog, "CallStaticVoidMethod")[0]);
    EXPECT_NE(envOf(calls[0]), envOf(calls[1]));
    EXPECT_NE(envOf(calls[0]), launcherEnvText);
    EXPECT_NE(envOf(calls[1]), launcherEnvText);
    EXPECT_EQ(jvmCalls(jvmLog, "GetMethodID dispatchSCMEvent (I)V").size(), 2u);
    EXPECT_EQ(loggedLines(), Lines{});
}

TEST_F(Bridge, AFailedAttachMakesNoFurtherCallAndIsLogged) {
    setenv("TESTJVM_FAIL", "AttachCurrentThread:-1", 1);
    launchBlocking();
    dispatchControlEvent(1);
    EXPECT_EQ(jvmCalls(jvmLog, "GetObjectClass").size(), 0u);
    EXPECT_EQ(jvmCalls(jvmLog, "DetachCurrentThread").size(), 0u);
    EXPECT_EQ(loggedLines(), Lines{"JNI error attaching the thread to the Java VM."});
}

struct DispatchFailure {
    const char *name;
    const char *fail;
    const char *line;
};

void PrintTo(const DispatchFailure &c, std::ostream *os) {
    *os << c.name;
}

// One case per test: the test JVM library reads its failures once, when the VM is created.
class BridgeFailure : public Bridge, public testing::WithParamInterface<DispatchFailure> {};

TEST_P(BridgeFailure, IsLoggedAndTheThreadDetached) {
    setenv("TESTJVM_FAIL", GetParam().fail, 1);
    launchBlocking();
    dispatchControlEvent(1);
    EXPECT_EQ(loggedLines(), Lines{GetParam().line});
    EXPECT_EQ(jvmCalls(jvmLog, "DetachCurrentThread").size(), 1u);
    // A pending exception is cleared before the thread leaves the VM.
    if (std::string(GetParam().fail).find("exception") != std::string::npos) {
        EXPECT_EQ(jvmCalls(jvmLog, "ExceptionClear").size(), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Dispatch, BridgeFailure,
    testing::Values(DispatchFailure{"NoClass", "GetObjectClass:null",
                                    "JNI error Cannot get SCMEventManager class"},
                    DispatchFailure{"NoMethod", "GetMethodID=dispatchSCMEvent:exception",
                                    "JNI error Cannot get dispatchSCMEvent method"},
                    DispatchFailure{"CallThrows", "CallVoidMethod:exception",
                                    "Cannot get dispatchSCMEvent method"}),
    [](const testing::TestParamInfo<DispatchFailure> &info) {
        return std::string(info.param.name);
    });

TEST_F(Bridge, AfterMainReturnedNoDispatchTouchesTheVm) {
    hosttest::registerJre();
    launchJvm(nullptr);
    ASSERT_EQ(jvmCalls(jvmLog, "DestroyJavaVM").size(), 1u);
    EXPECT_TRUE(consoleControlHandler(CTRL_SHUTDOWN_EVENT));
    EXPECT_EQ(jvmCalls(jvmLog, "AttachCurrentThread").size(), 0u);
    EXPECT_EQ(jvmCalls(jvmLog, "after-destroy").size(), 0u);
    EXPECT_EQ(loggedLines(), Lines{});
}

TEST_F(Bridge, AStopBeforeTheSetUpDeliversNothing) {
    hosttest::registerJre();
    shutdownHost();
    consoleControlHandler(CTRL_SHUTDOWN_EVENT);
    EXPECT_FALSE(eventBridgeActive());
    EXPECT_EQ(jvmCalls(jvmLog, "AttachCurrentThread").size(), 0u);
}

TEST_F(Bridge, AFailedSetUpLeavesTheBridgeInactiveAndMainRuns) {
    struct Case {
        const char *fail;
        const char *line;
    } cases[] = {
        {"FindClass=" REPOHOST_EVENT_MANAGER_CLASS ":null", "JNI error finding SCMEventManager."},
        {"GetStaticMethodID=getInstance:null", "Cannot find SCMEventManager.getInstance."},
        {"CallStaticObjectMethod:exception", "Cannot call SCMEventManager.getInstance."},
        {"CallStaticObjectMethod:null", "Cannot call SCMEventManager.getInstance."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fail);
        standin::resetAll();
        std::remove(jvmLog.c_str());
        hosttest::registerJre();
        setenv("TESTJVM_FAIL", c.fail, 1);
        launchJvm(nullptr);
        EXPECT_EQ(loggedLines(), Lines{c.line});
        EXPECT_EQ(jvmCalls(jvmLog, "CallStaticVoidMethod main").size(), 1u);
        EXPECT_EQ(jvmCalls(jvmLog, "NewGlobalRef").size(),
                  std::string(c.fail) == "CallStaticObjectMethod:null" ? 1u : 0u);
        EXPECT_FALSE(eventBridgeActive());
    }
}

} // namespace
