#include "report.hpp"

#include <gtest/gtest.h>

namespace kestrelite {
namespace {

RunReport empty_report() {
  RunReport r;
  r.version_text = "0.1.14";
  r.url = "https://example.test/";
  r.seed = 42;
  r.locale = "en-US";
  r.elapsed_ms = 7;
  return r;
}

Capture phone_capture(bool exact, bool with_environment) {
  Capture c;
  c.device_id = "apple-iphone-6-9-1320";
  c.expected = {1320, 2868};
  c.actual = exact ? ImageSize{1320, 2868} : ImageSize{1320, 2867};
  c.sha256 = std::string(64, 'a');
  c.bytes = 123456;
  c.exact = exact;
  if (with_environment) c.environment = Environment{440, 956, 3, 5, true};
  return c;
}

TEST(ReportJsonTest, RunWithoutDevices) {
  EXPECT_EQ(report_json(empty_report()),
            R"({"kestrelite":"0.1.14","url":"https://example.test/","seed":42,"locale":"en-US","exact":0,)"
            R"("off_size":0,"failed":0,"elapsed_ms":7,"ok":false,"results":[]})");
}

TEST(ReportJsonTest, DeviceObjectsCarryOnlyTheirOutcomesMembers) {
  RunReport r = empty_report();
  r.exact = 1;
  r.off_size = 1;
  r.failed = 1;
  r.results.push_back({"apple-iphone-6-9-1320", Outcome::Exact, 812, phone_capture(true, true), std::nullopt,
                       "/tmp/out/apple-iphone-6-9-1320.png"});
  r.results.push_back({"apple-iphone-6-9-1320", Outcome::OffSize, 5, phone_capture(false, false), std::nullopt,
                       "/tmp/out/apple-iphone-6-9-1320.png"});
  r.results.push_back({"x", Outcome::Failed, 0, std::nullopt, "browser: could not attach: no page target yet",
                       std::nullopt});
  const std::string sha(64, 'a');
  EXPECT_EQ(report_json(r),
            R"({"kestrelite":"0.1.14","url":"https://example.test/","seed":42,"locale":"en-US","exact":1,)"
            R"("off_size":1,"failed":1,"elapsed_ms":7,"ok":false,"results":[)"
            R"({"device_id":"apple-iphone-6-9-1320","outcome":"exact","elapsed_ms":812,"capture":{)"
            R"("device_id":"apple-iphone-6-9-1320","expected":[1320,2868],"actual":[1320,2868],"sha256":")" + sha +
                R"(","bytes":123456,"exact":true,"environment":{"inner_width":440,"inner_height":956,)"
                R"("device_pixel_ratio":3,"touch_points":5,"viewport_honoured":true}},)"
                R"("path":"/tmp/out/apple-iphone-6-9-1320.png"},)"
                R"({"device_id":"apple-iphone-6-9-1320","outcome":"off-size","elapsed_ms":5,"capture":{)"
                R"("device_id":"apple-iphone-6-9-1320","expected":[1320,2868],"actual":[1320,2867],"sha256":")" +
                sha + R"(","bytes":123456,"exact":false},"path":"/tmp/out/apple-iphone-6-9-1320.png"},)"
                R"({"device_id":"x","outcome":"failed","elapsed_ms":0,)"
                R"("error":"browser: could not attach: no page target yet"}]})");
}

TEST(ReportJsonTest, StringsAreEscapedAndNonAsciiKeptAsIs) {
  RunReport r = empty_report();
  r.url = "http://h/\"q\"\\p\n\xC3\xA9";
  r.results.push_back({"d", Outcome::Failed, 1, std::nullopt, std::string("a\x01" "b\tc", 5), std::nullopt});
  std::string text = report_json(r);
  EXPECT_NE(text.find(R"("url":"http://h/\"q\"\\p\n)" "\xC3\xA9\""), std::string::npos) << text;
  EXPECT_NE(text.find(R"("error":"a\u0001b\tc")"), std::string::npos) << text;
}

TEST(ReportJsonTest, MillisecondsAreWrittenInFull) {
  RunReport r = empty_report();
  r.elapsed_ms = (static_cast<uint128>(1) << 100) + 5;
  r.seed = 18446744073709551615u;
  std::string text = report_json(r);
  EXPECT_NE(text.find(R"("elapsed_ms":1267650600228229401496703205381,)"), std::string::npos) << text;
  EXPECT_NE(text.find(R"("seed":18446744073709551615,)"), std::string::npos) << text;
}

TEST(ReportJsonTest, WholeMillisecondsAreTruncated) {
  EXPECT_EQ(whole_millis(std::chrono::nanoseconds(2'999'900'000)), 2999u);
  EXPECT_EQ(whole_millis(std::chrono::nanoseconds(999'999)), 0u);
  EXPECT_EQ(whole_millis(std::chrono::seconds(3)), 3000u);
}

}  // namespace
}  // namespace kestrelite
