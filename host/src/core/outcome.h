#pragma once
// A value or an error string. Every method and most helpers return one of these;
// nothing throws across a module boundary.

#include <string>
#include <utility>
#include <variant>

#include "core/json.h"

namespace pelagon2 {

struct Error {
  std::string message;
};

inline Error make_error(std::string message) { return Error{std::move(message)}; }

template <class T>
class Expected {
 public:
  Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Expected(Error error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const std::string& error() const { return std::get<1>(state_).message; }
  Error take_error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, Error> state_;
};

// What a method returns: a result value or an error message for the reply envelope.
using Outcome = Expected<Json>;

// Success that carries nothing, or an error message: what a step that only
// acts (writes a file, sends an event) returns.
using Done = Expected<std::monostate>;

}  // namespace pelagon2
