#include <string>

#include "core/ir/document_json.hpp"
#include "core/ir/export.hpp"
#include "core/ir/import.hpp"
#include "core/lib/model.hpp"

namespace arborvane::core {

std::string Model::to_ir_json() const { return ir::write_ir_json(ir::model_to_ir(*this), false); }

std::string Model::to_ir_json_pretty() const {
  return ir::write_ir_json(ir::model_to_ir(*this), true);
}

std::expected<Model, ir::IrError> Model::deserialize(std::string_view text) {
  return ir::deserialize_model(text);
}

}  // namespace arborvane::core
