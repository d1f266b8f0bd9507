// Result<T, E>: the value of an operation that can fail, or its error.
//
// Operations that can fail return one of these instead of throwing; the
// caller decides what a failure means. Result<void, E> carries only the
// error. Build a failure with fail(error):
//
//   Result<int, std::string> parse(std::string_view text) {
//     if (text.empty()) return fail(std::string("empty"));
//     return 42;
//   }
#pragma once

#include <cassert>
#include <optional>
#include <utility>
#include <variant>

namespace harlo {

template <typename E>
struct Failure {
  E error;
};

template <typename E>
Failure<E> fail(E error) {
  return Failure<E>{std::move(error)};
}

template <typename T, typename E>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  template <typename F>
  Result(Failure<F> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // Only valid when ok().
  T& value() & {
    assert(ok());
    return std::get<0>(state_);
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(state_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(state_));
  }

  // Only valid when !ok().
  const E& error() const {
    assert(!ok());
    return std::get<1>(state_);
  }

 private:
  std::variant<T, E> state_;
};

template <typename E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  template <typename F>
  Result(Failure<F> failure) : error_(std::move(failure.error)) {}

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }

  // Only valid when !ok().
  const E& error() const {
    assert(!ok());
    return *error_;
  }

 private:
  std::optional<E> error_;
};

}  // namespace harlo
