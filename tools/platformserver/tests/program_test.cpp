// The program itself: options, the "listening on" line, a clean stop on SIGTERM, and HTTPS.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "TestServer.h"

namespace kn::platform::test {
namespace {

// The program run with `args`, its standard output (and error) on a pipe.
class Program {
 public:
  explicit Program(std::vector<std::string> args) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], 1);
      dup2(fds[1], 2);
      close(fds[0]);
      close(fds[1]);
      std::vector<char*> argv{const_cast<char*>(KN_PLATFORMSERVER_EXE)};
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(fds[1]);
    out_ = fds[0];
  }
  ~Program() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(out_);
  }

  // Output up to and including the next line break; empty after 20 s without one, or at end.
  std::string readLine() {
    std::string line;
    char c;
    pollfd p{out_, POLLIN, 0};
    while (poll(&p, 1, 20000) == 1 && read(out_, &c, 1) == 1) {
      line += c;
      if (c == '\n') break;
    }
    return line;
  }
  std::string readAll() {
    std::string all, line;
    while (!(line = readLine()).empty()) all += line;
    return all;
  }
  // The exit code, or -1 when it ended by a signal.
  int wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void signal(int sig) { kill(pid_, sig); }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

TEST(Program, PrintsItsAddressServesAndStopsCleanlyOnSignals) {
  for (int sig : {SIGTERM, SIGINT}) {
    TempDir dir;
    Program p({"--port", "0", "--data", dir.file("d.db")});
    std::string line = p.readLine();
    ASSERT_EQ(0u, line.rfind("listening on http://127.0.0.1:", 0)) << line;
    int port = std::stoi(line.substr(line.rfind(':') + 1));

    httplib::Client client("127.0.0.1", port);
    std::string h = serviceApp("M-1");
    auto res = client.Post("/app.direct", {{"x-serviceapp", h}}, envelope("putCommand", {nullptr}),
                           "application/json");
    ASSERT_TRUE(res);
    EXPECT_NE(std::string::npos, res->body.find("\"type\":\"rpc\""));

    p.signal(sig);
    EXPECT_EQ("stopped by signal " + std::to_string(sig) + "\n", p.readLine());
    EXPECT_EQ(0, p.wait());
    EXPECT_EQ(1u, PlatformStore(dir.file("d.db")).calls("", "", 10).size());
  }
}

TEST(Program, AnswersHelpAndRefusesBadOptions) {
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string text;
  };
  const Case cases[] = {
      {{"--help"}, 0, "Usage: kn-platformserver"},
      {{"--port", "70000"}, 2, "--port needs a number up to 65535"},
      {{"--port", "12x"}, 2, "--port needs a number"},
      {{"--frobnicate", "1"}, 2, "unknown option: --frobnicate"},
      {{"--port"}, 2, "missing value: --port"},
      {{"--tls-cert", "c.pem"}, 2, "--tls-cert and --tls-key go together"},
      {{"--keys-file", "/nonexistent/keys"}, 2, "cannot read keys file"},
      {{"--port", "0", "--data", "/nonexistent/dir/d.db"}, 1, "Cannot open data file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    Program p(c.args);
    std::string out = p.readAll();
    EXPECT_EQ(c.code, p.wait());
    EXPECT_NE(std::string::npos, out.find(c.text)) << out;
  }
}

TEST(Program, ServesHttpsWithTheGivenCertificate) {
  TempDir dir;
  std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout " +
                    dir.file("key.pem") + " -out " + dir.file("cert.pem") + " >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) GTEST_SKIP() << "openssl cannot make a test certificate";
  dir.write("keys", "# the office\nkey-1\n\n");

  Program p({"--port", "0", "--data", dir.file("d.db"), "--tls-cert", dir.file("cert.pem"), "--tls-key",
             dir.file("key.pem"), "--keys-file", dir.file("keys")});
  std::string line = p.readLine();
  ASSERT_EQ(0u, line.rfind("listening on https://127.0.0.1:", 0)) << line;
  httplib::SSLClient client("127.0.0.1", std::stoi(line.substr(line.rfind(':') + 1)));
  client.set_ca_cert_path(dir.file("cert.pem").c_str());
  client.enable_server_certificate_verification(true);
  for (const auto& [key, type] : {std::pair{"key-1", "rpc"}, std::pair{"other", "exception"}}) {
    auto res = client.Post("/app.direct", {{"x-serviceapp", serviceApp("M-1", key)}},
                           envelope("putCommand", {nullptr}), "application/json");
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(type, nlohmann::json::parse(res->body)["type"]);
  }
  p.signal(SIGTERM);
  EXPECT_EQ(0, p.wait());

  Program broken({"--port", "0", "--data", dir.file("d.db"), "--tls-cert", dir.file("keys"), "--tls-key",
                  dir.file("keys")});
  EXPECT_NE(std::string::npos, broken.readAll().find("Cannot load the TLS certificate"));
  EXPECT_EQ(1, broken.wait());
}

}  // namespace
}  // namespace kn::platform::test
