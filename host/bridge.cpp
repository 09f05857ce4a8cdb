// The control-event bridge: passes stop, shutdown, console-close and logoff codes to the Java
// event manager, where the build names one.
#include "host.h"

#include <stdio.h>

jobject eventManager;

namespace {

// Dispatches hold it shared while they use the VM; the launcher takes it exclusively to close
// the bridge before it destroys the VM.
SRWLOCK vmLock = SRWLOCK_INIT;
bool vmClosed;

jobject publishedEventManager() {
    return static_cast<jobject>(InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile *>(&eventManager), nullptr, nullptr));
}

bool failed(JNIEnv *env, const void *result, const char *message) {
    return checkPendingException(env, message) != 0 || checkNullResult(result, message) != 0;
}

} // namespace

void setUpEventBridge() {
    if (eventManagerClassName[0] == '\0') {
        return;
    }
    JNIEnv *env = launcherEnv;
    jclass managerClass = env->FindClass(eventManagerClassName);
    if (failed(env, managerClass, "JNI error finding SCMEventManager.")) {
        return;
    }
    char signature[256];
    snprintf(signature, sizeof signature, "()L%s;", eventManagerClassName);
    jmethodID getInstance = env->GetStaticMethodID(managerClass, "getInstance", signature);
    if (failed(env, getInstance, "Cannot find SCMEventManager.getInstance.")) {
        return;
    }
    jobject instance = env->CallStaticObjectMethod(managerClass, getInstance);
    if (checkPendingException(env, "Cannot call SCMEventManager.getInstance.")) {
        return;
    }
    jobject global = env->NewGlobalRef(instance);
    if (checkNullResult(global, "Cannot call SCMEventManager.getInstance.")) {
        return;
    }
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&eventManager), global);
}

bool eventBridgeActive() {
    return publishedEventManager() != nullptr;
}

void dispatchControlEvent(jint code) {
    jobject manager = publishedEventManager();
    if (manager == nullptr) {
        return;
    }
    AcquireSRWLockShared(&vmLock);
    if (!vmClosed) {
        JNIEnv *env = nullptr;
        if (javaVm->AttachCurrentThread(reinterpret_cast<void **>(&env), nullptr) != JNI_OK) {
            logMessage("JNI error attaching the thread to the Java VM.");
        } else {
            jclass managerClass = env->GetObjectClass(manager);
            if (!failed(env, managerClass, "JNI error Cannot get SCMEventManager class")) {
                jmethodID dispatch = env->GetMethodID(managerClass, "dispatchSCMEvent", "(I)V");
                if (!failed(env, dispatch, "JNI error Cannot get dispatchSCMEvent method")) {
                    env->CallVoidMethod(manager, dispatch, code);
                    checkPendingException(env, "Cannot get dispatchSCMEvent method");
                }
            }
            javaVm->DetachCurrentThread();
        }
    }
    ReleaseSRWLockShared(&vmLock);
}

void closeEventBridge() {
    AcquireSRWLockExclusive(&vmLock);
    vmClosed = true;
    ReleaseSRWLockExclusive(&vmLock);
}
