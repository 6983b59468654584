// The main loop's schedule, driven through the manual clock against a loopback platform: days of
// simulated time in a fraction of a second. Times below are seconds since the loop started; the
// 500 ms tick and the strict "later than" test put every activity one tick after its due time.
#include "ITAuditMain.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>

#include "KNClockFake.h"
#include "KNConfig.h"
#include "KNDateMath.h"
#include "KNRegistryFake.h"
#include "KNSysInfo.h"
#include "agent_fixture.h"
#include "agent_machine.h"
#include "ext.channel.h"

namespace kn {
namespace {

using namespace std::chrono_literals;
using test::FakePlatform;

// A function, not a constant: the date-time unit's own constants may not be set yet while this
// file's statics are initialised.
TDateTime startTime() { return encodeDateTimeParts(2024, 1, 15, 9, 0, 0, 0); }
const std::string kDocument = "{\n  \"audit\": 1\n}\n";
const std::string kDocumentAsSent = "{\r\n  \"audit\": 1\r\n}\r\n";

std::vector<double> times(const std::vector<FakePlatform::Call>& calls) {
  std::vector<double> out;
  for (const auto& c : calls) out.push_back(c.at);
  return out;
}

// Differences between neighbours.
std::vector<double> gaps(const std::vector<double>& t) {
  std::vector<double> out;
  for (size_t i = 1; i < t.size(); ++i) out.push_back(t[i] - t[i - 1]);
  return out;
}

class ITAuditMainTest : public ::testing::Test {
 protected:
  ITAuditMainTest() { platform = std::make_unique<FakePlatform>(); }

  // Runs the loop for `simulated` time; `each` runs after every tick on the loop's thread.
  void runFor(std::chrono::milliseconds simulated, std::function<void(std::chrono::milliseconds)> each = {}) {
    if (platform) platform->setStamp([this] { return seconds(); });
    if (!connected) machine.connect(url.empty() ? platform->url() : url);
    auto loop = std::make_unique<TITAuditMain>(options);
    running = loop.get();
    clock.onSleep([&] {
      auto e = clock.elapsed();
      if (each) each(e);
      if (e >= simulated) loop->Terminate();
    });
    loop->Start();
    loop->WaitFor();
    running = nullptr;
  }
  double seconds() { return clock.elapsed().count() / 1000.0; }
  std::vector<std::string> log() { return test::logMessages(machine.log("TITAuditMain")); }

  test::AgentMachine machine;
  test::ManualClock clock{startTime()};
  test::ScopedAppClock scopedClock{clock};
  std::unique_ptr<FakePlatform> platform;
  std::string url;
  bool connected = false;
  TITAuditMain* running = nullptr;  // the loop of runFor, while it runs
  std::vector<double> audits;
  TITAuditMain::Options options{
      [] { return true; },
      [this](const std::string& fn, TExt_ITAgent&) {
        audits.push_back(seconds());
        writeFileWhole(os(), fn, kDocument);
      },
  };
};

TEST_F(ITAuditMainTest, SimulatedDayKeepsTheTimetable) {
  runFor(24h);

  auto calls = platform->calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[0].method, "putMiniAudit");
  EXPECT_EQ(calls[0].at, 0.5);
  EXPECT_EQ(calls[1].method, "putCommand");
  EXPECT_EQ(calls[1].at, 0.5);
  EXPECT_EQ(calls[1].data,
            nlohmann::json::array({{{"pcname", computerName()}, {"pcdomain", accountDomainName()}}}));

  // Each period counts from the end of the previous run; the strict test adds one tick.
  for (double g : gaps(times(platform->answered("putMiniAudit")))) ASSERT_EQ(g, 900.5);
  for (double g : gaps(times(platform->answered("putCommand")))) ASSERT_EQ(g, 540.5);
  EXPECT_EQ(platform->answered("putCommand").size(), 160u);

  // First audit at the first audit check (nothing stored yet), the next one 12 h later as seen at
  // an audit check; each document goes out on the following pass and is then deleted.
  EXPECT_EQ(audits, (std::vector<double>{480.5, 43716.5}));
  auto uploads = platform->answered("putAudit");
  EXPECT_EQ(times(uploads), (std::vector<double>{481.0, 43717.0}));
  EXPECT_EQ(uploads[0].data, nlohmann::json::array({0, kDocumentAsSent}));
  EXPECT_FALSE(std::filesystem::exists(machine.pendingFile()));

  auto lines = log();
  EXPECT_EQ(test::countPrefix(lines, "Error decoding dtNextAudit []"), 2u);
  EXPECT_EQ(test::countPrefix(lines, "Setting next audit to: 2024/01/15 21:08:00"), 1u);
  EXPECT_EQ(test::countPrefix(lines,
                              "Sending audit json (" + std::to_string(kDocumentAsSent.size()) + " bytes)..."),
            2u);
  EXPECT_EQ(lines.back(), "Execute terminated");
  // Ticks that could find nothing due are slept through: far fewer wake-ups than 172,800 ticks.
  EXPECT_LT(clock.sleeps(), 2500);
}

TEST_F(ITAuditMainTest, WithoutKeyOnlyTheMissingKeyNoticeEvery90Minutes) {
  options.hasAPIKey = [] { return false; };
  std::filesystem::create_directories(std::filesystem::path(machine.pendingFile()).parent_path());
  writeFileWhole(os(), machine.pendingFile(), kDocument);
  runFor(4h);

  auto calls = platform->calls();
  EXPECT_EQ(test::methods(calls), (std::vector<std::string>(3, "notifyMissingAPIKEY")));
  EXPECT_EQ(times(calls), (std::vector<double>{0.5, 5401.0, 10801.5}));
  EXPECT_EQ(calls[0].data,
            nlohmann::json::array({"auditagent", "pcn:" + computerName() + " dom:" + accountDomainName()}));
  EXPECT_TRUE(audits.empty());
  EXPECT_TRUE(std::filesystem::exists(machine.pendingFile()));
}

// The platform fails for the first 20 minutes in each way it can, then recovers (before the pass
// at 1202.5 s, the first one after 20 minutes). The retry delays
// hold, the document pending at start is neither lost nor overwritten by the failed audit's
// record, and both arrive once the platform answers.
enum class Failure { Unreachable, Http500, Exception };

class ITAuditMainFailureTest : public ITAuditMainTest, public ::testing::WithParamInterface<Failure> {};

TEST_P(ITAuditMainFailureTest, RetriesOnItsTimetableAndLosesNothing) {
  options.runAudit = [](const std::string&, TExt_ITAgent&) {
    throw Exception("Fail@doMethod2: inventory script failed");
  };
  writeFileWhole(os(), machine.pendingFile(), kDocument);
  int port = 0;
  if (GetParam() == Failure::Unreachable) {
    platform.reset();
    port = test::unusedPort();
    url = "http://127.0.0.1:" + std::to_string(port);
  } else {
    platform->setMode(GetParam() == Failure::Http500 ? FakePlatform::Mode::Http500
                                                     : FakePlatform::Mode::Exception);
  }
  bool recovered = false;
  runFor(40min, [&](std::chrono::milliseconds e) {
    if (recovered || e < 20min) return;
    recovered = true;
    if (!platform) platform = std::make_unique<FakePlatform>(port);
    platform->setStamp([this] { return seconds(); });
    platform->setMode(FakePlatform::Mode::Ok);
  });

  auto lines = log();
  EXPECT_EQ(test::countPrefix(lines, "checkin error: "), 40u);                // 0.5 s, then every 30.5 s
  EXPECT_EQ(test::countPrefix(lines, "miniauditError error: "), 4u);          // 0.5 s, then every 300.5 s
  EXPECT_EQ(test::countPrefix(lines, "Error; could not send audit: "), 40u);  // 5.5 s, then every 30.5 s
  const char* expected = GetParam() == Failure::Exception ? "checkin error: EExtError: platform says no"
                                                          : "checkin error: EExtCommunicationError: ";
  EXPECT_EQ(test::countPrefix(lines, expected), 40u);
  EXPECT_EQ(test::countPrefix(lines, "runAudit failed: Fail@doMethod2: inventory script failed"), 4u);

  EXPECT_EQ(times(platform->answered("putCommand")).front(), 1220.5);
  EXPECT_EQ(times(platform->answered("putMiniAudit")).front(), 1202.5);
  auto uploads = platform->answered("putAudit");
  ASSERT_EQ(times(uploads), (std::vector<double>{1225.5, 1886.0}));
  EXPECT_EQ(uploads[0].data[1], kDocumentAsSent);
  auto record = nlohmann::json::parse(uploads[1].data[1].get<std::string>());
  EXPECT_EQ(record, (nlohmann::json{{"dt_execute", "2024/01/15 09:28:01"},
                                    {"success", false},
                                    {"error", "Fail@doMethod2: inventory script failed"}}));
  // The audit at 2282 s failed again: its record waits for the next upload.
  EXPECT_TRUE(std::filesystem::exists(machine.pendingFile()));
}

INSTANTIATE_TEST_SUITE_P(Platform, ITAuditMainFailureTest,
                         ::testing::Values(Failure::Unreachable, Failure::Http500, Failure::Exception));

// A refusal of the document itself is final: one upload, then the failure record that says why,
// then nothing until the next audit. Any other failure keeps the 30 s retry of the document. The
// platform's words show in the lines escaped once.
struct Refusal {
  int status;
  bool permanent;
  bool recordRefusedToo;  // every putAudit is refused: the record is dropped as well
};

class ITAuditMainRefusalTest : public ITAuditMainTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(ITAuditMainRefusalTest, OnlyARetryableFailureIsSentAgain) {
  const Refusal r = GetParam();
  const std::string status = std::to_string(r.status);
  writeFileWhole(os(), machine.pendingFile(), kDocument);
  platform->setHostile([&](const httplib::Request& req, httplib::Response& res) {
    auto env = nlohmann::json::parse(req.body);
    if (env["method"] == "putAudit" && (r.recordRefusedToo || env["data"][1] == kDocumentAsSent)) {
      res.status = r.status;
      res.set_content("Refused\r\nfor good", "text/plain");
    } else {
      res.set_content(R"({"type":"rpc","result":null})", "application/json");
    }
  });
  runFor(7min);  // before the first audit check

  std::vector<FakePlatform::Call> uploads;
  for (const auto& c : platform->calls())
    if (c.method == "putAudit") uploads.push_back(c);
  auto lines = log();
  const std::string refusal = "Communication error: " + status + " Refused\\r\\nfor good";
  if (!r.permanent) {
    ASSERT_GE(uploads.size(), 10u);
    EXPECT_EQ(uploads[0].at, 5.5);
    for (double g : gaps(times(uploads))) EXPECT_EQ(g, 30.5);
    for (const auto& u : uploads) EXPECT_EQ(u.data[1], kDocumentAsSent);
    EXPECT_EQ(test::countPrefix(lines, "Error; could not send audit: " + refusal), uploads.size());
    EXPECT_TRUE(std::filesystem::exists(machine.pendingFile()));
    return;
  }
  ASSERT_EQ(times(uploads), (std::vector<double>{5.5, 6.0}));
  EXPECT_EQ(uploads[0].data[1], kDocumentAsSent);
  const std::string why = "The platform refused the audit document of " +
                          std::to_string(kDocumentAsSent.size()) + " bytes with status " + status + ": " +
                          refusal;
  EXPECT_EQ(nlohmann::json::parse(uploads[1].data[1].get<std::string>()),
            (nlohmann::json{{"dt_execute", "2024/01/15 09:00:05"}, {"success", false}, {"error", why}}));
  EXPECT_EQ(test::countPrefix(lines, "Audit refused, not sent again: " + why), 1u);
  EXPECT_EQ(test::countPrefix(lines, "Audit failure record refused, dropped: " + refusal),
            r.recordRefusedToo ? 1u : 0u);
  EXPECT_EQ(test::countPrefix(lines, "Error; could not send audit"), 0u);
  EXPECT_FALSE(std::filesystem::exists(machine.pendingFile()));
}

INSTANTIATE_TEST_SUITE_P(Statuses, ITAuditMainRefusalTest,
                         ::testing::Values(Refusal{413, true, false}, Refusal{400, true, true},
                                           Refusal{414, true, false}, Refusal{415, true, false},
                                           Refusal{422, true, false}, Refusal{503, false, false},
                                           Refusal{429, false, false}, Refusal{408, false, false}));

// Whatever a check-in is answered with, the loop logs one error and checks in again 30 s later.
TEST_F(ITAuditMainTest, ChecksInAgainAfterEachHostileReply) {
  std::string tinyValues = R"({"type":"rpc","result":[)";
  while (tinyValues.size() < 63'000'000) tinyValues += "{},";
  tinyValues.back() = ']';
  const std::vector<std::string> hostile = {
      tinyValues + "}",
      R"({"type":"rpc","result":)" + std::string(300, '[') + "}",
      "<html>\r\nnot JSON</html>",
      R"({"type":"exception","message":{"text":"a\r\nb"}})",
  };
  std::atomic<size_t> served = 0;
  platform->setHostile([&](const httplib::Request& req, httplib::Response& res) {
    bool checkin = nlohmann::json::parse(req.body)["method"] == "putCommand";
    size_t n = checkin ? served++ : hostile.size();
    res.set_content(n < hostile.size() ? hostile[n] : R"({"type":"rpc","result":{"status":"ok"}})",
                    "application/json");
  });
  runFor(3min);

  std::vector<double> checkins;
  for (const auto& c : platform->calls())
    if (c.method == "putCommand") checkins.push_back(c.at);
  ASSERT_GE(checkins.size(), 5u);
  EXPECT_EQ(std::vector<double>(checkins.begin(), checkins.begin() + 5),
            (std::vector<double>{0.5, 31.0, 61.5, 92.0, 122.5}));
  auto lines = log();
  EXPECT_EQ(test::countPrefix(lines, "checkin error: "), hostile.size());
  EXPECT_EQ(test::countPrefix(
                lines,
                "checkin error: EExtCommunicationError: Communication error: the reply's values would "
                "take more than 128 MB of memory"),
            1u);
  EXPECT_EQ(test::countPrefix(lines, R"(checkin error: EExtError: {"text":"a\r\nb"})"), 1u);
  EXPECT_GE(test::countPrefix(lines, "runCmd(checkin) OK"), 1u);
}

TEST(ITAuditMainStoredTest, StoredNextAuditDecidesTheFirstAudit) {
  struct Case {
    const char* name;
    std::string stored;
    double firstAudit;
  };
  const Case cases[] = {
      {"two hours ahead survives the restart", dateTimeToText(startTime() + 2.0 / 24), 7686.5},
      {"unreadable is overdue", "not a date", 480.5},
      {"beyond one audit period was written under a wrong clock", dateTimeToText(startTime() + 3), 480.5},
  };
  FakePlatform platform;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::AgentMachine machine;
    test::ManualClock clock{startTime()};
    test::ScopedAppClock scoped{clock};
    machine.connect(platform.url());
    {
      TKNConfig cfg("auditagent");
      cfg.LoadData();
      cfg.Put("audit\\nextv6", c.stored);
      cfg.SaveData();
    }
    std::vector<double> seen;
    TITAuditMain::Options options{
        [] { return true; },
        [&](const std::string&, TExt_ITAgent&) { seen.push_back(clock.elapsed().count() / 1000.0); }};
    auto loop = std::make_unique<TITAuditMain>(options);
    clock.onSleep([&] {
      if (clock.elapsed() >= 150min) loop->Terminate();
    });
    loop->Start();
    loop->WaitFor();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), c.firstAudit);
    if (c.stored == "not a date") {
      auto lines = test::logMessages(machine.log("TITAuditMain"));
      EXPECT_EQ(test::countPrefix(lines, "Error decoding dtNextAudit [not a date]"), 2u);
    }
  }
}

TEST_F(ITAuditMainTest, TheSameNextAuditTextIsSavedOnce) {
  machine.connect(platform->url());
  TITAuditMain loop(options);
  loop.setDt_nextAudit(startTime() + 0.5);
  ASSERT_TRUE(machine.userSettingsSaved());
  machine.removeUserSettings();
  loop.setDt_nextAudit(startTime() + 0.5 + toDays(300ms));  // the same text: whole seconds only
  EXPECT_FALSE(machine.userSettingsSaved());
  loop.setDt_nextAudit(startTime() + 1);
  EXPECT_TRUE(machine.userSettingsSaved());
  EXPECT_EQ(loop.dt_nextAudit(), startTime() + 1);
}

// The next-audit time cannot be stored: the failure is logged, the document still goes out, the
// time is kept in memory (no audit at every audit check) and nothing else is held back.
TEST_F(ITAuditMainTest, AnUnstorableNextAuditTimeIsLoggedAndTheLoopGoesOn) {
  // A registry that refuses to store that one value.
  struct Refusing : TRegistryFake {
    void writeString(RegRoot root, const std::string& path, const std::string& name,
                     const std::string& value) override {
      if (name == "nextv6") throw ERegistryAccessError("refused");
      TRegistryFake::writeString(root, path, name, value);
    }
  };
  TScopedRegistry use(std::make_shared<Refusing>());
  runFor(35min);

  EXPECT_EQ(audits, std::vector<double>{480.5});
  auto lines = log();
  EXPECT_EQ(test::countPrefix(lines, "dt_nextAudit property error: Failed to set data for 'nextv6'"), 1u);
  EXPECT_EQ(times(platform->answered("putAudit")), std::vector<double>{481.0});
  EXPECT_EQ(times(platform->answered("putCommand")), (std::vector<double>{0.5, 541.0, 1081.5, 1622.0}));
  EXPECT_EQ(lines.back(), "Execute terminated");
}

// An audit that falls due while the previous document still waits for the platform replaces it:
// only the newer document is ever accepted.
TEST_F(ITAuditMainTest, ANewAuditReplacesTheDocumentStillPending) {
  writeFileWhole(os(), machine.pendingFile(), "{\"audit\": \"old\"}\n");
  options.runAudit = [this](const std::string& fn, TExt_ITAgent&) {
    audits.push_back(seconds());
    writeFileWhole(os(), fn, "{\"audit\": \"new\"}\n");
  };
  platform->setMode(FakePlatform::Mode::Exception);
  runFor(10min, [&](std::chrono::milliseconds e) {
    if (e > 481s) platform->setMode(FakePlatform::Mode::Ok);
  });

  EXPECT_EQ(audits, std::vector<double>{480.5});
  EXPECT_GT(test::countPrefix(log(), "Error; could not send audit: "), 10u);
  auto uploads = platform->answered("putAudit");
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(uploads[0].data[1], "{\"audit\": \"new\"}\r\n");
  EXPECT_FALSE(std::filesystem::exists(machine.pendingFile()));
}

// A stop requested while an activity is in progress is seen as soon as it ends: the check-in due
// on the same pass is not started, so a stop waits for one operation at most.
TEST_F(ITAuditMainTest, AStopDuringAnActivityEndsThePassAfterIt) {
  machine.connect(platform->url());
  auto loop = std::make_unique<TITAuditMain>(options);
  platform->onCall([&](const std::string& method) {
    if (method == "putMiniAudit") loop->Terminate();
  });
  loop->Start();
  loop->WaitFor();
  EXPECT_EQ(test::methods(platform->calls()), std::vector<std::string>{"putMiniAudit"});
  EXPECT_EQ(test::countPrefix(log(), "runCmd(checkin)"), 0u);
  EXPECT_EQ(log().back(), "Execute terminated");
}

// The service abandons the exchange in progress once it has asked the loop to stop; the failure
// that follows is the stop's doing: no failure record replaces the audit, nothing is rescheduled.
TEST_F(ITAuditMainTest, AFailureThatFollowsAStopRequestIsNoFailure) {
  options.runAudit = [this](const std::string&, TExt_ITAgent&) {
    running->Terminate();
    throw EExtCommunicationError("Communication error: the exchange was stopped");
  };
  runFor(24h);
  auto lines = log();
  EXPECT_EQ(test::countPrefix(lines, "RunAudit abandoned: the service is stopping"), 1u);
  EXPECT_EQ(test::countPrefix(lines, "runAudit failed: "), 0u);
  EXPECT_EQ(test::countPrefix(lines, "Setting next audit to: "), 0u);
  EXPECT_EQ(lines.back(), "Execute terminated");
  EXPECT_FALSE(std::filesystem::exists(machine.pendingFile()));
}

TEST_F(ITAuditMainTest, AWallClockMovedBackDoesNotHoldTheScheduleBack) {
  bool shifted = false;
  runFor(2h, [&](std::chrono::milliseconds e) {
    if (e >= 30min && !shifted) clock.shiftWallClock(-24h), shifted = true;
  });
  auto checkins = times(platform->answered("putCommand"));
  EXPECT_EQ(checkins.size(), 14u);
  for (double g : gaps(checkins)) ASSERT_EQ(g, 540.5);
}

}  // namespace
}  // namespace kn
