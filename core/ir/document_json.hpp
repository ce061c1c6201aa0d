#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "core/ir/document.hpp"
#include "platform/json.hpp"
#include "platform/parallel.hpp"

namespace arborvane::core::ir {

// The document as JSON text: compact (no whitespace) or pretty (two spaces per level). Members
// in writing order, absent optional members left out, absent upper bounds written as null.
// With a pool, the trees of a large ensemble are written in parallel; the text is the same.
std::string write_ir_json(const ModelPackageIr& document, bool pretty,
                          platform::ThreadPool* pool = nullptr);

// Parses one document: well-formed JSON, every required member present with the right type,
// known tags, no duplicate members; unknown members are ignored. Values are not judged here
// (versions, fixed words, tree structure): import does that. Errors name the member path.
// With a pool, the trees of a large ensemble are read in parallel; the result, and the error
// of a malformed text, are the same.
std::expected<ModelPackageIr, platform::JsonError> read_ir_json(std::string_view text,
                                                                platform::ThreadPool* pool = nullptr);

}  // namespace arborvane::core::ir
