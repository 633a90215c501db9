// Text recognition by the Vision framework: the caller's encoded bytes go to
// the recognizer as they are, and its lines come back with their best
// candidate and normalised box, unconverted.

#import <Foundation/Foundation.h>
#import <Vision/Vision.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/macos/macos_model.h"
#include "platform/macos/macos_services.h"

namespace pelagon2::platform::macos {
namespace {

static_assert(kRecognitionLevelAccurate == VNRequestTextRecognitionLevelAccurate);

// Lossy only for what UTF-8 cannot hold (unpaired surrogates); embedded NULs
// are kept.
std::string utf8(NSString* text) {
  NSData* bytes = [text dataUsingEncoding:NSUTF8StringEncoding allowLossyConversion:YES];
  if (bytes == nil) return {};
  return std::string(static_cast<const char*>([bytes bytes]), [bytes length]);
}

Error failure(NSError* error) {
  if (error == nil) return make_error(std::string(kRecognizerGaveNoReason));
  return make_error(utf8([error localizedDescription]));
}

// Vision reports failures as errors, but an exception escaping into the host
// would end it, so one is reported like an error.
Error failure(NSException* exception) {
  NSString* reason = [exception reason];
  return make_error(reason != nil ? utf8(reason) : std::string(kRecognizerGaveNoReason));
}

VNRecognizeTextRequest* accurate_request() {
  VNRecognizeTextRequest* request = [[[VNRecognizeTextRequest alloc] init] autorelease];
  request.recognitionLevel = kRecognitionLevelAccurate;
  return request;
}

NSArray<NSString*>* supported_languages(VNRecognizeTextRequest* request, NSError** error) {
  if (@available(macOS 12.0, *)) {
    return [request supportedRecognitionLanguagesAndReturnError:error];
  }
  // Before macOS 12 the list is asked of the class, for the request's level
  // and revision.
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
  return [VNRecognizeTextRequest supportedRecognitionLanguagesForTextRecognitionLevel:request.recognitionLevel
                                                                             revision:request.revision
                                                                                error:error];
#pragma clang diagnostic pop
}

class VisionRecognizer final : public Recognizer {
 public:
  Expected<std::vector<RecognizedLine>> recognize(const RecognitionImage& image,
                                                  const std::optional<std::string>& language) override {
    @autoreleasepool {
      @try {
        NSData* data = [NSData dataWithBytes:image.encoded.data() length:image.encoded.size()];
        VNImageRequestHandler* handler =
            [[[VNImageRequestHandler alloc] initWithData:data options:[NSDictionary dictionary]] autorelease];
        VNRecognizeTextRequest* request = accurate_request();
        request.usesLanguageCorrection = YES;
        if (language) {
          NSString* identifier = [[[NSString alloc] initWithBytes:language->data()
                                                           length:language->size()
                                                         encoding:NSUTF8StringEncoding] autorelease];
          if (identifier == nil) return make_error(std::string(kLanguageNotText));
          request.recognitionLanguages = [NSArray arrayWithObject:identifier];
        }
        NSError* error = nil;
        if (![handler performRequests:[NSArray arrayWithObject:request] error:&error]) return failure(error);

        std::vector<RecognizedLine> lines;
        for (VNRecognizedTextObservation* observation in request.results) {
          RecognizedLine line;
          if (VNRecognizedText* best = [[observation topCandidates:1] firstObject]) line.text = utf8(best.string);
          const CGRect box = observation.boundingBox;
          line.x = box.origin.x;
          line.y = box.origin.y;
          line.width = box.size.width;
          line.height = box.size.height;
          lines.push_back(std::move(line));
        }
        return lines;
      } @catch (NSException* exception) {
        return failure(exception);
      }
    }
  }

  Expected<std::vector<std::string>> languages() override {
    @autoreleasepool {
      @try {
        NSError* error = nil;
        NSArray<NSString*>* identifiers = supported_languages(accurate_request(), &error);
        if (identifiers == nil) return failure(error);
        std::vector<std::string> list;
        list.reserve([identifiers count]);
        for (NSString* identifier in identifiers) list.push_back(utf8(identifier));
        return list;
      } @catch (NSException* exception) {
        return failure(exception);
      }
    }
  }
};

}  // namespace

std::unique_ptr<Recognizer> make_recognizer() { return std::make_unique<VisionRecognizer>(); }

}  // namespace pelagon2::platform::macos
