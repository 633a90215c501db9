// The Accessibility trust checks of ApplicationServices.

#include <ApplicationServices/ApplicationServices.h>

#include "platform/macos/apple_refs.h"
#include "platform/macos/macos_services.h"

namespace pelagon2::platform::macos {
namespace {

class MacPermissions final : public Permissions {
 public:
  bool accessibility_trusted() override { return AXIsProcessTrusted() != 0; }

  bool request_accessibility() override {
    const void* keys[] = {kAXTrustedCheckOptionPrompt};
    const void* values[] = {kCFBooleanTrue};
    const CfOwner<CFDictionaryRef> options(CFDictionaryCreate(kCFAllocatorDefault, keys, values, 1,
                                                              &kCFTypeDictionaryKeyCallBacks,
                                                              &kCFTypeDictionaryValueCallBacks));
    return AXIsProcessTrustedWithOptions(options.get()) != 0;
  }
};

}  // namespace

std::unique_ptr<Permissions> make_permissions() { return std::make_unique<MacPermissions>(); }

}  // namespace pelagon2::platform::macos
