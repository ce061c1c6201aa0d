#pragma once

#include <charconv>
#include <concepts>
#include <string>
#include <string_view>

namespace arborvane::platform {

namespace detail {

inline void append_piece(std::string& out, std::string_view piece) { out.append(piece); }
inline void append_piece(std::string& out, const char* piece) { out.append(piece); }
inline void append_piece(std::string& out, const std::string& piece) { out.append(piece); }
inline void append_piece(std::string& out, char piece) { out.push_back(piece); }

template <std::integral T>
  requires(!std::same_as<T, char> && !std::same_as<T, bool>)
void append_piece(std::string& out, T value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

}  // namespace detail

// Concatenates texts and integers (in decimal). Floats are deliberately not accepted: messages
// format them with format_display so every float text looks the same.
template <class... Pieces>
std::string str_cat(const Pieces&... pieces) {
  std::string out;
  (detail::append_piece(out, pieces), ...);
  return out;
}

}  // namespace arborvane::platform
