// The agent's remote calls over real HTTP: reply envelopes, refusals, storage and restarts.
#include <sqlite3.h>

#include <functional>

#include "TestServer.h"

namespace kn::platform::test {
namespace {

using nlohmann::json;

const std::string kAudit =
    R"({"rurirudoDUROVorov":{"dt_start":45306.5,"Software":[{"name":"Editor","version":"2.1"}]},)"
    "\r\n"
    R"("dt_execute":"2024/01/15 12:00:00","success":true})";

TEST_F(ServerTest, EveryAgentMethodAnswersWithAnRpcEnvelope) {
  struct Case {
    std::string method;
    json data;
    std::function<bool(const json&)> resultOk;
  };
  const Case cases[] = {
      {"notifyMissingAPIKEY",
       {"auditagent", "pcn:PC01 dom:WG"},
       [](const json& r) { return r["ok"] == true; }},
      {"getLinuxAgentVersion", json::array(), [](const json& r) { return r == "1.0.0.1"; }},
      {"getDefList", {R"({"looks":"like json"})"}, [](const json& r) { return r == json::array(); }},
      {"getList", {{{"a", 1}}}, [](const json& r) { return r.is_array(); }},
      {"queryITValue", {nullptr}, [](const json& r) { return r.is_null(); }},
      {"queryITValueHist", {{{"a", 1}}}, [](const json& r) { return r.is_array(); }},
      {"putCommand", {nullptr}, [](const json& r) { return r["ok"] == true; }},
      {"putCommand",
       {{{"pcname", "PC01"}, {"pcdomain", "WG"}}},
       [](const json& r) {
         return r["ok"] == true && r["machine_id"] == "M-1" && r.contains("server_time");
       }},
      {"putMiniAudit",
       {{{"ips", "10.0.0.5"}, {"lastboot", "2024-01-15 08:00:00"}}},
       [](const json& r) { return r["ok"] == true; }},
      {"putAudit", {std::int64_t{1} << 40, kAudit}, [](const json& r) { return r["ok"] == true; }},
      {"queryITMachine",
       {nullptr},
       [](const json& r) { return r["machine_id"] == "M-1" && r["pcn"] == "PC01"; }},
  };
  int tid = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    std::string h = serviceApp("M-1");
    auto [status, reply] = post(envelope(c.method, c.data, ++tid), &h);
    ASSERT_EQ(200, status);
    EXPECT_EQ("rpc", reply["type"]) << reply.dump();
    EXPECT_EQ("ITAgentAPI", reply["action"]);
    EXPECT_EQ(c.method, reply["method"]);
    EXPECT_EQ(tid, reply["tid"]);
    EXPECT_TRUE(c.resultOk(reply["result"])) << reply["result"].dump();
  }

  auto m = server->store().machine("M-1");
  ASSERT_TRUE(m);
  EXPECT_EQ(std::size(cases), static_cast<std::size_t>(m->callCount));
  EXPECT_EQ(R"({"pcdomain":"WG","pcname":"PC01"})", m->lastCheckinData);
  EXPECT_NE(std::string::npos, m->lastMiniAuditData.find("10.0.0.5"));
  EXPECT_TRUE(m->lastMissingKey.empty()) << "a notice sent with a key is a call like any other";
  auto audit = server->store().latestAudit("M-1");
  ASSERT_TRUE(audit);
  EXPECT_EQ(kAudit, audit->document);
  EXPECT_TRUE(audit->success);
}

TEST_F(ServerTest, ArgumentsOfTheWrongShapeAreRefusedAndStored) {
  struct Case {
    std::string method;
    json data;
    std::string message;
  };
  const Case cases[] = {
      {"putAudit", {"0", kAudit}, "putAudit expects the arguments (integer, string)"},
      {"putAudit", {0, json::parse(kAudit)}, "putAudit expects the arguments (integer, string)"},
      {"putAudit", {0, "<html>not json</html>"}, "putAudit: the audit document is not a JSON object"},
      {"putAudit",
       {0, std::string(100000, '[') + std::string(100000, ']')},
       "putAudit: the audit document is nested deeper than 256 levels"},
      {"getDefList", {{{"a", 1}}}, "getDefList expects the arguments (string)"},
      {"getLinuxAgentVersion", {1}, "getLinuxAgentVersion expects the arguments ()"},
      {"putMiniAudit", json::array(), "putMiniAudit expects the arguments (value)"},
      {"putMiniAudit", {{{"ips", std::string(70000, '1')}}}, "putMiniAudit: the record exceeds 65536 bytes"},
      {"notifyMissingAPIKEY", {"only one"}, "notifyMissingAPIKEY expects the arguments (string, string)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method + " " + c.data.dump());
    json reply = call(c.method, c.data);
    EXPECT_EQ("exception", reply["type"]);
    EXPECT_EQ(c.message, reply["message"]);
    EXPECT_EQ(c.method, reply["method"]);
  }
  auto stored = server->store().calls("M-1", "", 100);
  ASSERT_EQ(std::size(cases), stored.size());
  EXPECT_EQ(cases[0].message, stored.back().outcome);
  EXPECT_FALSE(server->store().machine("M-1")) << "refused calls create no machine";
  EXPECT_FALSE(server->store().latestAudit("M-1"));
}

TEST_F(ServerTest, MalformedRequestsGetAnExceptionReplyAndTheServerCarriesOn) {
  std::string good = serviceApp("M-1");
  std::string notJson = "{id:";
  std::string noId = R"({"svc":"zarodirazev","k":"key-1"})";
  struct Case {
    std::string body;
    const std::string* header;
    std::string messageStart;
  };
  const Case cases[] = {
      {"garbage", &good, "Malformed request: the body is not valid JSON"},
      {"", &good, "Malformed request: the body is not valid JSON"},
      {"[1,2]", &good, "Malformed request: the body is not a JSON object"},
      {R"({"action":"ITAgentAPI","method":"putMiniAudit","type":"rpc","tid":1,"data":[)" +
           std::string(1000000, '[') + std::string(1000000, ']') + "]}",
       &good, "Malformed request: nested deeper than 256 levels"},
      {"{}", &good, "Malformed request: \"action\" and \"method\""},
      {R"({"action":"ITAgentAPI","method":"putCommand","type":"rpc","tid":1,"data":{}})", &good,
       "Malformed request: \"data\" must be an array"},
      {R"({"action":"ITAgentAPI","method":"putCommand","type":"json","tid":1,"data":[]})", &good,
       "Malformed request: \"type\" must be \"rpc\""},
      {envelope("noSuchMethod", json::array()), &good, "Unknown method ITAgent.noSuchMethod"},
      {R"({"action":"integrationAPI","method":"getCommands","type":"rpc","tid":1,"data":[]})", &good,
       "Unknown action integrationAPI"},
      {envelope("putCommand", {nullptr}), nullptr, "Missing x-serviceapp header"},
      {envelope("putCommand", {nullptr}), &notJson, "Malformed x-serviceapp header"},
      {envelope("putCommand", {nullptr}), &noId, "Malformed x-serviceapp header: no machine identifier"},
      {"garbage", nullptr, "Missing x-serviceapp header"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    auto [status, reply] = post(c.body, c.header);
    ASSERT_EQ(200, status);
    EXPECT_EQ("exception", reply["type"]);
    EXPECT_EQ(0u, reply.value("message", "").rfind(c.messageStart, 0)) << reply.dump();
  }
  EXPECT_EQ("rpc", call("putCommand", {nullptr})["type"]);
}

TEST_F(ServerTest, OversizeBodiesAreRefusedWithoutHarm) {
  server.reset();
  ServerOptions o = options();
  o.maxBodyBytes = 1000;
  startServer(o);
  std::string h = serviceApp("M-1");
  auto [status, reply] = post(envelope("putAudit", {0, std::string(5000, 'x')}), &h);
  EXPECT_EQ(413, status);
  EXPECT_EQ("exception", reply.value("type", ""));
  EXPECT_EQ("rpc", call("putCommand", {nullptr})["type"]);
}

TEST_F(ServerTest, StoredArgumentsAreBoundedAndNonAsciiSurvives) {
  // The agent escapes every non-ASCII character; the server keeps the text itself.
  std::string body = envelope("putMiniAudit", {{{"ips", std::string(10000, '1')}}});
  std::string h = R"({"id":"M-1","svc":"s","k":"key-1","pcn":"Jos\u00e9","av":"a\/1"})";
  EXPECT_EQ("rpc", post(body, &h).second["type"]);
  auto calls = server->store().calls("M-1", "putMiniAudit", 10);
  ASSERT_EQ(1u, calls.size());
  EXPECT_TRUE(calls[0].argsTruncated);
  EXPECT_LE(calls[0].args.size(), kMaxStoredArgs);
  EXPECT_EQ("Jos\xC3\xA9", server->store().machine("M-1")->identity.pcn);
  EXPECT_EQ("a/1", server->store().machine("M-1")->identity.av);
}

TEST_F(ServerTest, KeysAreCheckedWhenConfigured) {
  server.reset();
  ServerOptions o = options();
  o.rpc.keys = {"key-1", "key-2"};
  startServer(o);

  json wrong = call("putCommand", {nullptr}, "M-1", "stolen");
  EXPECT_EQ("exception", wrong["type"]);
  EXPECT_EQ("API key refused: the key sent in x-serviceapp is not registered here", wrong["message"]);
  json none = call("putMiniAudit", json::array({json::object()}), "M-1", "");
  EXPECT_EQ("exception", none["type"]);
  EXPECT_EQ("API key missing: this server accepts registered keys only", none["message"]);
  EXPECT_FALSE(server->store().machine("M-1"));

  EXPECT_EQ("rpc", call("notifyMissingAPIKEY", {"auditagent", "pcn:PC01 dom:WG"}, "M-1", "")["type"])
      << "a machine without a key may say so";
  EXPECT_EQ("rpc", call("putCommand", {nullptr}, "M-2", "key-2")["type"]);
  EXPECT_EQ(1u, server->store().calls("", "", 10).size()) << "only the accepted machine has a history";
  EXPECT_EQ(2u, server->store().refusals(10).size());
  EXPECT_EQ(1u, server->store().keyNotices(10).size());
}

TEST_F(ServerTest, DataSurvivesARestart) {
  call("putCommand", {{{"pcname", "PC01"}}});
  call("putMiniAudit", {{{"ips", "10.0.0.5"}}});
  call("putAudit", {0, kAudit});
  server.reset();  // stops and closes the data file

  startServer(options());
  auto machines = server->store().machines();
  ASSERT_EQ(1u, machines.size());
  EXPECT_EQ("M-1", machines[0].machineId);
  EXPECT_FALSE(machines[0].lastCheckin.empty());
  EXPECT_FALSE(machines[0].lastMiniAudit.empty());
  EXPECT_FALSE(machines[0].lastAudit.empty());
  EXPECT_EQ(3u, server->store().calls("M-1", "", 10).size());

  auto page = client->Get("/machine?id=M-1");
  ASSERT_TRUE(page);
  EXPECT_EQ(200, page->status);
  EXPECT_NE(std::string::npos, page->body.find("<h3>Software (1)</h3>"));
  auto api = client->Get("/api/calls?machine=M-1&method=putAudit");
  ASSERT_TRUE(api);
  EXPECT_EQ(1u, json::parse(api->body).size());
}

TEST_F(ServerTest, OnlyTheLatestAuditsAreKept) {
  for (int i = 0; i < kAuditsKept + 2; ++i)
    call("putAudit", {0, R"({"success":true,"n":)" + std::to_string(i) + "}"});
  auto audit = server->store().latestAudit("M-1");
  ASSERT_TRUE(audit);
  EXPECT_NE(std::string::npos, audit->document.find("\"n\":" + std::to_string(kAuditsKept + 1)));
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(dir.file("platform.db").c_str(), &db));
  auto count = [db](const char* sql) {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
    sqlite3_step(st);
    int n = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
    return n;
  };
  EXPECT_EQ(kAuditsKept, count("SELECT COUNT(*) FROM audits"));
  EXPECT_EQ(kAuditsKept + 2, count("SELECT COUNT(*) FROM calls WHERE method = 'putAudit'"))
      << "every call is kept";
  sqlite3_close(db);
}

}  // namespace
}  // namespace kn::platform::test
