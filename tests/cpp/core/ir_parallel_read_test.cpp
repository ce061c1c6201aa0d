#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/ir/document_json.hpp"
#include "core/ir/import.hpp"
#include "core/lib/model.hpp"
#include "core/lib/train.hpp"
#include "data/table.hpp"

namespace arborvane::core::ir {
namespace {

// A forest of 20 small trees: enough for its trees to be read in parallel.
std::string forest_text() {
  std::vector<std::vector<double>> rows;
  std::vector<double> targets;
  for (int r = 0; r < 200; ++r) {
    rows.push_back({double(r % 17), double(r % 2), double((r * 7) % 23)});
    targets.push_back(double((r % 17 > 8) + (r % 2)));
  }
  auto table = data::Table::with_options(rows, targets, 0, data::NumericBins::automatic());
  EXPECT_TRUE(table.has_value());
  TrainConfig config;
  config.algorithm = TrainAlgorithm::Rf;
  config.task = Task::Classification;
  config.physical_cores = 1;
  config.max_depth = 3;
  config.n_trees = 20;
  config.seed = 5;
  auto model = train(*table, config);
  EXPECT_TRUE(model.has_value());
  return model->to_ir_json();
}

// Replaces the `nth` occurrence (0-based) of `from` in `text`.
std::string edit_nth(std::string text, const std::string& from, const std::string& to,
                     std::size_t nth) {
  std::size_t at = text.find(from);
  for (std::size_t i = 0; i < nth && at != std::string::npos; ++i) at = text.find(from, at + 1);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

std::string outcome(const std::string& text, platform::ThreadPool* pool) {
  auto document = read_ir_json(text, pool);
  return document ? "read" : document.error().description;
}

TEST(IrParallelRead, TreesReadInParallelGiveTheSameDocument) {
  const std::string text = forest_text();
  auto pool = platform::ThreadPool::create(3);
  ASSERT_TRUE(pool.has_value());
  auto serial = read_ir_json(text);
  auto parallel = read_ir_json(text, pool->get());
  ASSERT_TRUE(serial.has_value() && parallel.has_value());
  EXPECT_EQ(*parallel, *serial);
  EXPECT_EQ(serial->model.trees.size(), 20u);
  // Whitespace around the elements and the trees member placed last change nothing.
  const std::string spaced = edit_nth(edit_nth(text, "\"trees\":[", "\"trees\": [ \n", 0),
                                      "]}]", "]} \n ]", 0);
  EXPECT_EQ(outcome(spaced, pool->get()), "read");
}

TEST(IrParallelRead, MalformedTreesReportWhatReadingInOrderReports) {
  const std::string text = forest_text();
  auto pool = platform::ThreadPool::create(3);
  ASSERT_TRUE(pool.has_value());
  const std::string tree = "{\"representation\":\"node_tree\"";
  const std::vector<std::string> broken{
      edit_nth(text, "\"depth\":1", "\"depth\":-1", 30),
      edit_nth(text, "\"kind\":\"leaf\"", "\"kind\":\"leaf", 40),
      edit_nth(text, "\"kind\":\"leaf\"", "\"kind\":\"leaf\",\"kind\":\"leaf\"", 50),
      edit_nth(text, tree, "{\"x\":" + std::string(300, '[') + "1" + std::string(300, ']') + "," +
                               tree.substr(1), 7),
      edit_nth(text, "}," + tree, "} x," + tree, 12),
      edit_nth(text, "}," + tree, "},," + tree, 3),
      edit_nth(text, "]}],\"aggregation\"", "]},],\"aggregation\"", 0),
      edit_nth(text, "\"gain\":", "\"gain\":[}", 60),
      edit_nth(text, "\"feature_name\":\"f", "\"feature_name\":\"\\q", 25),
      // Two broken trees: the earlier one is reported.
      edit_nth(edit_nth(text, "\"depth\":2", "\"depth\":true", 70), "\"depth\":1", "\"depth\":1.5",
               5),
  };
  for (std::size_t i = 0; i < broken.size(); ++i) {
    SCOPED_TRACE(i);
    const std::string expected = outcome(broken[i], nullptr);
    EXPECT_NE(expected, "read");
    EXPECT_EQ(outcome(broken[i], pool->get()), expected);
  }
}

TEST(IrParallelRead, LargeDocumentsDeserializeTheSameModel) {
  const std::string text = forest_text();
  // Pads the text past the size at which deserialize reads on every core.
  const std::string padded =
      edit_nth(text, "\"producer\":{", "\"producer\":{\"pad\":\"" + std::string(1 << 20, 'p') + "\",", 0);
  auto serial = model_from_ir(*read_ir_json(text));
  auto parallel = Model::deserialize(padded);
  ASSERT_TRUE(serial.has_value() && parallel.has_value());
  EXPECT_EQ(*parallel, *serial);
  const std::string broken = edit_nth(padded, "\"node_id\":0", "\"node_id\":99", 9);
  EXPECT_EQ(Model::deserialize(broken).error().to_string(),
            model_from_ir(*read_ir_json(broken)).error().to_string());
}

}  // namespace
}  // namespace arborvane::core::ir
