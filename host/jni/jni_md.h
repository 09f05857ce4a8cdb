// Machine-dependent JNI types for the Windows builds (mingw-w64 and Visual Studio), in the
// layout of the JDK for Windows. On 32-bit Windows JNICALL is __stdcall: a JNI function called
// with the wrong convention corrupts the stack at its first call.
#ifndef REPOHOST_JNI_MD_H
#define REPOHOST_JNI_MD_H

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef long jint;
typedef __int64 jlong;
typedef signed char jbyte;

#endif
