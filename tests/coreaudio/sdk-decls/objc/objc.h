// Declarations for the Linux syntax check of the Core Audio backend only; never part of a build.
// BOOL differs between the platform's two architectures: bool on arm64, signed char on x86_64.
// The check follows the host's architecture, so both spellings get compiled somewhere.
#pragma once
#pragma clang system_header

#if defined(__aarch64__) || defined(__arm64__)
typedef bool BOOL;
#else
typedef signed char BOOL;
#endif

#define YES __objc_yes
#define NO __objc_no

#ifndef nil
#define nil nullptr
#endif
