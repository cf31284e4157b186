// Declarations for the Linux syntax check of the Core Audio backend only; never part of a build.
// Availability cannot be checked off the platform, so the annotations expand to nothing.
#pragma once
#pragma clang system_header

#define API_AVAILABLE(...)
#define API_UNAVAILABLE(...)
#define __OSX_AVAILABLE_STARTING(mac, ios)
