// Type-check declarations (see CoreFoundation/CoreFoundation.h): the
// ScreenCaptureKit classes of a one-frame display capture.
#pragma once

#import <Foundation/Foundation.h>
#include <CoreGraphics/CoreGraphics.h>

typedef NSInteger SCCaptureResolutionType;
enum : NSInteger {
  SCCaptureResolutionAutomatic = 0,
  SCCaptureResolutionBest = 1,
  SCCaptureResolutionNominal = 2,
};

API_AVAILABLE(macos(12.3))
@interface SCDisplay : NSObject
@property(readonly) CGDirectDisplayID displayID;
@property(readonly) NSInteger width;
@property(readonly) NSInteger height;
@property(readonly) CGRect frame;
@end

API_AVAILABLE(macos(12.3))
@interface SCRunningApplication : NSObject
@property(readonly) NSString* bundleIdentifier;
@property(readonly) NSString* applicationName;
@property(readonly) pid_t processID;
@end

API_AVAILABLE(macos(12.3))
@interface SCWindow : NSObject
@property(readonly) CGWindowID windowID;
@property(readonly) CGRect frame;
@property(readonly) NSString* title;
@property(readonly) NSInteger windowLayer;
@property(readonly) SCRunningApplication* owningApplication;
@property(readonly, getter=isOnScreen) BOOL onScreen;
@end

API_AVAILABLE(macos(12.3))
@interface SCShareableContent : NSObject
+ (void)getShareableContentWithCompletionHandler:(void (^)(SCShareableContent* shareableContent,
                                                           NSError* error))completionHandler;
+ (void)getShareableContentExcludingDesktopWindows:(BOOL)excludeDesktopWindows
                               onScreenWindowsOnly:(BOOL)onScreenWindowsOnly
                                 completionHandler:(void (^)(SCShareableContent* shareableContent,
                                                             NSError* error))completionHandler;
@property(readonly) NSArray<SCWindow*>* windows;
@property(readonly) NSArray<SCDisplay*>* displays;
@property(readonly) NSArray<SCRunningApplication*>* applications;
@end

API_AVAILABLE(macos(12.3))
@interface SCContentFilter : NSObject
- (instancetype)initWithDesktopIndependentWindow:(SCWindow*)window;
- (instancetype)initWithDisplay:(SCDisplay*)display excludingWindows:(NSArray<SCWindow*>*)excluded;
- (instancetype)initWithDisplay:(SCDisplay*)display includingWindows:(NSArray<SCWindow*>*)includedWindows;
@property(readonly) CGRect contentRect API_AVAILABLE(macos(14.0));
@property(readonly) float pointPixelScale API_AVAILABLE(macos(14.0));
@end

API_AVAILABLE(macos(12.3))
@interface SCStreamConfiguration : NSObject
@property size_t width;
@property size_t height;
@property OSType pixelFormat;
@property BOOL scalesToFit;
@property CGRect sourceRect;
@property CGRect destinationRect;
@property BOOL showsCursor;
@property CFStringRef colorSpaceName;
@property NSInteger queueDepth;
@property SCCaptureResolutionType captureResolution API_AVAILABLE(macos(14.0));
@property BOOL ignoreShadowsDisplay API_AVAILABLE(macos(14.0));
@end

API_AVAILABLE(macos(14.0))
@interface SCScreenshotManager : NSObject
+ (void)captureImageWithFilter:(SCContentFilter*)contentFilter
                 configuration:(SCStreamConfiguration*)config
             completionHandler:(void (^)(CGImageRef sampleBuffer, NSError* error))completionHandler;
+ (void)captureImageInRect:(CGRect)rect
         completionHandler:(void (^)(CGImageRef image, NSError* error))completionHandler API_AVAILABLE(macos(15.2));
@end
