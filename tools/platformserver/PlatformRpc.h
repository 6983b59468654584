// The platform side of the agent's remote calls: one POST body of "/app.direct" in, one reply
// envelope out.
//
// A call is a JSON object {"action": "ITAgentAPI", "method": ..., "type": "rpc", "tid": n,
// "data": [arguments]} sent with the header "x-serviceapp", a compact JSON object {"id", "svc",
// "k", "pcn", "av"} naming the machine and its API key. The reply echoes "action", "method" and
// "tid" and carries either "type": "rpc" and "result", or "type": "exception" and "message".
// Both travel with HTTP status 200: the agent reads a non-2xx status as a transport failure.
//
// The caller is judged from the header alone, before the body is read (admitCaller): a caller
// with an accepted key may make any call, and every call of it that names a method is stored in
// its machine's history (refused arguments included); accepted calls also update the machine's
// row. A caller without a key may only send "notifyMissingAPIKEY", which is kept apart
// (PlatformStore::recordKeyNotice) and never changes a machine. Everything else a caller without
// an accepted key sends goes to the refused-call log. Requests that are not a call (malformed
// JSON, no method) are answered but not stored.
#pragma once

#include <cstddef>
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

// Largest body read from a caller without a key, and largest stored record (check-in,
// mini-audit) of a caller with one.
inline constexpr std::size_t kMaxKeylessBody = 1024 * 1024;
inline constexpr std::size_t kMaxStoredRecord = 64 * 1024;

// Who is calling, as far as the "x-serviceapp" header tells.
struct Caller {
  enum class Kind { Keyed, Keyless, Refused };
  Kind kind = Kind::Refused;
  Identity identity;
  std::string refusal;  // why, for Kind::Refused
  std::string remoteAddr;
};

// Judges the caller from `serviceApp` (the header, or null when absent). Never throws.
Caller admitCaller(const std::string* serviceApp, const RpcSettings& settings);

// Records a caller refused before its body was read, and returns the reply.
nlohmann::json refuseCaller(const Caller& caller, const std::string& reason, PlatformStore& store);

// Answers one call of an admitted caller (Keyed or Keyless). Never throws: every fault, the
// store's included, becomes an exception reply.
nlohmann::json answerRpc(const std::string& body, const Caller& caller, PlatformStore& store,
                         const RpcSettings& settings);

// An exception reply with `message`, echoing what `envelope` (may be null) names.
nlohmann::json exceptionReply(const std::string& message, const nlohmann::json* envelope = nullptr);

}  // namespace kn::platform
