// SPDX-License-Identifier: Apache-2.0
// The control panel over real HTTP on the loopback: who may drive the
// machine, what the event stream carries, and that a busy line costs bounded
// memory. The page itself is exercised in a real browser by
// tests/browser/panel_test.mjs.
#include "sim/web_panel.h"

#include <httplib.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/frame_codec.h"

namespace vexokrt::sim {
namespace {

using nlohmann::json;

TEST(WebPanelAddress, ParsesAddressAndPort) {
  struct Case {
    const char* text;
    bool ok;
    const char* address;
    int port;
  };
  const Case cases[] = {
      {"8080", true, "127.0.0.1", 8080},      {"0", true, "127.0.0.1", 0},
      {"0.0.0.0:9000", true, "0.0.0.0", 9000}, {"127.0.0.1:0", true, "127.0.0.1", 0},
      {"[::1]:80", true, "::1", 80},           {"localhost:65535", true, "localhost", 65535},
      {"", false, "", 0},                      {"http", false, "", 0},
      {"65536", false, "", 0},                 {"-1", false, "", 0},
      {":80", false, "", 0},                   {"127.0.0.1:", false, "", 0},
      {"a:b:80", false, "", 0},                {"[::1]80", false, "", 0},
      {"80 ", false, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::optional<WebPanelOptions> parsed = ParseListenAddress(c.text);
    ASSERT_EQ(parsed.has_value(), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(parsed->address, c.address);
    EXPECT_EQ(parsed->port, c.port);
  }
}

class WebPanelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(panel.Start().ok);
    ASSERT_GT(panel.Port(), 0);
  }

  httplib::Client Client() {
    httplib::Client client("127.0.0.1", panel.Port());
    client.set_read_timeout(5, 0);
    return client;
  }

  httplib::Result PostLine(const std::string& line, const httplib::Headers& headers) {
    return Client().Post("/line", headers, json{{"line", line}}.dump(), "application/json");
  }
  httplib::Headers WithToken() const { return {{"X-Panel-Token", panel.Token()}}; }

  // Reads the event stream until |enough| says the text so far suffices (or 5 s pass).
  std::string ReadEvents(const std::function<void()>& after_hello, const std::function<bool(const std::string&)>& enough) {
    std::string text;
    bool hello_seen = false;
    httplib::Client client = Client();
    client.Get("/events?token=" + panel.Token(), [&](const char* data, std::size_t length) {
      text.append(data, length);
      if (!hello_seen && text.find("event: hello") != std::string::npos && text.find("\n\n") != std::string::npos) {
        hello_seen = true;
        after_hello();
      }
      return !(hello_seen && enough(text));
    });
    return text;
  }

  void Enquire(int times) {
    const std::uint8_t enq = kEnq;
    for (int i = 0; i < times; ++i) engine.Receive(std::span(&enq, 1), engine.CurrentLine(), LineCheck::kAll);
  }

  ChangerEngine engine{EngineOptions{}};
  WebPanel panel{engine, WebPanelOptions{}};
};

TEST_F(WebPanelTest, OnlyRequestsWithTheTokenDriveTheMachine) {
  // The page carries the token; everything else needs it.
  httplib::Result page = Client().Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find(panel.Token()), std::string::npos);
  EXPECT_EQ(page->get_header_value("X-Frame-Options"), "DENY");

  struct Case {
    const char* what;
    httplib::Headers headers;
    int status;
  };
  const Case cases[] = {
      {"no token", {}, 403},
      {"wrong token", {{"X-Panel-Token", std::string(panel.Token().size(), 'a')}}, 403},
      {"short token", {{"X-Panel-Token", panel.Token().substr(1)}}, 403},
      {"foreign host name", {{"X-Panel-Token", panel.Token()}, {"Host", "panel.example.com"}}, 403},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    httplib::Result refused = PostLine("jam on", c.headers);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, c.status);
    EXPECT_FALSE(engine.Jammed());
  }
  httplib::Result stream = Client().Get("/events");
  ASSERT_TRUE(stream);
  EXPECT_EQ(stream->status, 403);

  httplib::Result done = PostLine("jam on 0123", WithToken());
  ASSERT_TRUE(done);
  EXPECT_EQ(done->status, 200);
  EXPECT_TRUE(engine.Jammed());
  json answer = json::parse(done->body);
  EXPECT_EQ(answer["line"], "jam on 0123");
  EXPECT_EQ(answer["ok"], true);
  EXPECT_EQ(answer["reply"], "ok\n");
}

TEST_F(WebPanelTest, ServesNoFilesAndRefusesWhatIsNotAControlLine) {
  httplib::Result file = Client().Get("/etc/passwd", WithToken());
  ASSERT_TRUE(file);
  EXPECT_EQ(file->status, 404);

  struct Case {
    std::string body;
    int status;
    bool ok;
  };
  const Case cases[] = {
      {"not json", 400, false},
      {R"({"line": 5})", 400, false},
      {R"({"line": "quit"})", 200, false},
      {R"({"line": "  exit now"})", 200, false},
      {R"({"line": "insert 1000:1\njam on"})", 200, false},
      {json{{"line", "set stock " + std::string(600, '1')}}.dump(), 200, false},
      {R"({"line": "frobnicate"})", 200, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    httplib::Result r = Client().Post("/line", WithToken(), c.body, "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, c.status);
    if (r->status == 200) {
      EXPECT_EQ(json::parse(r->body)["ok"], c.ok);
    }
  }
  EXPECT_FALSE(engine.Jammed());
}

TEST_F(WebPanelTest, EventStreamCarriesTheMachineTheFramesAndTheLinesSent) {
  engine.SetStock(CashCounts{10, 10, 10, 10, 10, 10, 7, 0, 0, 0});
  std::string text = ReadEvents(
      [&] {
        // A deposit is open from the host's side; the panel inserts into it.
        engine.Receive(EncodeHostFrame(std::vector<std::uint8_t>{kDc1, 'F', '0', '4', '0', '0', '0', '0'}),
                       engine.CurrentLine(), LineCheck::kAll);
        PostLine("set duration counting 0", WithToken());
        PostLine("insert 1000:1", WithToken());
      },
      [](const std::string& t) {
        // Both lines' events: the insert's may come after the stock it changed.
        return t.find("\"stock\":[10,10,10,10,10,10,8,") != std::string::npos &&
               t.find("\"line\":\"insert 1000:1\"") != std::string::npos &&
               t.find("ACK to deposit") != std::string::npos;
      });
  EXPECT_NE(text.find("event: hello"), std::string::npos);
  EXPECT_NE(text.find("\"stock\":[10,10,10,10,10,10,8,"), std::string::npos) << text;
  EXPECT_NE(text.find("\"line\":\"insert 1000:1\""), std::string::npos);
  // The host's frame and the device's answer, decoded.
  EXPECT_NE(text.find("F04 deposit"), std::string::npos);
  EXPECT_NE(text.find("ACK to deposit"), std::string::npos);
}

TEST_F(WebPanelTest, BusyLineKeepsMemoryBounded) {
  // Ten frames a second for ten minutes is 6000 frames; this is four times
  // that (12000 enquiries and their answers), several megabytes of log text
  // if nothing were let go.
  for (int round = 0; round < 12; ++round) {
    Enquire(1000);
    ASSERT_TRUE(panel.WaitPublished(5000));
  }
  EXPECT_EQ(panel.FramesSeen(), 24000u);
  EXPECT_EQ(panel.FramesKept(), 500u);
  EXPECT_LT(panel.BytesHeld(), 1024u * 1024);
  // A page that opens now is given the last 500 frames, not all of them.
  std::string hello = ReadEvents([] {}, [](const std::string&) { return true; });
  std::size_t rows = 0;
  for (std::size_t at = 0; (at = hello.find("\"dir\":", at)) != std::string::npos; ++at) ++rows;
  EXPECT_EQ(rows, 500u);
}

}  // namespace
}  // namespace vexokrt::sim
