// Machine-dependent JNI definitions for Windows, for cross-builds that take jni.h from a
// non-Windows JDK. They match what HotSpot expects on Windows: stdcall entry points (decorated on
// 32-bit) and a 32-bit long.
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef long jint;
typedef long long jlong;
typedef signed char jbyte;

#endif
