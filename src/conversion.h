// Java <-> native conversions. Each takes the JNIEnv of the current native call first and, except
// certificateList2jobjectArray, returns 0 on success and non-zero on failure, with its product in
// an out-parameter. A VM exception raised by a failed creation stays pending for the Java caller.
#pragma once

#include <jni.h>

#include <cstdint>

#include "crypto.h"

// The elements of `array` and their count; give them back with ReleaseByteArrayElements.
// Fails on a null array or when the VM cannot provide the elements.
int32_t jbyteArray2pbyte(JNIEnv* env, jbyteArray array, jbyte** bytes, jsize* length);

// A new byte[] holding a copy of the bytes.
int32_t pbyte2jbyteArray(JNIEnv* env, const BYTE* bytes, int32_t length, jbyteArray* array);

// A new byte[] with the blob's bytes in the blob's order.
int32_t cryptintegerblob2jbyteArray(JNIEnv* env, CRYPT_INTEGER_BLOB blob, jbyteArray* array);

// A String of exactly `length` units. Returns 0 and a null string when the VM cannot create it.
int32_t wchar2jstring(JNIEnv* env, const WCHAR* chars, DWORD length, jstring* string);

// A byte[][] of the list's certificates, the head at index 0; a length-0 array for an empty list;
// null when the VM cannot create an array.
jobjectArray certificateList2jobjectArray(JNIEnv* env, const CertificateListNode* head);

// Milliseconds since 1970-01-01 UTC (negative before) from 100-ns units since 1601-01-01 UTC.
int32_t filetime2jlong(JNIEnv* env, FILETIME filetime, jlong* millis);

// The key-usage word: bit i is X.509 KeyUsage bit i (0 digitalSignature .. 8 decipherOnly).
int32_t keyUsage2jint(JNIEnv* env, const BYTE* bytes, jint* word);
