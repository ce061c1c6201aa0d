#include "platform/json_access.hpp"

#include <limits>
#include <utility>

#include "platform/str_cat.hpp"

namespace arborvane::platform {
namespace {

// Where a value sits: a member of `parent` or an element of it. The full path is built only
// when an error needs it.
struct Location {
  const std::string& parent;
  std::string_view name;
  std::size_t index = 0;
  bool is_index = false;

  std::string path() const {
    if (is_index) return str_cat(parent, "[", index, "]");
    if (parent.empty()) return std::string(name);
    return str_cat(parent, ".", name);
  }
};

std::string describe(const JsonValue& value) {
  switch (value.type()) {
    case JsonType::Null:
      return "null";
    case JsonType::Bool:
      return *value.if_bool() ? "true" : "false";
    case JsonType::Number:
      return value.if_number()->to_text();
    case JsonType::String: {
      // Long strings are cut at a character boundary so the message stays readable.
      return describe_json_string(*value.if_string());
    }
    case JsonType::Array:
      return "an array";
    case JsonType::Object:
      return "an object";
  }
  return "an unknown value";
}

std::string prefixed(const std::string& path, std::string_view what) {
  if (path.empty()) return std::string(what);
  return str_cat(path, ": ", what);
}

JsonError wrong_type(const std::string& path, std::string_view expected, const JsonValue& found) {
  return {prefixed(path, str_cat("expected ", expected, ", found ", describe(found)))};
}

template <class U>
std::expected<U, JsonError> convert_unsigned(const JsonValue& value, const Location& at,
                                             std::string_view expected) {
  if (const JsonNumber* number = value.if_number()) {
    const std::optional<std::uint64_t> u = number->as_unsigned();
    if (u && *u <= std::numeric_limits<U>::max()) return static_cast<U>(*u);
  }
  return std::unexpected(wrong_type(at.path(), expected, value));
}

template <JsonReadable T>
std::expected<T, JsonError> convert(const JsonValue& value, const Location& at) {
  if constexpr (std::same_as<T, std::string_view>) {
    if (const std::string* text = value.if_string()) return std::string_view(*text);
    return std::unexpected(wrong_type(at.path(), "a string", value));
  } else if constexpr (std::same_as<T, std::uint64_t>) {
    return convert_unsigned<std::uint64_t>(value, at, "an unsigned integer");
  } else if constexpr (std::same_as<T, std::uint16_t>) {
    return convert_unsigned<std::uint16_t>(value, at, "an unsigned 16-bit integer");
  } else if constexpr (std::same_as<T, std::uint8_t>) {
    return convert_unsigned<std::uint8_t>(value, at, "an unsigned 8-bit integer");
  } else if constexpr (std::same_as<T, double>) {
    if (const JsonNumber* number = value.if_number()) {
      if (const std::optional<double> f = number->as_float()) return *f;
    }
    return std::unexpected(wrong_type(at.path(), "a number", value));
  } else if constexpr (std::same_as<T, bool>) {
    if (const bool* flag = value.if_bool()) return *flag;
    return std::unexpected(wrong_type(at.path(), "a boolean", value));
  } else if constexpr (std::same_as<T, JsonObjectReader>) {
    return JsonObjectReader::open(value, at.path());
  } else {
    static_assert(std::same_as<T, JsonArrayReader>);
    return JsonArrayReader::open(value, at.path());
  }
}

JsonError missing(const Location& at) { return {prefixed(at.path(), "missing required member")}; }

// Spelled out: expected<bool> does not convert to expected<optional<bool>> implicitly.
template <class T>
std::expected<std::optional<T>, JsonError> as_optional(std::expected<T, JsonError> result) {
  if (!result) return std::unexpected(std::move(result.error()));
  return std::optional<T>(std::move(*result));
}

}  // namespace

std::expected<JsonObjectReader, JsonError> JsonObjectReader::open(const JsonValue& value,
                                                                  std::string path) {
  if (const JsonObject* members = value.if_object()) {
    return JsonObjectReader(*members, std::move(path));
  }
  return std::unexpected(wrong_type(path, "an object", value));
}

const JsonValue* JsonObjectReader::find(std::string_view name) const {
  for (const JsonMember& member : *members_) {
    if (member.first == name) return &member.second;
  }
  return nullptr;
}

template <JsonReadable T>
std::expected<T, JsonError> JsonObjectReader::required(std::string_view name) const {
  const Location at{path_, name};
  const JsonValue* value = find(name);
  if (value == nullptr) return std::unexpected(missing(at));
  return convert<T>(*value, at);
}

template <JsonReadable T>
std::expected<std::optional<T>, JsonError> JsonObjectReader::optional(std::string_view name) const {
  const JsonValue* value = find(name);
  if (value == nullptr) return std::optional<T>();
  return as_optional(convert<T>(*value, Location{path_, name}));
}

template <JsonReadable T>
std::expected<std::optional<T>, JsonError> JsonObjectReader::nullable(std::string_view name) const {
  const Location at{path_, name};
  const JsonValue* value = find(name);
  if (value == nullptr) return std::unexpected(missing(at));
  if (value->is_null()) return std::optional<T>();
  return as_optional(convert<T>(*value, at));
}

std::expected<JsonArrayReader, JsonError> JsonArrayReader::open(const JsonValue& value,
                                                                std::string path) {
  if (const JsonArray* items = value.if_array()) return JsonArrayReader(*items, std::move(path));
  return std::unexpected(wrong_type(path, "an array", value));
}

template <JsonReadable T>
std::expected<T, JsonError> JsonArrayReader::at(std::size_t index) const {
  const Location location{path_, {}, index, true};
  if (index >= items_->size()) {
    return std::unexpected(JsonError{prefixed(location.path(), "index past the end of the array")});
  }
  return convert<T>((*items_)[index], location);
}

#define AV_JSON_READABLE(T)                                                                     \
  template std::expected<T, JsonError> JsonObjectReader::required<T>(std::string_view) const;   \
  template std::expected<std::optional<T>, JsonError> JsonObjectReader::optional<T>(            \
      std::string_view) const;                                                                  \
  template std::expected<std::optional<T>, JsonError> JsonObjectReader::nullable<T>(            \
      std::string_view) const;                                                                  \
  template std::expected<T, JsonError> JsonArrayReader::at<T>(std::size_t) const;

AV_JSON_READABLE(std::string_view)
AV_JSON_READABLE(std::uint64_t)
AV_JSON_READABLE(std::uint16_t)
AV_JSON_READABLE(std::uint8_t)
AV_JSON_READABLE(double)
AV_JSON_READABLE(bool)
AV_JSON_READABLE(JsonObjectReader)
AV_JSON_READABLE(JsonArrayReader)

#undef AV_JSON_READABLE

}  // namespace arborvane::platform
