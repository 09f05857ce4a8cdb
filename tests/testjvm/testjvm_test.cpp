// Drives the test JVM the way the host does: dlopen, JNI_CreateJavaVM, then the JNI tables.
#include <jni.h>

#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

typedef jint(JNICALL *CreateJavaVmFunction)(JavaVM **, void **, void *);
typedef jint(JNICALL *DefaultInitArgsFunction)(void *);

const char mainClass[] = "com/korvane/repository/RepositoryImpl";
const char mainSignature[] = "([Ljava/lang/String;)V";
const char eventManagerClass[] = "com/korvane/test/EventManager";
const char getInstanceSignature[] = "()Lcom/korvane/test/EventManager;";

std::string pointerText(const void *pointer) {
    char text[32];
    snprintf(text, sizeof text, "0x%llx",
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(pointer)));
    return text;
}

std::string threadIdText() {
    return std::to_string(syscall(SYS_gettid));
}

class TestJvm : public ::testing::Test {
  protected:
    void SetUp() override {
        logPath_ = ::testing::TempDir() + "testjvm_" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
        std::remove(logPath_.c_str());
        setenv("TESTJVM_LOG", logPath_.c_str(), 1);
        unsetenv("TESTJVM_FAIL");
        unsetenv("TESTJVM_MAIN");
        unsetenv("TESTJVM_DISPATCH_DELAY_MS");
        unsetenv("TESTJVM_EVENT_MANAGER");
        library_ = dlopen(TESTJVM_LIB, RTLD_NOW);
        ASSERT_NE(library_, nullptr) << dlerror();
        create_ = reinterpret_cast<CreateJavaVmFunction>(dlsym(library_, "JNI_CreateJavaVM"));
        ASSERT_NE(create_, nullptr);
    }

    // The library stays loaded: it is made to serve one process from start to end.
    // The library stays loaded: it serves a process from start to end.
    void TearDown() override {
        if (vm_ != nullptr) {
            vm_->DestroyJavaVM();
        }
    }

    jint create(std::vector<std::string> options = {}) {
        std::vector<JavaVMOption> vmOptions;
        for (std::string &option : options) {
            vmOptions.push_back(JavaVMOption{&option[0], nullptr});
        }
        JavaVMInitArgs args;
        args.version = JNI_VERSION_1_2;
        args.nOptions = static_cast<jint>(vmOptions.size());
        args.options = vmOptions.data();
        args.ignoreUnrecognized = JNI_TRUE;
        return create_(&vm_, reinterpret_cast<void **>(&env_), &args);
    }

    void destroy() {
        EXPECT_EQ(vm_->DestroyJavaVM(), JNI_OK);
        vm_ = nullptr;
    }

    std::vector<std::string> lines() const {
        std::ifstream in(logPath_);
        std::vector<std::string> result;
        for (std::string line; std::getline(in, line);) {
            result.push_back(line);
        }
        return result;
    }

    // The log lines without their `tid= env=` ending.
    std::vector<std::string> calls() const {
        static const std::regex ending(" tid=[0-9]+ env=0x[0-9a-f]+$");
        std::vector<std::string> result;
        for (const std::string &line : lines()) {
            result.push_back(std::regex_replace(line, ending, ""));
        }
        return result;
    }

    bool logged(const std::string &line) const {
        for (const std::string &l : lines()) {
            if (l == line) {
                return true;
            }
        }
        return false;
    }

    // Polls the log, with a generous bound, for a line that starts with `prefix`.
    bool waitForCall(const std::string &prefix) const {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            for (const std::string &call : calls()) {
                if (call.compare(0, prefix.size(), prefix) == 0) {
                    return true;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    jobject eventManagerInstance() {
        jclass manager = env_->FindClass(eventManagerClass);
        jmethodID getInstance =
            env_->GetStaticMethodID(manager, "getInstance", getInstanceSignature);
        return env_->NewGlobalRef(env_->CallStaticObjectMethod(manager, getInstance));
    }

    std::string logPath_;
    void *library_ = nullptr;
    CreateJavaVmFunction create_ = nullptr;
    JavaVM *vm_ = nullptr;
    JNIEnv *env_ = nullptr;
};

TEST_F(TestJvm, LogsTheLaunchOfMainLineByLine) {
    ASSERT_EQ(create({"-Xmx64m", "-Dk=v w"}), JNI_OK);
    jclass cls = env_->FindClass(mainClass);
    jmethodID mainMethod = env_->GetStaticMethodID(cls, "main", mainSignature);
    jobjectArray array = env_->NewObjectArray(2, env_->FindClass("java/lang/String"), nullptr);
    env_->SetObjectArrayElement(array, 0, env_->NewStringUTF("app1"));
    env_->SetObjectArrayElement(array, 1, env_->NewStringUTF("-i"));
    env_->CallStaticVoidMethod(cls, mainMethod, array);
    EXPECT_FALSE(env_->ExceptionCheck());
    JNIEnv *env = env_;
    destroy();
    env->FindClass("java/lang/String");

    std::vector<std::string> expected = {
        "JNI_CreateJavaVM version=0x10002 nOptions=2 ignoreUnrecognized=1",
        "option -Xmx64m",
        "option -Dk=v w",
        "FindClass com/korvane/repository/RepositoryImpl",
        "GetStaticMethodID main ([Ljava/lang/String;)V",
        "FindClass java/lang/String",
        "NewObjectArray 2 java/lang/String",
        "NewStringUTF app1",
        "SetObjectArrayElement 0",
        "NewStringUTF -i",
        "SetObjectArrayElement 1",
        "CallStaticVoidMethod main [app1,-i]",
        "ExceptionCheck 0",
        "DestroyJavaVM",
        "after-destroy FindClass",
        "FindClass java/lang/String",
    };
    EXPECT_EQ(calls(), expected);
    std::string ending = " tid=" + threadIdText() + " env=" + pointerText(env);
    for (const std::string &line : lines()) {
        EXPECT_EQ(line.substr(line.size() - std::min(line.size(), ending.size())), ending) << line;
    }
}

TEST_F(TestJvm, ExportsTheInvocationFunctions) {
    auto defaults =
        reinterpret_cast<DefaultInitArgsFunction>(dlsym(library_, "JNI_GetDefaultJavaVMInitArgs"));
    ASSERT_NE(defaults, nullptr);
    JavaVMInitArgs args = {};
    args.version = JNI_VERSION_1_2;
    EXPECT_EQ(defaults(&args), JNI_OK);
    args.version = 0x00990000;
    EXPECT_EQ(defaults(&args), JNI_ERR);

    void *noInit = dlopen(TESTJVM_NOINIT_LIB, RTLD_NOW);
    ASSERT_NE(noInit, nullptr) << dlerror();
    EXPECT_NE(dlsym(noInit, "JNI_CreateJavaVM"), nullptr);
    EXPECT_EQ(dlsym(noInit, "JNI_GetDefaultJavaVMInitArgs"), nullptr);
}

struct FailureCase {
    const char *fail;
    // Performs one call; true when its result is null.
    std::function<bool(JNIEnv *)> call;
    bool null;
    bool exception;
};

jclass findMain(JNIEnv *env) {
    return env->FindClass(mainClass);
}

jobject callGetInstance(JNIEnv *env) {
    jclass manager = env->FindClass(eventManagerClass);
    jmethodID getInstance = env->GetStaticMethodID(manager, "getInstance", getInstanceSignature);
    return env->CallStaticObjectMethod(manager, getInstance);
}

TEST_F(TestJvm, InjectsFailuresAndFailsAsARealVm) {
    const FailureCase cases[] = {
        {"FindClass=java/lang/String:null",
         [](JNIEnv *env) { return env->FindClass("java/lang/String") == nullptr; }, true, false},
        {"FindClass=java/lang/String:null", [](JNIEnv *env) { return findMain(env) == nullptr; },
         false, false},
        {"", [](JNIEnv *env) { return env->FindClass("java/lang/Thread") == nullptr; }, true, true},
        {"GetStaticMethodID=main:exception",
         [](JNIEnv *env) {
             return env->GetStaticMethodID(findMain(env), "main", mainSignature) == nullptr;
         },
         false, true},
        {"GetStaticMethodID:nullexception",
         [](JNIEnv *env) {
             return env->GetStaticMethodID(findMain(env), "main", mainSignature) == nullptr;
         },
         true, true},
        {"",
         [](JNIEnv *env) {
             return env->GetStaticMethodID(findMain(env), "main", "([Ljava/lang/Object;)V") ==
                    nullptr;
         },
         true, true},
        {"NewStringUTF=b:null", [](JNIEnv *env) { return env->NewStringUTF("b") == nullptr; }, true,
         false},
        {"NewStringUTF=b:null", [](JNIEnv *env) { return env->NewStringUTF("a") == nullptr; },
         false, false},
        {"CallStaticVoidMethod:exception",
         [](JNIEnv *env) {
             jclass cls = findMain(env);
             jobjectArray array =
                 env->NewObjectArray(0, env->FindClass("java/lang/String"), nullptr);
             env->CallStaticVoidMethod(cls, env->GetStaticMethodID(cls, "main", mainSignature),
                                       array);
             return false;
         },
         false, true},
        {"CallStaticObjectMethod=getInstance:null",
         [](JNIEnv *env) { return callGetInstance(env) == nullptr; }, true, false},
        {"GetMethodID=dispatchSCMEvent:null",
         [](JNIEnv *env) {
             jclass cls = env->GetObjectClass(callGetInstance(env));
             return env->GetMethodID(cls, "dispatchSCMEvent", "(I)V") == nullptr;
         },
         true, false},
    };
    for (const FailureCase &c : cases) {
        SCOPED_TRACE(c.fail);
        setenv("TESTJVM_FAIL", c.fail, 1);
        ASSERT_EQ(create(), JNI_OK);
        EXPECT_EQ(c.call(env_), c.null);
        EXPECT_EQ(env_->ExceptionCheck(), c.exception ? JNI_TRUE : JNI_FALSE);
        env_->ExceptionClear();
        EXPECT_FALSE(env_->ExceptionCheck());
        destroy();
    }
}

TEST_F(TestJvm, InvocationFailuresReturnTheInjectedResult) {
    setenv("TESTJVM_FAIL", "JNI_CreateJavaVM:-1", 1);
    EXPECT_EQ(create(), -1);
    EXPECT_EQ(vm_, nullptr);
    EXPECT_EQ(env_, nullptr);

    setenv("TESTJVM_FAIL", "AttachCurrentThread:-3", 1);
    ASSERT_EQ(create(), JNI_OK);
    std::thread([this] {
        JNIEnv *env = env_;
        EXPECT_EQ(vm_->AttachCurrentThread(reinterpret_cast<void **>(&env), nullptr), -3);
        EXPECT_EQ(env, nullptr);
    }).join();
}

TEST_F(TestJvm, EachAttachedThreadHasItsOwnEnv) {
    setenv("TESTJVM_DISPATCH_DELAY_MS", "1", 1);
    ASSERT_EQ(create(), JNI_OK);
    jobject manager = eventManagerInstance();
    ASSERT_NE(manager, nullptr);

    struct Seen {
        JNIEnv *env = nullptr;
        std::string tid;
    } seen[2];
    std::vector<std::thread> threads;
    for (int code = 0; code < 2; ++code) {
        threads.emplace_back([this, manager, code, &seen] {
            JNIEnv *env = nullptr;
            ASSERT_EQ(vm_->AttachCurrentThread(reinterpret_cast<void **>(&env), nullptr), JNI_OK);
            JNIEnv *again = nullptr;
            EXPECT_EQ(vm_->GetEnv(reinterpret_cast<void **>(&again), JNI_VERSION_1_2), JNI_OK);
            EXPECT_EQ(again, env);
            jclass cls = env->GetObjectClass(manager);
            env->CallVoidMethod(manager, env->GetMethodID(cls, "dispatchSCMEvent", "(I)V"), code);
            EXPECT_FALSE(env->ExceptionCheck());
            seen[code] = {env, threadIdText()};
            EXPECT_EQ(vm_->DetachCurrentThread(), JNI_OK);
            EXPECT_EQ(vm_->GetEnv(reinterpret_cast<void **>(&again), JNI_VERSION_1_2),
                      JNI_EDETACHED);
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }

    EXPECT_NE(seen[0].env, seen[1].env);
    for (int code = 0; code < 2; ++code) {
        EXPECT_NE(seen[code].env, env_);
        std::string ending = " tid=" + seen[code].tid + " env=" + pointerText(seen[code].env);
        EXPECT_TRUE(logged("AttachCurrentThread" + ending));
        EXPECT_TRUE(logged("CallVoidMethod dispatchSCMEvent " + std::to_string(code) + ending));
        EXPECT_TRUE(
            logged("CallVoidMethod-return dispatchSCMEvent " + std::to_string(code) + ending));
    }
    for (const std::string &call : calls()) {
        EXPECT_EQ(call.find("wrong-thread"), std::string::npos) << call;
        EXPECT_EQ(call.find("ref "), std::string::npos) << call;
    }
}

TEST_F(TestJvm, FlagsMisuseThatARealVmPunishes) {
    ASSERT_EQ(create(), JNI_OK);
    jobject local = env_->FindClass(mainClass);
    std::thread([this] { env_->FindClass(mainClass); }).join();
    std::thread([this, local] {
        JNIEnv *env = nullptr;
        vm_->AttachCurrentThread(reinterpret_cast<void **>(&env), nullptr);
        env->GetStaticMethodID(static_cast<jclass>(local), "main", mainSignature);
        vm_->DetachCurrentThread();
    }).join();
    env_->FindClass("java/lang/Thread");
    env_->FindClass(mainClass);
    env_->ExceptionClear();
    EXPECT_EQ(env_->MonitorEnter(local), 0);
    env_->DeleteLocalRef(local);
    env_->GetStaticMethodID(static_cast<jclass>(local), "main", mainSignature);

    static const std::regex misuseLine("(wrong-thread|foreign-local-ref|deleted-ref|invalid-ref|"
                                       "pending-exception|unexpected|after-destroy) .*");
    std::vector<std::string> misuse;
    for (const std::string &call : calls()) {
        if (std::regex_match(call, misuseLine)) {
            misuse.push_back(call);
        }
    }
    std::vector<std::string> expected = {
        "wrong-thread FindClass",        "foreign-local-ref GetStaticMethodID",
        "pending-exception FindClass",   "unexpected MonitorEnter",
        "deleted-ref GetStaticMethodID",
    };
    EXPECT_EQ(misuse, expected);
}

TEST_F(TestJvm, DestroyWaitsForAttachedThreads) {
    ASSERT_EQ(create(), JNI_OK);
    std::mutex mutex;
    std::condition_variable changed;
    bool attached = false;
    bool release = false;
    std::thread worker([&] {
        JNIEnv *own = nullptr;
        EXPECT_EQ(vm_->AttachCurrentThread(reinterpret_cast<void **>(&own), nullptr), JNI_OK);
        std::unique_lock<std::mutex> lock(mutex);
        attached = true;
        changed.notify_all();
        changed.wait(lock, [&] { return release; });
        lock.unlock();
        vm_->DetachCurrentThread();
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return attached; });
    }
    // A real VM waits in DestroyJavaVM until its thread is the last non-daemon one.
    std::thread releaser([&] {
        EXPECT_TRUE(waitForCall("waiting DestroyJavaVM threads=1"));
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
        changed.notify_all();
    });
    EXPECT_EQ(vm_->DestroyJavaVM(), JNI_OK);
    releaser.join();
    worker.join();
    vm_ = nullptr;
    // The detach came while the VM was alive.
    EXPECT_EQ(calls().back(), "DetachCurrentThread");
}

} // namespace
