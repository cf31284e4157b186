// Declarations for the Linux syntax check of the Core Audio backend only; never part of a build.
// The CoreFoundation subset the backend touches: the toll-free bridged reference types.
#pragma once
#pragma clang system_header

#include <MacTypes.h>

#define CF_EXTERN_C_BEGIN extern "C" {
#define CF_EXTERN_C_END }
#define CF_ASSUME_NONNULL_BEGIN _Pragma("clang assume_nonnull begin")
#define CF_ASSUME_NONNULL_END _Pragma("clang assume_nonnull end")
#define CF_ENUM(_type) enum : _type
#define CF_OPTIONS(_type) enum : _type
#define CF_BRIDGED_TYPE(T) __attribute__((objc_bridge(T)))
#define CF_BRIDGED_MUTABLE_TYPE(T) __attribute__((objc_bridge_mutable(T)))

@class NSString;
@class NSArray;
@class NSDictionary;

CF_EXTERN_C_BEGIN
CF_ASSUME_NONNULL_BEGIN

typedef const void* CFTypeRef;
typedef const struct CF_BRIDGED_TYPE(NSString) __CFString* CFStringRef;
typedef const struct CF_BRIDGED_TYPE(NSArray) __CFArray* CFArrayRef;
typedef const struct CF_BRIDGED_TYPE(NSDictionary) __CFDictionary* CFDictionaryRef;
typedef struct __CFRunLoop* CFRunLoopRef;

void CFRelease(CFTypeRef cf);
CFTypeRef CFRetain(CFTypeRef cf);

CF_ASSUME_NONNULL_END
CF_EXTERN_C_END
