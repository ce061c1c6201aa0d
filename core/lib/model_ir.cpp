#include <memory>
#include <string>

#include "core/ir/document_json.hpp"
#include "core/ir/export.hpp"
#include "core/ir/import.hpp"
#include "core/lib/model.hpp"
#include "platform/cores.hpp"
#include "platform/parallel.hpp"

namespace arborvane::core {
namespace {

// Large ensembles are converted and written on every physical core; the text is the same as
// on one thread. Without a pool (small models, one core, or no thread to be had) it all runs
// on the calling thread.
constexpr std::uint64_t kParallelTreeCount = 8;

std::string document_text(const Model& model, bool pretty) {
  std::unique_ptr<platform::ThreadPool> pool;
  const std::size_t cores = platform::physical_core_count();
  if (model.tree_count() >= kParallelTreeCount && cores > 1) {
    if (auto created = platform::ThreadPool::create(cores)) pool = std::move(*created);
  }
  return ir::write_ir_json(ir::model_to_ir(model, pool.get()), pretty, pool.get());
}

}  // namespace

std::string Model::to_ir_json() const { return document_text(*this, false); }

std::string Model::to_ir_json_pretty() const { return document_text(*this, true); }

std::expected<Model, ir::IrError> Model::deserialize(std::string_view text) {
  return ir::deserialize_model(text);
}

}  // namespace arborvane::core
