// What a hostile or broken server can send, against a real server on loopback: every reply ends in
// a result or in one of the channel's two errors, bounded in time, memory and text.
#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "KNTestHttp.h"
#include "ext.channel.h"
#include "ext_fixture.h"

namespace kn {
namespace {

using nlohmann::json;
using test::reply;
using test::TestServer;
namespace fs = std::filesystem;

class HostileReply : public test::TempRoot {};

std::string nested(size_t depth, const std::string& inner = "1") {
  return std::string(depth, '[') + inner + std::string(depth, ']');
}

// A reply whose result is an array of `item`, repeated to just under the 64 MB cap.
std::string manyValues(const std::string& item) {
  std::string open = R"({"type":"rpc","result":[)", close = "]}";
  size_t count = (TExtChannel::kMaxReplyBytes - 1024 - open.size() - close.size()) / (item.size() + 1);
  std::string text = open;
  text.reserve(TExtChannel::kMaxReplyBytes);
  for (size_t i = 0; i < count; ++i) (text += item) += ',';
  text.back() = ']';
  return text + "}";
}

std::string errorOf(TExtChannel& ch, bool* serverError = nullptr) {
  try {
    ch.invoke("ITAgent", "putCommand", json::array());
  } catch (const EExtError& e) {
    if (serverError) *serverError = true;
    return e.what();
  } catch (const EExtCommunicationError& e) {
    if (serverError) *serverError = false;
    return e.what();
  }
  return "(no error)";
}

TEST_F(HostileReply, EachReplyEndsInAResultOrAClearError) {
  TestServer srv;
  TExtChannel ch(srv.url());
  const std::string tooDeep = "Communication error: the reply is nested deeper than 256 levels";
  const std::string tooLarge = "Communication error: the reply is larger than 64 MB";
  const std::string notJson = "Communication error: the reply is not a JSON object: ";
  const std::string tooCostly =
      "Communication error: the reply's values would take more than 128 MB of memory";
  struct Case {
    const char* what;
    TestServer::Handler handler;
    std::string result;   // the result's JSON text, or "" when the call fails
    std::string message;  // the failure's message (or its beginning, for notJson)
    bool serverError;     // EExtError rather than EExtCommunicationError
  } cases[] = {
      {"nested 100,000 deep as the result", reply(R"({"type":"rpc","result":)" + nested(100000) + "}"), "",
       tooDeep, false},
      {"nested 100,000 deep as an exception's message",
       reply(R"({"type":"exception","message":)" + nested(100000) + "}"), "", tooDeep, false},
      {"the deepest reply accepted (256 levels with the envelope)",
       reply(R"({"type":"rpc","result":)" + nested(255) + "}"), nested(255), "", false},
      {"one level deeper", reply(R"({"type":"rpc","result":)" + nested(256) + "}"), "", tooDeep, false},
      {"invalid UTF-8 in the result", reply("{\"type\":\"rpc\",\"result\":\"a\xFF\xC3z\"}"),
       "\"a\xEF\xBF\xBD\xEF\xBF\xBDz\"", "", false},
      {"invalid UTF-8 in an exception's message",
       reply("{\"type\":\"exception\",\"message\":\"Bad \xC0 key\"}"), "", "Bad \xEF\xBF\xBD key", true},
      {"an exception's message that is an object",
       reply(R"({"type":"exception","message":{"code":7,"text":"line1\nline2"}})"), "",
       R"({"code":7,"text":"line1\nline2"})", true},
      {"an exception's message with a line break", reply(R"({"type":"exception","message":"a\r\nFORGED"})"),
       "", "a\\r\\nFORGED", true},
      {"21 million empty objects, just under the byte cap", reply(manyValues("{}")), "", tooCostly, false},
      {"21 million empty arrays", reply(manyValues("[]")), "", tooCostly, false},
      {"31 million one-digit numbers", reply(manyValues("7")), "", tooCostly, false},
      {"strings of 1 KB up to the byte cap are taken",
       reply(manyValues("\"" + std::string(1021, 'x') + "\"")), "", "", false},
      {"100 MB with a declared length", test::streamedReply(100 << 20, true), "", tooLarge, false},
      {"100 MB chunked", test::streamedReply(100 << 20, false), "", tooLarge, false},
      {"a NUL after the object", reply(std::string(R"({"type":"rpc","result":1})") + '\0'), "", notJson,
       false},
      {"a number beyond double range", reply(R"({"type":"rpc","result":1e400})"), "", notJson, false},
      {"Charset=ISO-8859-1", reply("{\"result\":\"S\xE3o\"}", 200, "application/json; Charset=ISO-8859-1"),
       "\"S\xC3\xA3o\"", "", false},
      {"charset = \"utf-8\"",
       reply("{\"result\":\"\xC3\xA9\"}", 200, "application/json; charset = \"utf-8\""), "\"\xC3\xA9\"", "",
       false},
      {"iso-8859-15", reply("{\"result\":\"\xA4\"}", 200, "application/json;charset=iso-8859-15"),
       "\"\xE2\x82\xAC\"", "", false},
      {"us-ascii with a byte above 127",
       reply("{\"result\":\"a\xE9\"}", 200, "application/json; charset=us-ascii"), "\"a\xEF\xBF\xBD\"", "",
       false},
      {"UTF-16 without byte-order mark, big-endian",
       reply(std::string("\0{\0\"\0r\0e\0s\0u\0l\0t\0\"\0:\0\"\0\xE9\0\"\0}", 28), 200,
             "application/json; charset=UTF-16"),
       "\"\xC3\xA9\"", "", false},
      {"UTF-16 without byte-order mark, little-endian",
       reply(std::string("{\0\"\0r\0e\0s\0u\0l\0t\0\"\0:\0\"\0\xE9\0\"\0}\0", 28), 200,
             "application/json; charset=utf-16"),
       "\"\xC3\xA9\"", "", false},
      {"a charset iconv does not know",
       reply("{\"result\":\"\xC3\xA9\"}", 200, "application/json; charset=x-none"), "\"\xC3\xA9\"", "",
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    srv.onRequest(c.handler);
    if (!c.result.empty() || c.message.empty()) {
      json result;
      ASSERT_NO_THROW(result = ch.invoke("ITAgent", "putCommand", json::array()));
      if (!c.result.empty()) {
        EXPECT_EQ(result.dump(), c.result);
      }
      continue;
    }
    bool serverError = false;
    std::string message = errorOf(ch, &serverError);
    EXPECT_EQ(serverError, c.serverError);
    if (c.message == notJson)
      EXPECT_EQ(message.substr(0, notJson.size()), notJson) << message;
    else
      EXPECT_EQ(message, c.message);
  }
  srv.onRequest(nullptr);
  EXPECT_EQ(ch.invoke("ITAgent", "putCommand", json::array()), "ok") << "the channel stays usable";
}

// A 50 MB error page full of line breaks and escape sequences: the message keeps its first 1,000
// characters, escaped, and a log line made of it stays one line.
TEST_F(HostileReply, ErrorPageIsCutAndEscaped) {
  TestServer srv;
  std::string unit = "<p>\r\n\x1b[2J</p>";  // 13 characters, 3 of them control characters
  std::string page;
  page.reserve(50 << 20);
  while (page.size() < (50 << 20)) page += unit;
  srv.onRequest(reply(page, 500, "text/html"));
  TExtChannel ch(srv.url());
  std::string message = errorOf(ch);

  std::string shown;  // the first 1,000 characters as they are escaped
  for (size_t i = 0; i < 1000; ++i) {
    char c = page[i];
    shown += c == '\r' ? "\\r" : c == '\n' ? "\\n" : c == '\x1b' ? "\\x1b" : std::string(1, c);
  }
  EXPECT_EQ(message, "Communication error: 500 " + shown + "...");
  EXPECT_EQ(message.find_first_of("\r\n\x1b"), std::string::npos);

  logMsg(message);  // as the agent logs a failed activity
  std::ifstream log(mainLogFile(), std::ios::binary);
  std::string text(std::istreambuf_iterator<char>(log), {});
  ASSERT_GT(text.size(), message.size() + 2);
  EXPECT_EQ(text.substr(text.size() - message.size() - 2), message + "\r\n");
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << "the channel's url line and this one";
}

// One byte every 20 ms never stalls the exchange, but is far below 100 bytes per second.
TEST_F(HostileReply, TricklingServerIsAbandoned) {
  TestServer srv;
  std::atomic<bool> done = false;
  srv.onRequest([&](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("application/json", [&](size_t, httplib::DataSink& sink) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      return !done && sink.write(" ", 1);
    });
  });
  test::ScopedEnv scale("KN_TIME_SCALE", "400");  // 120 s become 300 ms: 30 bytes needed, about 15 arrive
  TExtChannel ch(srv.url());
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(errorOf(ch),
            "Communication error: fewer than 100 bytes per second moved over 300 ms, transfer abandoned");
  done = true;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// 10,000 cookies in every reply (short ones: libcurl refuses more than 300 KB of headers): a few
// dozen are kept and logged, whatever the number of replies.
TEST_F(HostileReply, CookieFloodIsBounded) {
  TestServer srv;
  std::atomic<int> call = 0;
  srv.onRequest([&](const httplib::Request&, httplib::Response& res) {
    int n = ++call;
    res.headers.emplace("Set-Cookie", "evil=1; Comment=\x1b[2J");
    for (int i = 0; i < 10000; ++i)
      res.headers.emplace("Set-Cookie", "c" + std::to_string(n) + "_" + std::to_string(i) + "=v");
    res.headers.emplace("Set-Cookie", "big=" + std::string(5000, 'x') + "; Path=/");
    res.set_content(R"({"type":"rpc","result":0})", "application/json");
  });
  TExtChannel ch(srv.url());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ch.invoke("ITAgent", "m", json::array()), 0);
  ch.invoke("ITAgent", "m", json::array());

  std::string sent = srv.last().header("Cookie");
  size_t cookies = sent.empty() ? 0 : std::count(sent.begin(), sent.end(), ';') + 1;
  EXPECT_GT(cookies, 0u);
  EXPECT_LE(cookies, 50u) << sent.substr(0, 200);
  EXPECT_EQ(sent.find("big="), std::string::npos);
  EXPECT_EQ(ch.getCookie("c1_0"), "v") << "the first cookies are kept, later floods do not push them out";

  std::ifstream log(namedLogFile("sess"), std::ios::binary);
  std::string text(std::istreambuf_iterator<char>(log), {});
  EXPECT_LT(text.size(), 4u * 51u * 1100u);
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
  EXPECT_NE(text.find("evil=1; Comment=\\x1b[2J"), std::string::npos);
}

TEST_F(HostileReply, DownloadsLeaveNoFileAfterAFailure) {
  // A declared 1,000 bytes of which ten arrive before the server closes the connection.
  test::RawServer cut("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nConnection: close\r\n\r\n0123456789");
  TExtChannel ch(cut.url());
  std::string dest = path("pkg.zip");
  std::ofstream(dest) << "an older package";
  EXPECT_THROW(ch.doDownload(cut.url() + "/pkg.zip", dest), EExtCommunicationError);
  EXPECT_FALSE(fs::exists(dest)) << "a cut download is not left as the package";

  TestServer srv;
  srv.onRequest(reply("not here\r\nX-Forged: 1", 404, "text/plain"));
  std::ofstream(dest) << "an older package";
  try {
    ch.doDownload(srv.url() + "/missing", dest);
    ADD_FAILURE() << "no error";
  } catch (const EExtCommunicationError& e) {
    EXPECT_EQ(std::string(e.what()), "Communication error: 404 not here\\r\\nX-Forged: 1");
  }
  EXPECT_FALSE(fs::exists(dest));
}

}  // namespace
}  // namespace kn
