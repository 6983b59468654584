// kn-platformserver: the reference platform and update server. See --help.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>

#include "PlatformServer.h"

namespace {

constexpr const char* kUsage = R"(Usage: kn-platformserver [options]

Plays the asset-management platform for auditagent (POST /app.direct) and the update
server for svcupdater (webupdate.php3, <appid>.pkg), and shows the machines that have
called in on a web page at the same address.

Options:
  --address ADDR      address to listen on (default 127.0.0.1); an address other
                      than a loopback one needs an admin token
  --port N            port to listen on; 0 picks a free one (default 8080)
  --data FILE         SQLite data file, created when missing (default platformserver.db)
  --key KEY           an API key the server accepts; repeatable. Without any key
                      configured every key is accepted
  --keys-file FILE    API keys, one a line (blank lines and lines starting with # skipped)
  --packages DIR      folder of update packages: APP.version (version text), APP.pkg
                      (the package), APP.blocked (optional, answers blocked=1)
  --agent-version V   the answer of getLinuxAgentVersion (default 1.0.0.1)
  --max-body BYTES    largest request body accepted (default 67108864)
  --admin-token T     every page and /api/* route then needs T, as the header
                      "Authorization: Bearer T" or through the sign-in form at /login
  --admin-token-file FILE   the admin token, the file's first line
  --threads N         worker threads serving requests (default 128); kept-alive
                      connections between requests take none (over HTTPS they do)
  --tls-cert FILE     PEM certificate: serve HTTPS (needs --tls-key)
  --tls-key FILE      PEM private key of --tls-cert
  --help              this text

Once listening it prints "listening on <url>" on standard output. SIGTERM or SIGINT
stops it cleanly.
)";

struct UsageError {
  std::string message;
};

void readKeysFile(const std::string& path, std::set<std::string>& keys) {
  std::ifstream in(path);
  if (!in) throw UsageError{"cannot read keys file " + path};
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] != '#') keys.insert(line);
  }
}

std::string readFirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) throw UsageError{"cannot read the admin token file " + path};
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) throw UsageError{"the admin token file " + path + " has an empty first line"};
  return line;
}

std::size_t parseNumber(const std::string& option, const std::string& text, std::size_t max) {
  std::size_t pos = 0;
  unsigned long long v = 0;
  try {
    v = std::stoull(text, &pos);
  } catch (const std::exception&) {
    pos = 0;
  }
  if (pos != text.size() || text.empty() || text[0] == '-' || v > max)
    throw UsageError{option + " needs a number up to " + std::to_string(max)};
  return static_cast<std::size_t>(v);
}

// Returns false when --help was asked for.
bool parseOptions(int argc, char** argv, kn::platform::ServerOptions& o) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") return false;
    if (i + 1 >= argc) throw UsageError{"unknown option or missing value: " + std::string(arg)};
    std::string value = argv[++i];
    if (arg == "--address")
      o.address = value;
    else if (arg == "--port")
      o.port = static_cast<int>(parseNumber("--port", value, 65535));
    else if (arg == "--data")
      o.dataFile = value;
    else if (arg == "--key")
      o.rpc.keys.insert(value);
    else if (arg == "--keys-file")
      readKeysFile(value, o.rpc.keys);
    else if (arg == "--packages")
      o.packageDir = value;
    else if (arg == "--agent-version")
      o.rpc.agentVersion = value;
    else if (arg == "--max-body")
      o.maxBodyBytes = parseNumber("--max-body", value, std::size_t{1} << 40);
    else if (arg == "--admin-token")
      o.adminToken = value;
    else if (arg == "--admin-token-file")
      o.adminToken = readFirstLine(value);
    else if (arg == "--threads")
      o.http.threads = std::max<std::size_t>(1, parseNumber("--threads", value, 4096));
    else if (arg == "--tls-cert")
      o.tlsCert = value;
    else if (arg == "--tls-key")
      o.tlsKey = value;
    else
      throw UsageError{"unknown option: " + std::string(arg)};
  }
  if (o.tlsCert.empty() != o.tlsKey.empty()) throw UsageError{"--tls-cert and --tls-key go together"};
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  kn::platform::ServerOptions options;
  try {
    if (!parseOptions(argc, argv, options)) {
      std::cout << kUsage;
      return 0;
    }
  } catch (const UsageError& e) {
    std::cerr << "kn-platformserver: " << e.message << "\n(see --help)\n";
    return 2;
  }

  // The stop signals are taken by sigtimedwait below, on this thread only: block them before any
  // other thread exists so that every thread inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  try {
    kn::platform::PlatformServer server(options);
    server.start();
    std::cout << "listening on " << server.url() << std::endl;
    timespec tick{1, 0};
    int sig = -1;
    while (server.running() && (sig = sigtimedwait(&stopSignals, nullptr, &tick)) < 0) {
    }
    server.stop();
    std::cout << (sig > 0 ? "stopped by signal " + std::to_string(sig) : "listener ended") << std::endl;
    return sig > 0 ? 0 : 1;
  } catch (const std::exception& e) {
    std::cerr << "kn-platformserver: " << e.what() << "\n";
    return 1;
  }
}
