#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "platform/json.hpp"

namespace arborvane::platform {

class JsonObjectReader;
class JsonArrayReader;

// What a member or element can be read as: std::string_view (a string, viewing the JsonValue),
// std::uint64_t / std::uint16_t / std::uint8_t (a plain non-negative integer in range; "1.0",
// "1e2" and "-0" are not), double (any number; null is not), bool, and the two readers below.
template <class T>
concept JsonReadable =
    std::same_as<T, std::string_view> || std::same_as<T, std::uint64_t> ||
    std::same_as<T, std::uint16_t> || std::same_as<T, std::uint8_t> || std::same_as<T, double> ||
    std::same_as<T, bool> || std::same_as<T, JsonObjectReader> || std::same_as<T, JsonArrayReader>;

// Typed access to the members of one object. Every error names the full path of the value
// ("model.trees[3].nodes[7].depth: expected an unsigned integer, found -1"). Members nobody asks
// for are ignored. The reader views the JsonValue, which must outlive it.
class JsonObjectReader {
 public:
  // `path` names `value` in errors; empty for the document root.
  static std::expected<JsonObjectReader, JsonError> open(const JsonValue& value, std::string path);

  // A member that must be present, of type T.
  template <JsonReadable T>
  std::expected<T, JsonError> required(std::string_view name) const;
  // Absent when the member is missing; otherwise it must be of type T.
  template <JsonReadable T>
  std::expected<std::optional<T>, JsonError> optional(std::string_view name) const;
  // A member that must be present and is either null (absent) or of type T.
  template <JsonReadable T>
  std::expected<std::optional<T>, JsonError> nullable(std::string_view name) const;

  const JsonValue* find(std::string_view name) const;
  const JsonObject& members() const { return *members_; }
  const std::string& path() const { return path_; }

 private:
  JsonObjectReader(const JsonObject& members, std::string path)
      : members_(&members), path_(std::move(path)) {}

  const JsonObject* members_;
  std::string path_;
};

// Typed access to the elements of one array; errors name "path[index]".
class JsonArrayReader {
 public:
  static std::expected<JsonArrayReader, JsonError> open(const JsonValue& value, std::string path);

  template <JsonReadable T>
  std::expected<T, JsonError> at(std::size_t index) const;

  std::size_t size() const { return items_->size(); }
  const JsonArray& items() const { return *items_; }
  const std::string& path() const { return path_; }

 private:
  JsonArrayReader(const JsonArray& items, std::string path)
      : items_(&items), path_(std::move(path)) {}

  const JsonArray* items_;
  std::string path_;
};

}  // namespace arborvane::platform
