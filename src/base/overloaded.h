// Overloaded: one visitor of a std::variant made of several lambdas, one per
// alternative.
#pragma once

namespace harlo {

template <typename... Handlers>
struct Overloaded : Handlers... {
  using Handlers::operator()...;
};
// Spelled out for compilers without deduction for aggregates (clang 14).
template <typename... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

}  // namespace harlo
