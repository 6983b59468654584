#include "ext.service.h"

#include <future>
#include <map>

#include "ext.ITAgent.h"
#include "ext.dispatcher.h"
#include "ext.integration.h"
#include "ext_fixture.h"

namespace kn {
namespace {

using nlohmann::json;
using test::TestServer;

class Service : public test::TempRoot {};

// Records every delivery with the thread it ran on; may be told to fail.
struct Recorder : IExtReceiver {
  struct Delivery {
    std::string callid;
    bool success;
    std::string errMessage;
    std::optional<json> result;
    std::thread::id thread;
  };
  std::vector<Delivery> got;
  std::function<void(const std::string&)> onDelivery;
  void asyncResponse(const std::string& callid, bool success, const std::string& errMessage,
                     const std::optional<json>& result) override {
    got.push_back({callid, success, errMessage, result, std::this_thread::get_id()});
    if (onDelivery) onDelivery(callid);
  }
};

// Drains the main-thread queue until `n` deliveries have arrived and every call has ended.
void drainUntil(const Recorder& r, size_t n) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while ((r.got.size() < n || TExtServiceThread::running() > 0) &&
         std::chrono::steady_clock::now() < deadline)
    TExtDispatcher::instance().drain(std::chrono::milliseconds(50));
}

TEST_F(Service, CreationCopiesTheChannelAtThatMoment) {
  EXPECT_THROW(
      {
        try {
          TExt_ITAgent noGlobal;
        } catch (const Exception& e) {
          EXPECT_STREQ(e.what(), "Global EXTChannel is not assigned");
          throw;
        }
      },
      Exception);

  TestServer srv;
  auto global = std::make_unique<TExtChannel>(srv.url());
  global->setHeader("x-serviceapp", "id1");
  TExtChannel* g = global.get();
  TExtChannel::setGlobalInstance(std::move(global));
  TExt_ITAgent agent;
  g->setHeader("x-late", "1");
  agent.getLinuxAgentVersion();
  TExtChannel::setGlobalInstance(nullptr);

  auto req = srv.last();
  EXPECT_EQ(req.header("x-serviceapp"), "id1");
  EXPECT_EQ(req.header("x-late"), "");
  EXPECT_EQ(json::parse(req.body)["tid"], 1);
}

// Every remote method sends its own name, its service's action and its arguments in order.
TEST_F(Service, ArgumentsArePackedInDeclaredOrder) {
  TestServer srv;
  TExtChannel ch(srv.url());
  TExt_ITAgent a(&ch);
  TExt_integration in(&ch);
  json obj = {{"k", "v"}};
  struct Case {
    std::function<void()> call;
    const char* action;
    const char* method;
    json data;
  } cases[] = {
      {[&] { a.notifyMissingAPIKEY("auditagent", "pcn:PC dom:D"); },
       "ITAgentAPI",
       "notifyMissingAPIKEY",
       {"auditagent", "pcn:PC dom:D"}},
      {[&] { a.getLinuxAgentVersion(); }, "ITAgentAPI", "getLinuxAgentVersion", json::array()},
      {[&] { a.getDefList("[1]"); }, "ITAgentAPI", "getDefList", json::array({"[1]"})},
      {[&] { a.getList(obj); }, "ITAgentAPI", "getList", json::array({obj})},
      {[&] { a.queryITMachine(json::array({1})); }, "ITAgentAPI", "queryITMachine",
       json::array({json::array({1})})},
      {[&] { a.queryITValue(obj); }, "ITAgentAPI", "queryITValue", json::array({obj})},
      {[&] { a.queryITValueHist(obj); }, "ITAgentAPI", "queryITValueHist", json::array({obj})},
      {[&] { a.putCommand(json()); }, "ITAgentAPI", "putCommand", json::array({nullptr})},
      {[&] { a.putMiniAudit(obj); }, "ITAgentAPI", "putMiniAudit", json::array({obj})},
      {[&] { a.putAudit(8589934593LL, "{\"a\":\"b/c\"}"); },
       "ITAgentAPI",
       "putAudit",
       {8589934593LL, "{\"a\":\"b/c\"}"}},
      {[&] { in.getDBSyncDocList(obj); }, "integrationAPI", "getDBSyncDocList", json::array({obj})},
      {[&] { in.getDBSyncList(obj); }, "integrationAPI", "getDBSyncList", json::array({obj})},
      {[&] { in.getDBSyncQueryList(obj); }, "integrationAPI", "getDBSyncQueryList", json::array({obj})},
      {[&] { in.getDBSyncQueryDetail(7); }, "integrationAPI", "getDBSyncQueryDetail", json::array({7})},
      {[&] { in.checkAPIKey("k"); }, "integrationAPI", "checkAPIKey", json::array({"k"})},
      {[&] { in.getEntidadeName("k"); }, "integrationAPI", "getEntidadeName", json::array({"k"})},
      {[&] { in.dbsyncPutDefinition("q", obj); }, "integrationAPI", "dbsyncPutDefinition", {"q", obj}},
      {[&] { in.dbsyncPutFile("1", "2", "3", "4", "5", "6", "7"); },
       "integrationAPI",
       "dbsyncPutFile",
       {"1", "2", "3", "4", "5", "6", "7"}},
      {[&] { in.dbsyncPutQuery("1", "2", "3", obj); },
       "integrationAPI",
       "dbsyncPutQuery",
       {"1", "2", "3", obj}},
      {[&] { in.dbsyncQueryError("1", "2", "3", "e"); },
       "integrationAPI",
       "dbsyncQueryError",
       {"1", "2", "3", "e"}},
      {[&] { in.getCommands(); }, "integrationAPI", "getCommands", json::array()},
      {[&] { in.putCommandStatus(5, 1, "", "done"); },
       "integrationAPI",
       "putCommandStatus",
       {5, 1, "", "done"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    c.call();
    json sent = json::parse(srv.last().body);
    EXPECT_EQ(sent["action"], c.action);
    EXPECT_EQ(sent["method"], c.method);
    EXPECT_EQ(sent["data"], c.data);
    EXPECT_EQ(sent["data"].dump(), c.data.dump())
        << "kinds too: integers stay integers, strings stay strings";
  }
}

// Exposes the base class's file call.
struct Uploader : TExtService {
  explicit Uploader(const TExtChannel* ch) : TExtService("integration", ch) {}
  using TExtService::_fileUpload;
};

TEST_F(Service, UploadOfMissingFileSendsNothing) {
  TestServer srv;
  TExtChannel ch(srv.url());
  Uploader up(&ch);
  std::string missing = path("nope.bin");
  try {
    up._fileUpload("putFile", json::object(), missing);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(e.what()), "File Not Found [" + missing + "] (in TExtService integration)");
  }
  EXPECT_EQ(srv.seen().size(), 0u);
  EXPECT_EQ(up.channel().tid(), 0);
}

TEST_F(Service, AsyncOutcomesArriveOnTheDrainingThreadInCompletionOrder) {
  TestServer srv;
  std::promise<void> fastDelivered;
  auto released = fastDelivered.get_future().share();
  srv.onRequest([released](const httplib::Request& req, httplib::Response& res) {
    json call = json::parse(req.body);
    if (call["method"] == "getList") released.wait();  // answers only after the other call was delivered
    if (call["method"] == "putCommand")
      res.set_content(R"({"type":"exception","message":"Refused"})", "application/json");
    else
      res.set_content(json({{"type", "rpc"}, {"result", call["tid"]}}).dump(), "application/json");
  });
  TExtChannel ch(srv.url());
  auto rec = std::make_shared<Recorder>();
  rec->onDelivery = [&](const std::string& callid) {
    if (callid == "fast") fastDelivered.set_value();
    if (callid == "failing-receiver") throw Exception("receiver broke");
  };
  {
    TExt_ITAgent agent(&ch);
    agent.getListAsync("slow", rec, json::object());
    agent.getLinuxAgentVersionAsync("fast", rec);
  }  // the service may go while its calls run
  drainUntil(*rec, 2);
  ASSERT_EQ(rec->got.size(), 2u);
  EXPECT_EQ(rec->got[0].callid, "fast");
  EXPECT_EQ(rec->got[1].callid, "slow");
  for (const auto& d : rec->got) {
    EXPECT_TRUE(d.success);
    EXPECT_EQ(d.result, json(1)) << "each call travels with tid 1 on its own clone";
    EXPECT_EQ(d.thread, std::this_thread::get_id());
  }

  TExt_ITAgent agent(&ch);
  agent.putCommandAsync("failing-receiver", rec, json::object());
  agent.putCommandAsync("refused", rec, json::object());
  drainUntil(*rec, 4);
  ASSERT_EQ(rec->got.size(), 4u) << "a failing receiver does not stop other deliveries";
  for (size_t i = 2; i < 4; ++i) {
    EXPECT_FALSE(rec->got[i].success);
    EXPECT_EQ(rec->got[i].errMessage, "Refused (EExtError)");
    EXPECT_FALSE(rec->got[i].result.has_value());
  }
  std::ifstream log(mainLogFile());
  std::string text(std::istreambuf_iterator<char>(log), {});
  EXPECT_NE(text.find("receiver.asyncResponse error: Exception:receiver broke"), std::string::npos) << text;
}

TEST_F(Service, AsyncTransportFailureNamesItsClass) {
  int port;
  {
    TestServer gone;
    port = gone.port();
  }
  TExtChannel ch("http://127.0.0.1:" + std::to_string(port));
  auto rec = std::make_shared<Recorder>();
  TExt_integration(&ch).getCommandsAsync("c1", rec);
  drainUntil(*rec, 1);
  ASSERT_EQ(rec->got.size(), 1u);
  EXPECT_FALSE(rec->got[0].success);
  const std::string& msg = rec->got[0].errMessage;
  EXPECT_EQ(msg.rfind("Communication error: ", 0), 0u) << msg;
  EXPECT_EQ(msg.substr(msg.size() - 25), " (EExtCommunicationError)");
}

}  // namespace
}  // namespace kn
