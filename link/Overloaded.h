// Visits a std::variant with one lambda per alternative, as the front ends do with what the link
// hands them.
#pragma once

namespace devlink {

template <typename... Visitors>
struct Overloaded : Visitors... {
  using Visitors::operator()...;
};
// clang 14 does not yet deduce aggregate template arguments by itself.
template <typename... Visitors>
Overloaded(Visitors...) -> Overloaded<Visitors...>;

}  // namespace devlink
