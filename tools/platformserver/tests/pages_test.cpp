// The web pages: escaping, the audit document as sections and tables, and the routes.
#include "PlatformPages.h"
#include "TestServer.h"

namespace kn::platform::test {
namespace {

using nlohmann::json;

bool contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

TEST(Pages, CallerTextNeverBecomesMarkup) {
  const std::string evil = "<script>alert('x')</script>&\"";
  MachineRecord m;
  m.machineId = evil;
  m.identity = {evil, evil, evil, evil, true};
  m.lastCheckin = "2024-01-15T10:00:00Z";
  m.lastCheckinData = json{{evil, evil}}.dump();
  AuditRecord audit{1, evil, "t", true,
                    json{{"rurirudoDUROVorov", {{evil, json::array({{{evil, evil}}})}}}}.dump()};
  CallRecord call{1, evil, "ITAgent", evil, "t", evil, false, evil};

  for (const std::string& html : {renderMachineList({m}), renderMachinePage(m, audit, {call})}) {
    EXPECT_FALSE(contains(html, "<script>"));
    EXPECT_FALSE(contains(html, "'x'"));
    EXPECT_TRUE(contains(html, "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;&amp;&quot;"));
  }
  EXPECT_TRUE(contains(renderMachineList({m}), "href=\"/machine?id=%3Cscript%3Ealert%28%27x%27%29"));
}

TEST(Pages, AnAuditShowsItsSectionsAsTables) {
  json doc = {{"rurirudoDUROVorov",
               {{"dt_start", 45306.5},
                {"generator", "/opt/kestrane/auditagent"},
                {"MachineResume", json::array({{{"hostname", "pc01"}, {"os_family", "Linux"}}})},
                {"Software", json::array({{{"name", "A"}}, {{"name", "B"}, {"version", "2"}}})},
                {"Users", json::array()},
                {"ProcessDetail", json::array({{{"Name", "init"}}, "ERROR: access denied"})}}},
              {"dt_execute", "2024/01/15 12:00:01"},
              {"success", true}};
  std::string html = renderAuditDocument(doc.dump());

  EXPECT_TRUE(contains(html, "<th>dt_execute</th><td>2024/01/15 12:00:01</td>"));
  EXPECT_TRUE(contains(html, "<th>dt_start</th><td>45306.5 (2024-01-15 12:00:00)</td>"));
  EXPECT_TRUE(contains(html, "<th>generator</th><td>/opt/kestrane/auditagent</td>"));
  EXPECT_TRUE(contains(html, "<a href=\"#s-Software\">Software</a> (2)"));
  // Columns are every member seen; a row without one gets an empty cell.
  EXPECT_TRUE(contains(html,
                       "<h3>Software (2)</h3><table><tr><th>name</th><th>version</th></tr>"
                       "<tr><td>A</td><td></td></tr><tr><td>B</td><td>2</td></tr></table>"));
  EXPECT_TRUE(contains(html, "<h3>Users (0)</h3><span class=\"empty\">(none)</span>"));
  EXPECT_TRUE(contains(html, "<li>ERROR: access denied</li>"));
}

TEST(Pages, AFailureRecordShowsItsError) {
  std::string html = renderAuditDocument(
      R"({"dt_execute":"2024/01/15 12:00:00","success":false,"error":"Fail@doMethod2: x"})");
  EXPECT_TRUE(contains(html, "<th>success</th><td class=\"bad\">false</td>"));
  EXPECT_TRUE(contains(html, "<th>error</th><td class=\"bad\">Fail@doMethod2: x</td>"));
  EXPECT_TRUE(contains(renderAuditDocument("[1]"), "not a JSON object"));
}

TEST(Pages, DeepValuesStopNesting) {
  json deep = "leaf";
  for (int i = 0; i < 50; ++i) deep = json::array({deep});
  std::string html = renderAuditDocument(json{{"rurirudoDUROVorov", {{"X", deep}}}}.dump());
  EXPECT_TRUE(contains(html, "[[[[&quot;leaf&quot;]]]]"));
}

TEST_F(ServerTest, ThePagesListAndShowTheMachines) {
  auto empty = client->Get("/");
  ASSERT_TRUE(empty);
  EXPECT_TRUE(contains(empty->body, "No machine has called in yet."));

  call("putCommand", {{{"pcname", "PC01"}, {"pcdomain", "WG"}}}, "id/with spaces&more");
  call("putMiniAudit", {{{"ips", "10.0.0.5,192.168.1.9"}, {"lastboot", "2024-01-15 08:00:00"}}},
       "id/with spaces&more");
  call("putAudit", {0, R"({"success":true,"rurirudoDUROVorov":{"Software":[{"name":"Editor"}]}})"},
       "id/with spaces&more");

  auto list = client->Get("/");
  ASSERT_TRUE(list);
  EXPECT_EQ("text/html; charset=utf-8", list->get_header_value("Content-Type"));
  EXPECT_TRUE(contains(list->body, "href=\"/machine?id=id%2Fwith%20spaces%26more\">PC01</a>"));

  auto page = client->Get("/machine?id=id%2Fwith%20spaces%26more");
  ASSERT_TRUE(page);
  EXPECT_EQ(200, page->status);
  EXPECT_TRUE(contains(page->body, "<h2>Last check-in</h2>"));
  EXPECT_TRUE(contains(page->body, "<th>ips</th><td>10.0.0.5,192.168.1.9</td>"));
  EXPECT_TRUE(contains(page->body, "<h3>Software (1)</h3>"));

  auto raw = client->Get("/machine/audit.json?id=id%2Fwith%20spaces%26more");
  ASSERT_TRUE(raw);
  EXPECT_EQ(200, raw->status);
  EXPECT_EQ("Editor", json::parse(raw->body)["rurirudoDUROVorov"]["Software"][0]["name"]);

  auto machines = client->Get("/api/machines");
  ASSERT_TRUE(machines);
  EXPECT_EQ("id/with spaces&more", json::parse(machines->body)[0]["machine_id"]);

  auto unknown = client->Get("/machine?id=nobody");
  ASSERT_TRUE(unknown);
  EXPECT_EQ(404, unknown->status);
}

}  // namespace
}  // namespace kn::platform::test
