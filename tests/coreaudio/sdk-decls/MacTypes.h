// Declarations for the Linux syntax check of the Core Audio backend only; never part of a build.
// Scalar types of the platform's MacTypes.h, LP64.
#pragma once
#pragma clang system_header

typedef unsigned char UInt8;
typedef signed char SInt8;
typedef unsigned short UInt16;
typedef signed short SInt16;
typedef unsigned int UInt32;
typedef signed int SInt32;
typedef unsigned long long UInt64;
typedef signed long long SInt64;
typedef float Float32;
typedef double Float64;
typedef SInt32 OSStatus;
typedef unsigned char Boolean;
typedef UInt32 FourCharCode;
