// Declarations for the Linux syntax check of the Core Audio backend only; never part of a build.
// The tap description class (CATapDescription.h, 14.2 SDK). Its private flag is the property
// privateTap with the setter setPrivate:; there is no setIsPrivate:.
#pragma once
#pragma clang system_header

#include <Availability.h>
#include <Foundation/Foundation.h>

NS_ASSUME_NONNULL_BEGIN

typedef NS_ENUM(NSInteger, CATapMuteBehavior) {
  CATapUnmuted = 0,
  CATapMuted = 1,
  CATapMutedWhenTapped = 2,
} API_AVAILABLE(macos(13.0), ios(16.0));

API_AVAILABLE(macos(12.0), ios(15.0))
@interface CATapDescription : NSObject
- (instancetype)init;
- (instancetype)initStereoMixdownOfProcesses:(NSArray<NSNumber*>*)processesObjectIDsToIncludeInTap
    NS_REFINED_FOR_SWIFT;
- (instancetype)initStereoGlobalTapButExcludeProcesses:
    (NSArray<NSNumber*>*)processesObjectIDsToExcludeFromTap NS_REFINED_FOR_SWIFT;
- (instancetype)initMonoMixdownOfProcesses:(NSArray<NSNumber*>*)processesObjectIDsToIncludeInTap
    NS_REFINED_FOR_SWIFT;
- (instancetype)initMonoGlobalTapButExcludeProcesses:
    (NSArray<NSNumber*>*)processesObjectIDsToExcludeFromTap NS_REFINED_FOR_SWIFT;
- (instancetype)initWithProcesses:(NSArray<NSNumber*>*)processesObjectIDsToIncludeInTap
                     andDeviceUID:(NSString*)deviceUID
                       withStream:(NSInteger)stream NS_REFINED_FOR_SWIFT;
@property(atomic, copy) NSString* name;
@property(atomic, copy) NSUUID* UUID;
@property(atomic, copy, readwrite) NSArray<NSNumber*>* processes NS_REFINED_FOR_SWIFT;
@property(atomic, readwrite, getter=isMono) BOOL mono;
@property(atomic, readwrite, getter=isExclusive) BOOL exclusive;
@property(atomic, readwrite, getter=isMixdown) BOOL mixdown;
@property(atomic, readwrite, getter=isPrivate, setter=setPrivate:) BOOL privateTap;
@property(atomic, readwrite, getter=isMuted) CATapMuteBehavior muteBehavior;
@property(atomic, copy, nullable) NSString* deviceUID;
@property(atomic, copy, nullable) NSNumber* stream NS_REFINED_FOR_SWIFT;
@end

NS_ASSUME_NONNULL_END
