// Who may do what: keys judged before bodies are read, callers without a key kept apart from the
// machines, the admin token on pages and the API, and callers that are slow on purpose.
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "TestServer.h"

namespace kn::platform::test {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;

long peakRssKb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

// POSTs a generated body of `size` bytes (the start of a putAudit call, then spaces) without
// ever holding it in memory.
httplib::Result postLarge(httplib::Client& client, const std::string& header, std::size_t size) {
  std::string head = R"({"action":"ITAgentAPI","method":"putAudit","type":"rpc","tid":1,"data":[0,")";
  return client.Post(
      "/app.direct", {{"x-serviceapp", header}}, size,
      [head](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        std::string chunk(std::min<std::size_t>(length, 64 * 1024), ' ');
        if (offset < head.size())
          chunk.replace(0, std::min(chunk.size(), head.size() - offset), head.substr(offset));
        sink.write(chunk.data(), chunk.size());
        return true;
      },
      "application/json");
}

class KeyedServerTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerOptions o = options();
    o.rpc.keys = {"key-1"};
    startServer(o);
  }
};

TEST_F(KeyedServerTest, AWrongKeyIsRefusedBeforeItsBodyIsRead) {
  call("putCommand", {{{"pcname", "PC01"}}});  // M-1 is registered
  auto before = server->store().machine("M-1");
  ASSERT_TRUE(before);

  long rssBefore = peakRssKb();
  for (int i = 0; i < 2; ++i) {
    auto res = postLarge(*client, serviceApp("M-1", "stolen", "EVIL"), 60 * 1024 * 1024);
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(200, res->status);
    json reply = json::parse(res->body);
    EXPECT_EQ("exception", reply["type"]);
    EXPECT_EQ("API key refused: the key sent in x-serviceapp is not registered here", reply["message"]);
  }
#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer's quarantine keeps every freed chunk resident
  EXPECT_LT(peakRssKb() - rssBefore, 20 * 1024) << "the refused bodies were held in memory";
#else
  (void)rssBefore;
#endif

  auto after = server->store().machine("M-1");
  EXPECT_EQ(before->identity.pcn, after->identity.pcn);
  EXPECT_EQ(before->callCount, after->callCount);
  EXPECT_EQ(1u, server->store().calls("M-1", "", 10).size()) << "refusals stay out of the machine's history";
  auto refused = server->store().refusals(10);
  ASSERT_EQ(2u, refused.size());
  EXPECT_EQ("M-1", refused[0].machineId);
  EXPECT_EQ("127.0.0.1", refused[0].remoteAddr);
  EXPECT_EQ("rpc", call("putCommand", {nullptr})["type"]) << "the connection and server carry on";
}

TEST_F(KeyedServerTest, AKeylessNoticeNeverChangesAMachine) {
  call("putCommand", {{{"pcname", "PC01"}}});
  auto before = server->store().machine("M-1");
  ASSERT_TRUE(before);

  // Another caller claims M-1's identifier without a key.
  std::string forged =
      nlohmann::json{{"id", "M-1"}, {"svc", "x"}, {"k", ""}, {"pcn", "EVIL"}, {"av", "evil/9"}}.dump();
  auto [status, reply] = post(envelope("notifyMissingAPIKEY", {"auditagent", "pcn:EVIL dom:X"}), &forged);
  EXPECT_EQ("rpc", reply["type"]);
  for (int i = 0; i < 5; ++i) {
    std::string other = serviceApp("NEW-" + std::to_string(i), "");
    post(envelope("notifyMissingAPIKEY", {"auditagent", "pcn:X dom:Y"}), &other);
  }

  auto after = server->store().machine("M-1");
  EXPECT_EQ("PC01", after->identity.pcn);
  EXPECT_EQ(before->identity.av, after->identity.av);
  EXPECT_TRUE(after->identity.hasKey);
  EXPECT_EQ(before->callCount, after->callCount);
  EXPECT_EQ(1u, server->store().machines().size()) << "notices make no machines";
  auto notices = server->store().keyNotices(100);
  ASSERT_EQ(6u, notices.size());
  EXPECT_EQ("M-1", notices.back().identity.id);
  EXPECT_EQ("EVIL", notices.back().identity.pcn);

  // Without a key only the notice is taken, and only a small one.
  struct Case {
    std::string body;
    std::string message;
  };
  const Case cases[] = {
      {envelope("putCommand", {nullptr}), "API key missing: this server accepts registered keys only"},
      {envelope("notifyMissingAPIKEY", {"auditagent", std::string(2 * 1024 * 1024, 'x')}),
       "Request refused: the body exceeds 1048576 bytes for a caller without a key"},
      {envelope("notifyMissingAPIKEY", {"only one"}),
       "notifyMissingAPIKEY expects the arguments (string, string)"},
  };
  for (const auto& c : cases) {
    auto [st, r] = post(c.body, &forged);
    EXPECT_EQ("exception", r["type"]);
    EXPECT_EQ(c.message, r["message"]);
  }
  EXPECT_EQ(cases[0].message, server->store().refusals(10).at(2).reason);
  EXPECT_EQ(1u, server->store().calls("M-1", "", 10).size());
}

TEST_F(ServerTest, PagesAndTheApiNeedTheAdminTokenWhenOneIsSet) {
  server.reset();
  ServerOptions o = options();
  o.adminToken = "s3cret-token";
  startServer(o);
  call("putCommand", {nullptr});  // the agent's route needs no token

  const std::vector<std::string> routes = {"/",
                                           "/machine?id=M-1",
                                           "/machine/audit.json?id=M-1",
                                           "/api/machines",
                                           "/api/calls",
                                           "/api/notices",
                                           "/api/refused"};
  for (const auto& route : routes) {
    SCOPED_TRACE(route);
    auto none = client->Get(route.c_str());
    ASSERT_TRUE(none);
    EXPECT_EQ(401, none->status);
    EXPECT_EQ(std::string::npos, none->body.find("M-1"));
    auto wrong = client->Get(route.c_str(), {{"Authorization", "Bearer s3cret-tokeN"}});
    EXPECT_EQ(401, wrong->status);
    auto right = client->Get(route.c_str(), {{"Authorization", "Bearer s3cret-token"}});
    EXPECT_NE(401, right->status);
  }

  // The sign-in form sets a cookie that opens the pages; a wrong token sets none.
  auto bad = client->Post("/login", "token=guess", "application/x-www-form-urlencoded");
  EXPECT_EQ(401, bad->status);
  EXPECT_FALSE(bad->has_header("Set-Cookie"));
  auto good = client->Post("/login", "token=s3cret-token", "application/x-www-form-urlencoded");
  ASSERT_EQ(303, good->status);
  std::string cookie = good->get_header_value("Set-Cookie");
  EXPECT_EQ(std::string::npos, cookie.find("s3cret")) << "the cookie does not carry the token itself";
  auto page = client->Get("/", {{"Cookie", cookie.substr(0, cookie.find(';'))}});
  EXPECT_EQ(200, page->status);
  EXPECT_NE(std::string::npos, page->body.find("M-1"));

  // A body sent to any other route is refused unread.
  auto upload = client->Post("/api/machines", std::string(100000, 'x'), "text/plain");
  ASSERT_TRUE(upload);
  EXPECT_EQ(413, upload->status);
}

TEST(Access, OnlyLoopbackAddressesMayGoWithoutAnAdminToken) {
  for (const auto& [address, loopback] : {std::pair{"127.0.0.1", true},
                                          {"127.8.9.10", true},
                                          {"::1", true},
                                          {"localhost", true},
                                          {"0.0.0.0", false},
                                          {"::", false},
                                          {"192.168.1.5", false},
                                          {"128.0.0.1", false},
                                          {"", false}})
    EXPECT_EQ(loopback, isLoopbackAddress(address)) << address;

  TempDir dir;
  ServerOptions o;
  o.address = "0.0.0.0";
  o.dataFile = dir.file("d.db");
  try {
    PlatformServer s(o);
    FAIL() << "a server without an admin token was made for 0.0.0.0";
  } catch (const ServerError& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find("without an admin token")) << e.what();
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("d.db"))) << "refused before anything was opened";
}

// A raw TCP connection to the server.
int connectTo(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// True once the server has closed `fd` (end of file or reset), waiting at most `wait`.
bool closedByServer(int fd, milliseconds wait) {
  auto until = std::chrono::steady_clock::now() + wait;
  char buf[4096];
  while (std::chrono::steady_clock::now() < until) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) == 1) {
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return true;
    }
  }
  return false;
}

TEST_F(ServerTest, SlowAndSilentClientsDoNotHoldTheServer) {
  server.reset();
  ServerOptions o = options();
  o.http.threads = 4;
  o.http.readTimeout = milliseconds(300);
  o.http.requestGrace = milliseconds(600);
  startServer(o);

  // Eight connections that never send, eight that stop in the middle of their headers.
  std::vector<int> fds;
  for (int i = 0; i < 16; ++i) {
    int fd = connectTo(port);
    ASSERT_GE(fd, 0);
    if (i % 2) {
      std::string partial = "POST /app.direct HTTP/1.1\r\nHost: x\r\n";
      ASSERT_EQ(static_cast<ssize_t>(partial.size()), send(fd, partial.data(), partial.size(), 0));
    }
    fds.push_back(fd);
  }
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ("rpc", call("putCommand", {nullptr})["type"]);
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(1000));

  // One that trickles its headers a byte at a time is cut off once it falls behind.
  int trickle = connectTo(port);
  std::string request = "POST /app.direct HTTP/1.1\r\nHost: x\r\nx-long-header: " + std::string(200, 'a');
  bool cut = false;
  start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < request.size() && !cut; ++i) {
    if (send(trickle, &request[i], 1, MSG_NOSIGNAL) != 1) break;
    cut = closedByServer(trickle, milliseconds(40));
  }
  EXPECT_TRUE(cut || closedByServer(trickle, milliseconds(2000)));
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(3000));
  for (int fd : fds) EXPECT_TRUE(closedByServer(fd, milliseconds(2000)));
  for (int fd : fds) close(fd);
  close(trickle);
  EXPECT_EQ("rpc", call("putCommand", {nullptr})["type"]);
}

TEST_F(ServerTest, ConcurrentCallsAreAllStoredAndAnswered) {
  constexpr int kClients = 16, kCalls = 25;
  std::vector<std::thread> threads;
  std::atomic<int> ok{0};
  for (int c = 0; c < kClients; ++c)
    threads.emplace_back([&, c] {
      httplib::Client cl("127.0.0.1", port);
      cl.set_keep_alive(true);
      std::string h = serviceApp("C-" + std::to_string(c));
      for (int i = 0; i < kCalls; ++i) {
        auto res = cl.Post("/app.direct", {{"x-serviceapp", h}}, envelope("putCommand", {nullptr}, i + 1),
                           "application/json");
        if (res && json::parse(res->body, nullptr, false).value("type", "") == "rpc") ++ok;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(kClients * kCalls, ok.load());
  EXPECT_EQ(static_cast<std::size_t>(kClients * kCalls), server->store().calls("", "", 1000).size());
  EXPECT_EQ(static_cast<std::size_t>(kClients), server->store().machines().size());
}

}  // namespace
}  // namespace kn::platform::test
