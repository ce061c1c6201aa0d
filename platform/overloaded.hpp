#pragma once

namespace arborvane::platform {

// One visitor from several lambdas: std::visit(Overloaded{[](const A&) {...}, ...}, variant).
template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};

}  // namespace arborvane::platform
