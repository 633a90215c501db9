// Type-check declarations (see CoreFoundation/CoreFoundation.h): the AppKit
// classes the macOS backend uses (screens, running applications, pointer and
// keyboard state). The real umbrella brings Foundation, CoreGraphics and
// ApplicationServices, so this one does too.
#pragma once

#import <Foundation/Foundation.h>
#include <ApplicationServices/ApplicationServices.h>
#include <CoreGraphics/CoreGraphics.h>
#include <sys/types.h>

typedef NSString* NSDeviceDescriptionKey;
extern NSDeviceDescriptionKey const NSDeviceResolution;
extern NSDeviceDescriptionKey const NSDeviceSize;

@interface NSScreen : NSObject
+ (NSArray<NSScreen*>*)screens;
+ (NSScreen*)mainScreen;
@property(readonly, copy) NSDictionary<NSDeviceDescriptionKey, id>* deviceDescription;
@property(readonly) CGFloat backingScaleFactor;
@property(readonly) NSRect frame;
@property(readonly) NSRect visibleFrame;
@property(readonly, copy) NSString* localizedName API_AVAILABLE(macos(10.15));
@end

typedef NSUInteger NSApplicationActivationOptions;
@interface NSRunningApplication : NSObject
+ (NSArray<NSRunningApplication*>*)runningApplicationsWithBundleIdentifier:(NSString*)bundleIdentifier;
+ (instancetype)runningApplicationWithProcessIdentifier:(pid_t)pid;
+ (NSRunningApplication*)currentApplication;
@property(readonly) pid_t processIdentifier;
@property(readonly, copy) NSString* bundleIdentifier;
@property(readonly, copy) NSString* localizedName;
@property(readonly, getter=isActive) BOOL active;
@property(readonly, getter=isTerminated) BOOL terminated;
@end

@interface NSWorkspace : NSObject
+ (NSWorkspace*)sharedWorkspace;
@property(readonly, strong) NSRunningApplication* frontmostApplication;
@property(readonly, copy) NSArray<NSRunningApplication*>* runningApplications;
@end

typedef NSUInteger NSEventModifierFlags;
enum : NSUInteger {
  NSEventModifierFlagCapsLock = 1 << 16,
  NSEventModifierFlagShift = 1 << 17,
  NSEventModifierFlagControl = 1 << 18,
  NSEventModifierFlagOption = 1 << 19,
  NSEventModifierFlagCommand = 1 << 20,
  NSEventModifierFlagNumericPad = 1 << 21,
  NSEventModifierFlagHelp = 1 << 22,
  NSEventModifierFlagFunction = 1 << 23,
  NSEventModifierFlagDeviceIndependentFlagsMask = 0xffff0000UL,
};

@interface NSEvent : NSObject
// Global pointer position in points, origin at the bottom-left of the main screen.
@property(class, readonly) NSPoint mouseLocation;
@property(class, readonly) NSEventModifierFlags modifierFlags;
@property(class, readonly) NSUInteger pressedMouseButtons;
@property(class, readonly) NSTimeInterval doubleClickInterval;
@property(class, readonly) NSTimeInterval keyRepeatDelay;
@property(class, readonly) NSTimeInterval keyRepeatInterval;
@end
