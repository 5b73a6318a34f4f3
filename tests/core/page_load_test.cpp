// Whether a page counts as loaded: the browser's answer to the navigation
// and the HTTP status read from the settled document.
#include <gtest/gtest.h>

#include "capture.hpp"

namespace kestrelite {
namespace {

using json = nlohmann::json;

std::string outcome(const Result<void>& checked) { return checked ? "loaded" : checked.error().display(); }

TEST(PageLoadTest, ANavigationWithAnErrorTextDidNotLoad) {
  const std::string url = "http://127.0.0.1:9/";
  EXPECT_EQ(outcome(check_navigation({{"frameId", "F"}, {"errorText", "net::ERR_CONNECTION_REFUSED"}}, url)),
            "browser: page did not load: net::ERR_CONNECTION_REFUSED (http://127.0.0.1:9/)");
  for (const json& answer : {json{{"frameId", "F"}, {"loaderId", "L"}}, json{{"errorText", ""}},
                             json{{"errorText", 3}}, json(nullptr), json::array()})
    EXPECT_EQ(outcome(check_navigation(answer, url)), "loaded") << answer.dump();
}

json evaluated(json value) { return {{"result", {{"type", "number"}, {"value", std::move(value)}}}}; }

TEST(PageLoadTest, AStatusOf400OrAboveIsAFailure) {
  const std::string url = "https://example.test/a?b";
  EXPECT_EQ(outcome(check_status(evaluated(404), url)), "browser: page answered HTTP 404 (https://example.test/a?b)");
  EXPECT_EQ(outcome(check_status(evaluated(400), url)), "browser: page answered HTTP 400 (https://example.test/a?b)");
  EXPECT_EQ(outcome(check_status(evaluated(503), url)), "browser: page answered HTTP 503 (https://example.test/a?b)");
  // No status, a success or redirect status, or an answer of another shape.
  for (const json& answer : {evaluated(200), evaluated(399), evaluated(0), evaluated(-404), evaluated(404.5),
                             evaluated("404"), json{{"result", {{"type", "undefined"}}}}, json::object(),
                             json(nullptr)})
    EXPECT_EQ(outcome(check_status(answer, url)), "loaded") << answer.dump();
}

TEST(PageLoadTest, OnlyHttpAndHttpsPagesHaveAStatus) {
  for (const char* url : {"http://a/", "https://a/", "HTTP://A/", "Https://a"}) EXPECT_TRUE(has_http_status(url)) << url;
  for (const char* url : {"file:///tmp/x.html", "data:text/html,http:", "about:blank", "httpx://a", "http", "",
                          "/http://a"})
    EXPECT_FALSE(has_http_status(url)) << url;
}

}  // namespace
}  // namespace kestrelite
