#pragma once
// Owners of Core Foundation and Objective-C references. The backend is built
// with manual retain/release, so each owner takes over one reference (from a
// Create/Copy call, or an explicit retain) and releases it exactly once.

#import <Foundation/Foundation.h>
#include <CoreFoundation/CoreFoundation.h>

#include <utility>

namespace pelagon2::platform::macos {

template <class Ref>
class CfOwner {
 public:
  CfOwner() = default;
  explicit CfOwner(Ref ref) : ref_(ref) {}
  CfOwner(CfOwner&& other) noexcept : ref_(std::exchange(other.ref_, nullptr)) {}
  CfOwner& operator=(CfOwner&& other) noexcept {
    if (this != &other) {
      reset();
      ref_ = std::exchange(other.ref_, nullptr);
    }
    return *this;
  }
  CfOwner(const CfOwner&) = delete;
  CfOwner& operator=(const CfOwner&) = delete;
  ~CfOwner() { reset(); }

  Ref get() const { return ref_; }
  explicit operator bool() const { return ref_ != nullptr; }

 private:
  void reset() {
    if (ref_ != nullptr) CFRelease(ref_);
    ref_ = nullptr;
  }
  Ref ref_ = nullptr;
};

template <class Object>
class ObjcOwner {
 public:
  ObjcOwner() = default;
  explicit ObjcOwner(Object* object) : object_(object) {}
  ObjcOwner(ObjcOwner&& other) noexcept : object_(std::exchange(other.object_, nil)) {}
  ObjcOwner& operator=(ObjcOwner&& other) noexcept {
    if (this != &other) {
      [object_ release];
      object_ = std::exchange(other.object_, nil);
    }
    return *this;
  }
  ObjcOwner(const ObjcOwner&) = delete;
  ObjcOwner& operator=(const ObjcOwner&) = delete;
  ~ObjcOwner() { [object_ release]; }

  Object* get() const { return object_; }
  explicit operator bool() const { return object_ != nil; }

 private:
  Object* object_ = nil;
};

}  // namespace pelagon2::platform::macos
