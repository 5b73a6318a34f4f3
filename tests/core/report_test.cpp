#include "kestrelite/report.hpp"

#include <gtest/gtest.h>

#include "kestrelite/progress.hpp"

namespace kestrelite {
namespace {

// Exact: settled quietly; off-size: at the deadline, with dialogs, on another address.
Capture phone_capture(bool exact) {
  Capture c{.device_id = "phone", .expected = {1320, 2868}, .actual = {1320, exact ? 2868u : 2867u},
            .sha256 = std::string(64, 'a'), .bytes = 123456, .exact = exact, .environment = {}, .settle = "quiet",
            .settle_open = {}, .dialogs = {}, .final_url = {}};
  if (exact) return c.environment = Environment{440, 956, 3, 5, true}, c;
  return c.settle = "deadline", c.settle_open = {"images", "network"}, c.dialogs = {{"alert", "a\"b"}},
         c.final_url = "https://example.test/next", c;
}

TEST(ReportJsonTest, MembersInOrderAndOnlyThoseOfEachOutcome) {
  RunReport r{.version_text = "0.1.14", .url = "https://example.test/", .seed = 42, .locale = "en-US", .exact = 1,
              .off_size = 1, .failed = 1, .elapsed_ms = 7, .results = {}};
  r.results.push_back({"phone", Outcome::Exact, 812, phone_capture(true), std::nullopt, "/out/phone.png"});
  r.results.push_back({"phone", Outcome::OffSize, 5, phone_capture(false), std::nullopt, "/out/phone.png"});
  r.results.push_back({"x", Outcome::Failed, 0, std::nullopt, "browser: no page", std::nullopt});
  const std::string sha(64, 'a');
  EXPECT_EQ(report_json(r),
            R"({"kestrelite":"0.1.14","url":"https://example.test/","seed":42,"locale":"en-US","exact":1,)"
            R"("off_size":1,"failed":1,"elapsed_ms":7,"ok":false,"results":[)"
            R"({"device_id":"phone","outcome":"exact","elapsed_ms":812,"capture":{"device_id":"phone",)"
            R"("expected":[1320,2868],"actual":[1320,2868],"sha256":")" + sha + R"(","bytes":123456,"exact":true,)"
            R"("environment":{"inner_width":440,"inner_height":956,"device_pixel_ratio":3,"touch_points":5,)"
            R"("viewport_honoured":true},"settle":"quiet"},"path":"/out/phone.png"},)"
            R"({"device_id":"phone","outcome":"off-size","elapsed_ms":5,"capture":{"device_id":"phone",)"
            R"("expected":[1320,2868],"actual":[1320,2867],"sha256":")" + sha + R"(","bytes":123456,"exact":false,)"
            R"("settle":"deadline","settle_open":["images","network"],"dialogs":[{"type":"alert","message":"a\"b"}],)"
            R"("final_url":"https://example.test/next"},"path":"/out/phone.png"},)"
            R"({"device_id":"x","outcome":"failed","elapsed_ms":0,"error":"browser: no page"}]})");
}

TEST(ReportJsonTest, StringsAreEscapedAndNumbersWrittenInFull) {
  RunReport r;
  r.url = "http://h/\"q\"\\p\n\xC3\xA9";
  r.seed = 18446744073709551615u;
  r.elapsed_ms = (static_cast<uint128>(1) << 100) + 5;
  r.results.push_back({"d", Outcome::Failed, 1, std::nullopt, std::string("a\x01" "b\x1f\tc\xff", 7), std::nullopt});
  std::string text = report_json(r);
  EXPECT_NE(text.find(R"("url":"http://h/\"q\"\\p\n)" "\xC3\xA9\",\"seed\":18446744073709551615,"), std::string::npos);
  EXPECT_NE(text.find(R"("elapsed_ms":1267650600228229401496703205381,)"), std::string::npos) << text;
  EXPECT_NE(text.find(R"("error":"a\u0001b\u001f\tc)" "\xEF\xBF\xBD\""), std::string::npos) << text;
  EXPECT_EQ(whole_millis(std::chrono::nanoseconds(2'999'900'000)), 2999u);
}

}  // namespace
}  // namespace kestrelite
