#include "ext.channel.h"

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "KNConfig.h"
#include "KNEnv.h"
#include "KNTestTempDir.h"
#include "KNVersion.h"
#include "ext_fixture.h"

namespace kn {
namespace {

using nlohmann::json;
using test::reply;
using test::TestServer;

class Channel : public test::TempRoot {};

TEST_F(Channel, EnvelopeAndHeadersOnTheWire) {
  TestServer srv;
  TExtChannel ch(srv.url());
  EXPECT_EQ(ch.requestUrl(), srv.url() + "/app.direct");
  ch.invoke("ITAgent", "putCommand", json::array({{{"pcname", "Jos\xC3\xA9-PC"}, {"path", "C:/x\ty"}}}));

  auto req = srv.last();
  EXPECT_EQ(req.method, "POST");
  EXPECT_EQ(req.path, "/app.direct");
  EXPECT_EQ(req.body, R"({"action":"ITAgentAPI","data":[{"path":"C:\/x\ty","pcname":"Jos\u00e9-PC"}],)"
                      R"("method":"putCommand","tid":1,"type":"rpc"})");
  EXPECT_EQ(req.header("Content-Type"), "application/json; charset=utf-8;");
  EXPECT_EQ(req.header("User-Agent"), "Kestrane (" + exeName() + "/" + ownVersion() + "; win32)");
  EXPECT_EQ(req.header("Expect"), "");
}

// Slashes that end the endpoint join the path with one slash; the log never shows a password.
TEST_F(Channel, EndpointSlashesAndCredentials) {
  TestServer srv;
  std::string hostPort = srv.url().substr(std::string("http://").size());
  struct Case {
    std::string endpoint, logged;
  } cases[] = {
      {srv.url() + "/", srv.url() + "/app.direct"},
      {srv.url() + "//", srv.url() + "/app.direct"},
      {"http://u:secretpw@" + hostPort + "/", "http://u:***@" + hostPort + "/app.direct"},
      {"http://only-user@" + hostPort, "http://only-user@" + hostPort + "/app.direct"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.endpoint);
    TExtChannel ch(c.endpoint);
    EXPECT_EQ(ch.endpoint(), c.endpoint);
    EXPECT_EQ(ch.invoke("x", "m", json::array()), "ok");
    EXPECT_EQ(srv.last().path, "/app.direct");
    std::string log = test::readBytes(mainLogFile());
    EXPECT_NE(log.find("url: " + c.logged + "\r\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("secretpw"), std::string::npos);
  }
}

TEST_F(Channel, TidCountsEveryCallOfEachChannel) {
  TestServer srv;
  TExtChannel ch(srv.url());
  auto tidOfLast = [&] { return json::parse(srv.last().body)["tid"].get<int>(); };
  ch.invoke("ITAgent", "a", json::array());
  EXPECT_EQ(tidOfLast(), 1);
  srv.onRequest(reply("oops", 500));
  EXPECT_THROW(ch.invoke("ITAgent", "b", json::array()), EExtCommunicationError);
  srv.onRequest(nullptr);
  ch.invoke("ITAgent", "c", json::array());
  EXPECT_EQ(tidOfLast(), 3) << "a failed call still takes its number";
  auto clone = ch.createClone();
  clone->invoke("ITAgent", "d", json::array());
  EXPECT_EQ(tidOfLast(), 1);
  EXPECT_EQ(ch.tid(), 3);
}

TEST_F(Channel, RepliesAndTheirErrors) {
  TestServer srv;
  TExtChannel ch(srv.url());
  srv.onRequest(reply(R"({"type":"rpc","result":{"n":42}})"));
  EXPECT_EQ(ch.invoke("x", "m", json::array()), json({{"n", 42}}));
  srv.onRequest(reply(R"({"type":"rpc"})"));
  EXPECT_TRUE(ch.invoke("x", "m", json::array()).is_null());
  // Replies in the 8-bit character set they declare.
  struct Charset {
    const char *declared, *text, *utf8;
  } charsets[] = {
      {"ISO-8859-1", "S\xE3o \x80", "S\xC3\xA3o \xC2\x80"},
      {"windows-1252", "\x93Ol\xE1\x94 \x80 \x81",  // 0x81 is no character of the code page
       "\xE2\x80\x9COl\xC3\xA1\xE2\x80\x9D \xE2\x82\xAC \xEF\xBF\xBD"},
  };
  for (const auto& c : charsets) {
    srv.onRequest(reply(std::string("{\"type\":\"rpc\",\"result\":\"") + c.text + "\"}", 200,
                        std::string("application/json; charset=") + c.declared));
    EXPECT_EQ(ch.invoke("x", "m", json::array()), c.utf8) << c.declared;
  }

  struct Case {
    const char* what;
    TestServer::Handler handler;
    std::string message;  // what the error's message begins with
    bool serverError;     // EExtError rather than EExtCommunicationError
  } cases[] = {
      {"exception", reply(R"({"type":"exception","message":"Bad key","result":1})"), "Bad key", true},
      {"exception without message", reply(R"({"type":"exception"})"), "", true},
      {"status 500", reply("Internal failure", 500, "text/plain"),
       "Communication error: 500 Internal failure", false},
      {"redirect not followed",
       [&](const httplib::Request&, httplib::Response& res) { res.set_redirect(srv.url() + "/elsewhere"); },
       "Communication error: 302 ", false},
      {"HTML page with status 200", reply("<html><body>Login</body></html>", 200, "text/html"),
       "Communication error: the reply is not a JSON object: <html><body>Login", false},
      {"JSON array", reply("[1,2]"), "Communication error: the reply is not a JSON object: [1,2]", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    srv.onRequest(c.handler);
    size_t before = srv.seen().size();
    try {
      ch.invoke("x", "m", json::array());
      ADD_FAILURE() << "no error";
    } catch (const EExtError& e) {
      EXPECT_TRUE(c.serverError);
      EXPECT_EQ(e.what(), c.message);
    } catch (const EExtCommunicationError& e) {
      EXPECT_FALSE(c.serverError);
      EXPECT_EQ(std::string(e.what()).substr(0, c.message.size()), c.message);
    }
    EXPECT_EQ(srv.seen().size(), before + 1) << "exactly one request, no redirect followed";
  }
  srv.onRequest(nullptr);
  EXPECT_EQ(ch.invoke("x", "m", json::array()), "ok") << "the channel stays usable";
}

TEST_F(Channel, TransportFailuresAreCommunicationErrors) {
  int port;
  {
    TestServer gone;  // a port that was just free and is closed again
    port = gone.port();
  }
  TExtChannel refused("http://127.0.0.1:" + std::to_string(port));
  try {
    refused.invoke("x", "m", json::array());
    FAIL();
  } catch (const EExtCommunicationError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Communication error: ", 0), 0u) << e.what();
  }

  TExtChannel noEndpoint("", "");  // neither given nor global: the URL is "/app.direct" alone
  EXPECT_EQ(noEndpoint.requestUrl(), "/app.direct");
  EXPECT_THROW(noEndpoint.invoke("x", "m", json::array()), EExtCommunicationError);
}

// A server that accepts the connection and then says nothing: the stall limit ends the call.
TEST_F(Channel, SilentServerIsAbandoned) {
  test::RawServer silent;
  test::ScopedEnv scale("KN_TIME_SCALE", "120");  // 120 s without a byte becomes 1 s
  TExtChannel ch(silent.url());
  auto start = std::chrono::steady_clock::now();
  try {
    ch.invoke("x", "m", json::array());
    FAIL();
  } catch (const EExtCommunicationError& e) {
    EXPECT_EQ(std::string(e.what()), "Communication error: no data moved for 1000 ms, transfer abandoned");
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

// The process's stop flag ends a call that a silent server would hold for two minutes.
TEST_F(Channel, StopFlagAbandonsAnExchangeInProgress) {
  test::RawServer silent;
  std::atomic<bool> stop = false;
  TExtChannel::setStopFlag(&stop);
  TExtChannel ch(silent.url());
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop = true;
  });
  auto start = std::chrono::steady_clock::now();
  try {
    ch.invoke("x", "m", json::array());
    ADD_FAILURE() << "the call outlived the stop";
  } catch (const EExtCommunicationError& e) {
    EXPECT_EQ(std::string(e.what()), "Communication error: the exchange was stopped");
  }
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  TExtChannel::setStopFlag(nullptr);
}

TEST_F(Channel, HeadersAndCookiesTravelToClonesOnly) {
  TestServer srv;
  TExtChannel ch(srv.url());
  srv.onRequest([](const httplib::Request& req, httplib::Response& res) {
    if (req.has_header("X-Set")) res.set_header("Set-Cookie", req.get_header_value("X-Set") + "; Path=/");
    res.set_content(R"({"type":"rpc","result":0})", "application/json");
  });
  ch.setHeader("x-serviceapp", "first");
  ch.setHeader("X-ServiceApp", "second");  // same name, other case: replaced
  ch.setHeader("x-gone", "1");
  ch.setHeader("x-gone", "");  // removed
  EXPECT_EQ(ch.headers(), std::vector<std::string>{"X-ServiceApp=second"});
  ch.setHeader("X-Set", "sess=abc");
  ch.invoke("x", "m", json::array());
  ch.setHeader("X-Set", "");
  EXPECT_EQ(ch.getCookie("sess"), "abc");

  auto clone = ch.createClone();
  clone->invoke("x", "m", json::array());
  EXPECT_EQ(srv.last().header("X-ServiceApp"), "second");
  EXPECT_EQ(srv.last().header("Cookie"), "sess=abc");

  clone->setHeader("X-Set", "later=1");
  clone->invoke("x", "m", json::array());
  EXPECT_EQ(clone->getCookie("later"), "1");
  EXPECT_EQ(ch.getCookie("later"), "") << "a cookie set on the clone stays there";
  ch.setHeader("x-added-late", "1");
  clone->setHeader("X-Set", "");
  clone->invoke("x", "m", json::array());
  EXPECT_EQ(srv.last().header("x-added-late"), "");

  EXPECT_THROW(ch.setCookie("a", "b"), Exception);
  EXPECT_THROW(ch.setHeader("x-evil", "a\r\nInjected: 1"), Exception);
}

// One part of a multipart form: its name, file name, content type and content.
struct Part {
  std::string name, filename, type, content;
};

// The parts of the multipart request `raw`, in the order they were sent.
std::vector<Part> formParts(const std::string& raw) {
  auto ct = raw.find("boundary=");
  std::string boundary = "--" + raw.substr(ct + 9, raw.find("\r\n", ct) - ct - 9);
  std::vector<Part> parts;
  size_t pos = raw.find(boundary, raw.find("\r\n\r\n"));
  while (pos != std::string::npos && raw.compare(pos + boundary.size(), 2, "--") != 0) {
    size_t head = pos + boundary.size() + 2, body = raw.find("\r\n\r\n", head) + 4;
    size_t next = raw.find("\r\n" + boundary, body);
    std::string h = raw.substr(head, body - head);
    auto attr = [&](const std::string& key) {
      auto at = h.find(key + "=\"");
      return at == std::string::npos
                 ? ""
                 : h.substr(at + key.size() + 2, h.find('"', at + key.size() + 2) - at - key.size() - 2);
    };
    auto type = h.find("Content-Type: ");
    parts.push_back({attr(" name"), attr("filename"),
                     type == std::string::npos ? "" : h.substr(type + 14, h.find("\r\n", type) - type - 14),
                     raw.substr(body, next - body)});
    pos = next + 2;
  }
  return parts;
}

TEST_F(Channel, UploadSendsTheFormPartsInOrder) {
  test::RawServer srv(test::rawJsonResponse(R"({"type":"rpc","result":"stored"})"), 2);
  std::string file = path("audit.bin");
  std::ofstream(file, std::ios::binary) << std::string("\0\x01payload", 9);

  TExtChannel ch(srv.url());
  json params = {{"name", "Jos\xC3\xA9"}, {"n", 7}, {"o", {{"k", "a/b"}}}};
  EXPECT_EQ(ch.invokeFileUpload("integration", "putFile", params, file), "stored");
  std::string raw = srv.raw();
  EXPECT_NE(raw.find("\r\nContent-Type: multipart/form-data; boundary="), std::string::npos);
  std::vector<std::pair<std::string, std::string>> expected = {
      {"n", "7"},
      {"name", "Jos\xC3\xA9"},
      {"o", R"({"k":"a/b"})"},
      {"extAction", "integrationAPI"},
      {"extMethod", "putFile"},
      {"extType", "rpc"},
      {"extTID", "1"},
      {"extUpload", "true"},
      {"extDontEncode", "true"},
      {"MAX_FILE_SIZE", "1000009"},
      {"Filedata", std::string("\0\x01payload", 9)},
      {"r-uredad-ove", exeName() + "/" + ownVersion()},
      {"dimmy", "x"},
  };
  auto parts = formParts(raw);
  ASSERT_EQ(parts.size(), expected.size()) << raw;
  for (size_t i = 0; i < parts.size(); ++i) {
    EXPECT_EQ(parts[i].name, expected[i].first);
    EXPECT_EQ(parts[i].content, expected[i].second) << parts[i].name;
  }
  EXPECT_EQ(parts[10].filename, "audit.bin");
  EXPECT_EQ(parts[10].type, "application/octet-stream");

  // The next call on the same channel is a JSON call again.
  ch.invoke("x", "m", json::array());
  std::string next = srv.raw().substr(raw.size());
  EXPECT_NE(next.find("\r\nContent-Type: application/json; charset=utf-8;\r\n"), std::string::npos) << next;
  EXPECT_NE(next.find(R"("tid":2)"), std::string::npos);
}

TEST_F(Channel, Downloads) {
  TestServer srv;
  srv.onRequest([](const httplib::Request& req, httplib::Response& res) {
    if (req.path == "/pkg.zip")
      res.set_content("PK-bytes", "application/octet-stream");
    else if (req.path == "/missing")
      res.status = 404, res.set_content("not here", "text/plain");
    else
      res.set_content(R"({"type":"rpc","result":0})", "application/json");
  });
  TExtChannel ch(srv.url());
  ch.setHeader("x-serviceapp", "id");
  std::string dest = path("pkg.zip");
  std::ofstream(dest) << "an older and longer package";
  ch.doDownload(srv.url() + "/pkg.zip", dest);
  std::ifstream in(dest);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "PK-bytes");
  EXPECT_EQ(srv.last().method, "GET");
  EXPECT_EQ(srv.last().header("x-serviceapp"), "id");

  std::ostringstream out;
  EXPECT_THROW(ch.doDownloadToStream(srv.url() + "/missing", out), EExtCommunicationError);
  EXPECT_EQ(out.str(), "") << "an error page is not written as the download";
  ch.invoke("x", "m", json::array());
  EXPECT_EQ(srv.last().method, "POST");
}

// Records what the channel shows its intercept hooks.
struct Tap : TExtChannel {
  using TExtChannel::TExtChannel;
  std::string sent, received;
  void interceptSend(std::string_view data) override { sent += data; }
  void interceptReceive(std::string_view data) override { received += data; }
};

TEST_F(Channel, InterceptSeesTheExchangeOnlyWhileOn) {
  TestServer srv;
  srv.onRequest(reply(R"({"type":"rpc","result":"seen"})"));
  Tap ch(srv.url());
  EXPECT_FALSE(ch.intercept());
  ch.invoke("ITAgent", "off", json::array());
  EXPECT_EQ(ch.sent + ch.received, "");

  ch.setIntercept(true);
  ch.setIntercept(true);  // already on: nothing changes
  EXPECT_EQ(ch.invoke("ITAgent", "on", json::array({"a/b"})), "seen") << "the hooks leave the bytes alone";
  EXPECT_EQ(ch.sent.rfind("POST /app.direct HTTP/1.1\r\n", 0), 0u) << ch.sent;
  EXPECT_NE(ch.sent.find(srv.last().body), std::string::npos) << "the envelope as it went out";
  EXPECT_EQ(ch.received.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << ch.received;
  EXPECT_NE(ch.received.find(R"({"type":"rpc","result":"seen"})"), std::string::npos);

  ch.setIntercept(false);
  size_t shown = ch.sent.size() + ch.received.size();
  ch.invoke("ITAgent", "off-again", json::array());
  EXPECT_EQ(ch.sent.size() + ch.received.size(), shown);

  TExtChannel plain(srv.url());  // the channel's own hooks do nothing
  plain.setIntercept(true);
  EXPECT_EQ(plain.invoke("ITAgent", "m", json::array()), "seen");
}

TEST_F(Channel, GlobalEndpointAndInstance) {
  TestServer srv;
  TExtChannel::setGlobalEndpoint(srv.url());
  auto owned = std::make_unique<TExtChannel>();
  EXPECT_EQ(owned->endpoint(), srv.url());
  TExtChannel* raw = owned.get();
  TExtChannel::setGlobalInstance(std::move(owned));
  EXPECT_EQ(TExtChannel::getGlobalInstance(), raw);
  TExtChannel::setGlobalInstance(nullptr);
  EXPECT_EQ(TExtChannel::getGlobalInstance(), nullptr);
  TExtChannel::setGlobalEndpoint("");
}

TEST_F(Channel, DeviceCookieIsKeptPerAccount) {
  TestServer srv;
  std::string id;
  {
    TExtChannel first(srv.url(), "devid");
    id = first.deviceId();
    ASSERT_EQ(id.size(), 40u);
    first.invoke("x", "m", json::array());
    EXPECT_EQ(srv.last().header("Cookie"), "devid=" + id);
    EXPECT_EQ(srv.last().header("x-CSRFToken"), id);
    EXPECT_EQ(first.getCookie("devid"), id);
    auto clone = first.createClone();
    clone->invoke("x", "m", json::array());
    EXPECT_EQ(srv.last().header("Cookie"), "devid=" + id);
    EXPECT_EQ(srv.last().header("x-CSRFToken"), id);
  }
  EXPECT_EQ(TExtChannel(srv.url(), "other").deviceId(), id) << "one id per account, whatever the cookie name";
  EXPECT_EQ(TExtChannel(srv.url()).deviceId(), "");

  TKNConfig store("_devid");
  store.LoadData();
  store.Put("_dev\\_id", "");
  store.Params.add("_dev\\_id", "");  // an empty stored value, as another program may leave it
  store.SaveData();
  std::string fresh = TExtChannel(srv.url(), "devid").deviceId();
  EXPECT_EQ(fresh.size(), 40u);
  EXPECT_NE(fresh, id);
}

TEST(ChannelText, BytesToStringAndDeviceId) {
  EXPECT_EQ(TExtChannel::bytesToString({'A', 0xE9, 0x00, 0xFF}), std::string("A\xC3\xA9\0\xC3\xBF", 6));
  std::string id = TExtChannel::newDeviceId();
  ASSERT_EQ(id.size(), 40u) << id;
  EXPECT_EQ(id.substr(10, 6), ".win32");
  for (int i = 0; i < 6; ++i) {
    int block = std::stoi(id.substr(16 + 4 * i, 4));
    EXPECT_GE(block, 1000);
    EXPECT_LE(block, 9999);
  }
  EXPECT_NE(TExtChannel::newDeviceId().substr(16), id.substr(16));
}

}  // namespace
}  // namespace kn
