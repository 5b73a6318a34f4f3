#include <gtest/gtest.h>

#include "capture.hpp"

namespace kestrelite {
namespace {

using json = nlohmann::json;

json value_answer(json value) { return {{"result", {{"type", "string"}, {"value", std::move(value)}}}}; }

struct SettleCase {
  const char* name;
  json answer;
  json open;
  bool network;
  const char* settle;
  std::vector<std::string> settle_open;
};

class ReadSettleTest : public testing::TestWithParam<SettleCase> {};

TEST_P(ReadSettleTest, AnswerAndOpenWaitsGiveTheRecord) {
  const SettleCase& c = GetParam();
  Capture capture;
  capture.settle_open = {"stale"};
  read_settle(c.answer, c.open, c.network, capture);
  EXPECT_EQ(capture.settle, c.settle);
  EXPECT_EQ(capture.settle_open, c.settle_open);
}

// Open waits come out in one fixed order, known names only, each once; the
// capture's own count of requests adds "network".
INSTANTIATE_TEST_SUITE_P(
    Answers, ReadSettleTest,
    testing::Values(
        SettleCase{"quiet", value_answer("quiet"), json(), true, "quiet", {}},
        SettleCase{"no_value", json::object(), json(), false, "quiet", {}},
        SettleCase{"timeout_unread", value_answer("timeout"), json(), false, "deadline", {}},
        SettleCase{"timeout_open", value_answer("timeout"),
                   value_answer({"DOM", "images", "load", "bogus", "images", 3}), false, "deadline",
                   {"load", "images", "DOM"}},
        SettleCase{"network_from_count", value_answer("timeout"), value_answer({"fonts"}), true, "deadline",
                   {"fonts", "network"}},
        SettleCase{"open_not_a_list", value_answer("timeout"), value_answer("images"), false, "deadline", {}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrelite
