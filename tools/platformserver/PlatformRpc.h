// The platform side of the agent's remote calls: one POST body of "/app.direct" in, one reply
// envelope out.
//
// A call is a JSON object {"action": "ITAgentAPI", "method": ..., "type": "rpc", "tid": n,
// "data": [arguments]} sent with the header "x-serviceapp", a compact JSON object {"id", "svc",
// "k", "pcn", "av"} naming the machine and its API key. The reply echoes "action", "method" and
// "tid" and carries either "type": "rpc" and "result", or "type": "exception" and "message".
// Both travel with HTTP status 200: the agent reads a non-2xx status as a transport failure.
//
// Every call that names a method is stored (PlatformStore), refused ones included; accepted
// calls also update their machine's row. Requests that are not a call (malformed JSON, no
// method) are answered but not stored.
#pragma once

#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "PlatformStore.h"

namespace kn::platform {

struct RpcSettings {
  // API keys the server accepts; empty accepts every key. A machine without a key may still
  // send "notifyMissingAPIKEY", which exists to say exactly that.
  std::set<std::string> keys;
  // The answer of "getLinuxAgentVersion".
  std::string agentVersion = "1.0.0.1";
};

// Answers one call. `serviceApp` is the "x-serviceapp" header, or null when absent. Never
// throws: every fault, the store's included, becomes an exception reply.
nlohmann::json answerRpc(const std::string& body, const std::string* serviceApp, PlatformStore& store,
                         const RpcSettings& settings);

// An exception reply with `message`, echoing what `envelope` (may be null) names.
nlohmann::json exceptionReply(const std::string& message, const nlohmann::json* envelope = nullptr);

}  // namespace kn::platform
