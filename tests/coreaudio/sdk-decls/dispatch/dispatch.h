// Declarations for the Linux syntax check of the Core Audio backend only; never part of a build.
// Under Objective-C the platform declares dispatch objects as Objective-C objects, so ARC
// retains and releases them; this subset does the same.
#pragma once
#pragma clang system_header

#include <Foundation/Foundation.h>

#define DISPATCH_RETURNS_RETAINED __attribute__((ns_returns_retained))

NS_ASSUME_NONNULL_BEGIN

@protocol OS_dispatch_object <NSObject>
@end
@protocol OS_dispatch_queue <OS_dispatch_object>
@end
@protocol OS_dispatch_queue_attr <OS_dispatch_object>
@end

typedef NSObject<OS_dispatch_queue>* dispatch_queue_t;
typedef NSObject<OS_dispatch_queue_attr>* dispatch_queue_attr_t;
typedef void (^dispatch_block_t)(void);

#define DISPATCH_QUEUE_SERIAL nullptr

extern "C" {
dispatch_queue_t dispatch_get_main_queue(void);
DISPATCH_RETURNS_RETAINED dispatch_queue_t
dispatch_queue_create(const char* _Nullable label, dispatch_queue_attr_t _Nullable attr);
void dispatch_async(dispatch_queue_t queue, dispatch_block_t block);
}

NS_ASSUME_NONNULL_END
