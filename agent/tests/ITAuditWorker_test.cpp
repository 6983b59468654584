#include "ITAuditWorker.h"

#include <gtest/gtest.h>

#include "KNClockFake.h"
#include "KNSysInfo.h"
#include "LocalAddresses.h"
#include "agent_fixture.h"
#include "agent_machine.h"
#include "ext.ITAgent.h"

namespace kn {
namespace {

using namespace std::chrono_literals;

TEST(ITAuditWorkerTest, MiniAuditRecordsWhatItCouldReadAndWhyTheRestFailed) {
  const TDateTime now = encodeDateTimeParts(2024, 3, 5, 14, 7, 9, 0);
  struct Case {
    const char* name;
    bool addressesFail;
    bool uptimeFails;
    nlohmann::json expected;
  };
  const Case cases[] = {
      {"both read", false, false, {{"ips", "10.0.0.5,fe80::1"}, {"lastboot", "2024-03-05 11:05:08"}}},
      {"no addresses",
       true,
       false,
       {{"lastboot", "2024-03-05 11:05:08"}, {"errors", "\rErro, localIp: no stack"}}},
      {"no uptime", false, true, {{"ips", "10.0.0.5,fe80::1"}, {"errors", "\rErro, uptime: no boot time"}}},
      {"neither", true, true, {{"errors", "\rErro, localIp: no stack\rErro, uptime: no boot time"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::ManualClock clock(now, 3h + 2min + 1s);
    test::ScopedAppClock scoped(clock);
    if (c.uptimeFails) clock.setUptimeError("no boot time");
    auto record = TITAuditWorker::miniAudit([&]() -> std::vector<std::string> {
      if (c.addressesFail) throw EOSError("no stack");
      return {"10.0.0.5", "fe80::1"};
    });
    EXPECT_EQ(record, c.expected);
  }
}

TEST(ITAuditWorkerTest, MiniAuditOfThisMachine) {
  auto record = TITAuditWorker::miniAudit();
  EXPECT_FALSE(record.contains("errors")) << record.dump();
  ASSERT_TRUE(record.contains("lastboot"));
  EXPECT_LT(record["lastboot"].get<std::string>(), TITAuditWorker::lastBootText(nowDateTime()));
}

TEST(LocalAddressesTest, UpNonLoopbackIPv4First) {
  std::vector<ListedAddress> all = {
      {"::1", false, true, true},          {"127.0.0.1", true, true, true},
      {"fe80::1", false, true, false},     {"192.168.1.10", true, true, false},
      {"10.9.9.9", true, false, false},    {"172.17.0.1", true, true, false},
      {"192.168.1.10", true, true, false},
  };
  EXPECT_EQ(selectLocalAddresses(all), (std::vector<std::string>{"192.168.1.10", "172.17.0.1", "fe80::1"}));
  for (const std::string& a : localIPAddresses()) EXPECT_NE(a, "127.0.0.1");
}

class ITAuditWorkerCheckinTest : public ::testing::Test {
 protected:
  ITAuditWorkerCheckinTest() { machine.connect(platform.url()); }
  test::AgentMachine machine;
  test::FakePlatform platform;
};

TEST_F(ITAuditWorkerCheckinTest, SendsNameAndDomainAndLogsTheAnswer) {
  TExt_ITAgent svc;
  TITAuditWorker worker(machine.pendingFile(), svc);
  worker.BeginCommand();
  worker.Send();
  auto calls = platform.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].method, "putCommand");
  EXPECT_EQ(calls[0].data,
            nlohmann::json::array({{{"pcname", computerName()}, {"pcdomain", accountDomainName()}}}));
  EXPECT_EQ(test::logMessages(machine.log("TITAuditWorker")).back(), R"(response: {"status":"ok"})");
}

// The line holds the compact JSON text as it is (its escapes written once), cut at 1,000 characters.
TEST_F(ITAuditWorkerCheckinTest, TheResponseLineIsTheJsonTextByteForByte) {
  struct Case {
    nlohmann::json result;
    std::string line;
  } cases[] = {
      {{{"status", "ok"}, {"n\xC3\xA3o", "\xC3\xA9"}}, R"(response: {"n\u00e3o":"\u00e9","status":"ok"})"},
      {{{"path", "C:\\x"}, {"text", "a\r\nb\x1b"}}, R"(response: {"path":"C:\\x","text":"a\r\nb\u001b"})"},
      {std::string(2000, 'y'), "response: \"" + std::string(999, 'y') + "..."},
  };
  TExt_ITAgent svc;
  for (const Case& c : cases) {
    platform.setResult("putCommand", c.result);
    TITAuditWorker worker(machine.pendingFile(), svc);
    worker.Send();
    EXPECT_EQ(test::logMessages(machine.log("TITAuditWorker")).back(), c.line);
  }
}

TEST_F(ITAuditWorkerCheckinTest, AnAnswerWithoutResultLogsNull) {
  platform.setResult("putCommand", std::nullopt);
  TExt_ITAgent svc;
  TITAuditWorker worker(machine.pendingFile(), svc);
  worker.Send();  // without BeginCommand: an empty record
  EXPECT_EQ(platform.calls()[0].data, nlohmann::json::array({nlohmann::json::object()}));
  EXPECT_EQ(test::logMessages(machine.log("TITAuditWorker")).back(), "response: null");
}

TEST_F(ITAuditWorkerCheckinTest, AFailedCallLogsNothing) {
  platform.setMode(test::FakePlatform::Mode::Exception);
  TExt_ITAgent svc;
  TITAuditWorker worker(machine.pendingFile(), svc);
  worker.BeginCommand();
  EXPECT_THROW(worker.Send(), EExtError);
  EXPECT_TRUE(test::logMessages(machine.log("TITAuditWorker")).empty());
}

TEST_F(ITAuditWorkerCheckinTest, RunAuditWritesTheDocumentWholeOrNotAtAll) {
  TExt_ITAgent svc;
  TITAuditWorker worker(machine.pendingFile(), svc);
  worker.runAudit(machine.pendingFile());
  auto doc = nlohmann::json::parse(test::readBytes(machine.pendingFile()));
  EXPECT_EQ(doc["success"], true);
  EXPECT_TRUE(doc.contains("rurirudoDUROVorov"));

  const std::string nowhere = machine.path("missing/latest_audit.json");
  EXPECT_THROW(worker.runAudit(nowhere), Exception);
  EXPECT_FALSE(std::filesystem::exists(machine.path("missing")));
  EXPECT_TRUE(platform.calls().empty());
}

}  // namespace
}  // namespace kn
