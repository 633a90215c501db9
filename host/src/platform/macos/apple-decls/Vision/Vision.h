// Type-check declarations (see CoreFoundation/CoreFoundation.h): the Vision
// text recognition classes.
#pragma once

#import <Foundation/Foundation.h>
#include <CoreGraphics/CoreGraphics.h>

typedef float VNConfidence;
typedef NSString* VNImageOption;

typedef NSInteger VNRequestTextRecognitionLevel;
enum : NSInteger {
  VNRequestTextRecognitionLevelAccurate = 0,
  VNRequestTextRecognitionLevelFast = 1,
};
enum : NSUInteger {
  VNRecognizeTextRequestRevision1 = 1,
  VNRecognizeTextRequestRevision2 = 2,
  VNRecognizeTextRequestRevision3 = 3,
};

@class VNRequest;
typedef void (^VNRequestCompletionHandler)(VNRequest* request, NSError* error);

API_AVAILABLE(macos(10.13))
@interface VNObservation : NSObject
@property(readonly) VNConfidence confidence;
@end

API_AVAILABLE(macos(10.13))
@interface VNDetectedObjectObservation : VNObservation
@property(readonly) CGRect boundingBox;
@end

API_AVAILABLE(macos(10.13))
@interface VNRectangleObservation : VNDetectedObjectObservation
@property(readonly) CGPoint topLeft;
@property(readonly) CGPoint topRight;
@property(readonly) CGPoint bottomLeft;
@property(readonly) CGPoint bottomRight;
@end

API_AVAILABLE(macos(10.15))
@interface VNRecognizedText : NSObject
@property(readonly, copy) NSString* string;
@property(readonly) VNConfidence confidence;
- (VNRectangleObservation*)boundingBoxForRange:(NSRange)range error:(NSError**)error;
@end

API_AVAILABLE(macos(10.15))
@interface VNRecognizedTextObservation : VNRectangleObservation
- (NSArray<VNRecognizedText*>*)topCandidates:(NSUInteger)maxCandidateCount;
@end

API_AVAILABLE(macos(10.13))
@interface VNRequest : NSObject
- (instancetype)init;
- (instancetype)initWithCompletionHandler:(VNRequestCompletionHandler)completionHandler;
@property(readonly, copy) NSArray* results;
@property NSUInteger revision API_AVAILABLE(macos(10.14));
@property BOOL usesCPUOnly;
- (void)cancel;
@end

API_AVAILABLE(macos(10.13))
@interface VNImageBasedRequest : VNRequest
@property CGRect regionOfInterest;
@end

API_AVAILABLE(macos(10.15))
@interface VNRecognizeTextRequest : VNImageBasedRequest
+ (NSArray<NSString*>*)supportedRecognitionLanguagesForTextRecognitionLevel:(VNRequestTextRecognitionLevel)level
                                                                   revision:(NSUInteger)requestRevision
                                                                      error:(NSError**)error
    __attribute__((availability(macos, introduced = 10.15, deprecated = 12.0)));
- (NSArray<NSString*>*)supportedRecognitionLanguagesAndReturnError:(NSError**)error API_AVAILABLE(macos(12.0));
@property(copy) NSArray<NSString*>* recognitionLanguages;
@property(copy) NSArray<NSString*>* customWords;
@property VNRequestTextRecognitionLevel recognitionLevel;
@property BOOL usesLanguageCorrection;
@property BOOL automaticallyDetectsLanguage API_AVAILABLE(macos(13.0));
@property float minimumTextHeight;
@property(readonly, copy) NSArray<VNRecognizedTextObservation*>* results;
@end

API_AVAILABLE(macos(10.13))
@interface VNImageRequestHandler : NSObject
- (instancetype)initWithCGImage:(CGImageRef)image options:(NSDictionary<VNImageOption, id>*)options;
- (instancetype)initWithData:(NSData*)imageData options:(NSDictionary<VNImageOption, id>*)options;
- (BOOL)performRequests:(NSArray<VNRequest*>*)requests error:(NSError**)error;
@end
