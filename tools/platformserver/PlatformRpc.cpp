#include "PlatformRpc.h"

#include <algorithm>
#include <functional>
#include <string_view>
#include <vector>

namespace kn::platform {

namespace {

using nlohmann::json;

// A refusal of the call, answered as an exception reply with this message.
KN_DECLARE_EXCEPTION(CallRefused, Exception);

// Identity texts are shown and stored; a hostile header must not grow the data file.
constexpr std::size_t kMaxIdentityField = 256;

// Deepest nesting of arrays and objects accepted in a body or an audit document. JSON writing
// recurses once per level, so a body of a million "[" would otherwise overflow the stack.
constexpr int kMaxNesting = 256;

bool nestedTooDeep(std::string_view text) {
  int depth = 0;
  bool inString = false, escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxNesting) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

// Checks that an audit document is one valid JSON object and reads its top-level "success",
// without building the document in memory.
struct DocumentProbe : nlohmann::json_sax<json> {
  int depth = 0;
  bool isObject = false;
  bool atSuccess = false;  // the last top-level key was "success"
  bool success = false;

  bool value(bool isBool, bool v = false) {
    if (depth == 1 && atSuccess) success = isBool && v;
    atSuccess = false;
    return true;
  }
  bool open(bool object) {
    if (depth == 0) isObject = object;
    value(false);
    return ++depth <= kMaxNesting;
  }
  bool null() override { return value(false); }
  bool boolean(bool v) override { return value(true, v); }
  bool number_integer(number_integer_t) override { return value(false); }
  bool number_unsigned(number_unsigned_t) override { return value(false); }
  bool number_float(number_float_t, const string_t&) override { return value(false); }
  bool string(string_t&) override { return value(false); }
  bool binary(binary_t&) override { return value(false); }
  bool start_object(std::size_t) override { return open(true); }
  bool key(string_t& k) override {
    atSuccess = depth == 1 && k == "success";
    return true;
  }
  bool end_object() override {
    --depth;
    return true;
  }
  bool start_array(std::size_t) override { return open(false); }
  bool end_array() override {
    --depth;
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }
};

// The arguments as stored: strings longer than the stored text are cut first, so a large
// document is never written out whole only to be cut.
json argsPreview(const json& v) {
  if (v.is_string() && v.get_ref<const std::string&>().size() > kMaxStoredArgs)
    return v.get_ref<const std::string&>().substr(0, kMaxStoredArgs);
  if (!v.is_array()) return v;
  json out = json::array();
  for (const auto& e : v) out.push_back(argsPreview(e));
  return out;
}

enum class Arg { String, Integer, Any };

// What a method may change on its machine's row, and its answer.
struct CallContext {
  const json& data;
  const Identity& identity;
  PlatformStore& store;
  const RpcSettings& settings;
  MachineUpdate& update;
};

struct Method {
  std::string_view name;
  std::vector<Arg> args;
  std::function<json(CallContext&)> answer;
};

// Compact JSON text for storage; text that is not valid UTF-8 is replaced, never thrown over.
std::string compact(const json& v) { return v.dump(-1, ' ', false, json::error_handler_t::replace); }

json ok() { return json{{"ok", true}}; }

std::string boundedRecord(const char* method, const json& value) {
  std::string text = compact(value);
  if (text.size() > kMaxStoredRecord)
    throw CallRefused(std::string(method) + ": the record exceeds " + std::to_string(kMaxStoredRecord) +
                      " bytes");
  return text;
}

json machineSummary(PlatformStore& store, const std::string& id) {
  auto m = store.machine(id);
  if (!m) return nullptr;
  return {{"machine_id", m->machineId},     {"pcn", m->identity.pcn},
          {"svc", m->identity.svc},         {"av", m->identity.av},
          {"last_checkin", m->lastCheckin}, {"last_miniaudit", m->lastMiniAudit},
          {"last_audit", m->lastAudit}};
}

const std::vector<Method>& itAgentMethods() {
  static const std::vector<Method> methods = {
      {"notifyMissingAPIKEY", {Arg::String, Arg::String}, [](CallContext&) { return ok(); }},
      {"getLinuxAgentVersion", {}, [](CallContext& c) { return json(c.settings.agentVersion); }},
      {"getDefList", {Arg::String}, [](CallContext&) { return json::array(); }},
      {"getList", {Arg::Any}, [](CallContext&) { return json::array(); }},
      {"queryITMachine", {Arg::Any}, [](CallContext& c) { return machineSummary(c.store, c.identity.id); }},
      {"queryITValue", {Arg::Any}, [](CallContext&) { return json(nullptr); }},
      {"queryITValueHist", {Arg::Any}, [](CallContext&) { return json::array(); }},
      {"putCommand",
       {Arg::Any},
       [](CallContext& c) {
         c.update.checkin = boundedRecord("putCommand", c.data[0]);
         std::string now = utcNow();
         return json{
             {"ok", true}, {"machine_id", c.identity.id}, {"server_time", now}, {"commands", json::array()}};
       }},
      {"putMiniAudit",
       {Arg::Any},
       [](CallContext& c) {
         c.update.miniAudit = boundedRecord("putMiniAudit", c.data[0]);
         return ok();
       }},
      {"putAudit",
       {Arg::Integer, Arg::String},
       [](CallContext& c) {
         const std::string& text = c.data[1].get_ref<const std::string&>();
         if (nestedTooDeep(text))
           throw CallRefused("putAudit: the audit document is nested deeper than " +
                             std::to_string(kMaxNesting) + " levels");
         DocumentProbe probe;
         if (!json::sax_parse(text, &probe, json::input_format_t::json, false) || !probe.isObject)
           throw CallRefused("putAudit: the audit document is not a JSON object");
         c.update.auditSuccess = probe.success;
         c.update.audit = text;
         return json{{"ok", true}, {"bytes", text.size()}};
       }},
  };
  return methods;
}

const char* argName(Arg a) {
  switch (a) {
    case Arg::String:
      return "string";
    case Arg::Integer:
      return "integer";
    case Arg::Any:
      return "value";
  }
  return "?";
}

void checkArgs(const Method& m, const json& data) {
  bool fits = data.size() == m.args.size();
  for (std::size_t i = 0; fits && i < m.args.size(); ++i) {
    if (m.args[i] == Arg::String) fits = data[i].is_string();
    if (m.args[i] == Arg::Integer) fits = data[i].is_number_integer();
  }
  if (fits) return;
  std::string expected;
  for (Arg a : m.args) expected += (expected.empty() ? "" : ", ") + std::string(argName(a));
  throw CallRefused(std::string(m.name) + " expects the arguments (" + expected + ")");
}

std::string boundedField(const json& header, const char* name) {
  auto it = header.find(name);
  if (it == header.end() || !it->is_string()) return {};
  std::string s = it->get<std::string>();
  if (s.size() > kMaxIdentityField) s.resize(kMaxIdentityField);
  return s;
}

const std::string* stringMember(const json& j, const char* name) {
  auto it = j.find(name);
  return it != j.end() && it->is_string() ? &it->get_ref<const std::string&>() : nullptr;
}

}  // namespace

json exceptionReply(const std::string& message, const json* envelope) {
  json reply = {{"type", "exception"}, {"message", message}};
  if (envelope && envelope->is_object()) {
    for (const char* name : {"action", "method", "tid"}) {
      auto it = envelope->find(name);
      if (it != envelope->end()) reply[name] = *it;
    }
  }
  return reply;
}

Caller admitCaller(const std::string* header, const RpcSettings& settings) {
  Caller c;
  if (!header) {
    c.refusal = "Missing x-serviceapp header: the caller did not identify itself";
    return c;
  }
  json h = json::parse(*header, nullptr, false);
  if (!h.is_object()) {
    c.refusal = "Malformed x-serviceapp header: not a JSON object";
    return c;
  }
  c.identity = {boundedField(h, "id"), boundedField(h, "svc"), boundedField(h, "pcn"), boundedField(h, "av")};
  if (c.identity.id.empty()) {
    c.refusal = "Malformed x-serviceapp header: no machine identifier \"id\"";
    return c;
  }
  auto k = h.find("k");
  std::string key = k != h.end() && k->is_string() ? k->get<std::string>() : std::string();
  c.identity.hasKey = !key.empty();
  if (key.empty())
    c.kind = Caller::Kind::Keyless;
  else if (settings.keys.empty() || settings.keys.contains(key))
    c.kind = Caller::Kind::Keyed;
  else
    c.refusal = "API key refused: the key sent in x-serviceapp is not registered here";
  return c;
}

json refuseCaller(const Caller& caller, const std::string& reason, PlatformStore& store) {
  try {
    store.recordRefusal({0, "", caller.remoteAddr, caller.identity.id, reason});
  } catch (const std::exception&) {
    // The refusal is answered even when it cannot be logged.
  }
  return exceptionReply(reason);
}

namespace {

// A caller without a key: the missing-key notice alone, kept apart from the machines.
json answerKeyless(const json& envelope, const Caller& caller, PlatformStore& store) {
  const std::string* method = stringMember(envelope, "method");
  auto data = envelope.find("data");
  bool notice = stringMember(envelope, "action") && *stringMember(envelope, "action") == "ITAgentAPI" &&
                method && *method == "notifyMissingAPIKEY";
  if (!notice)
    return refuseCaller(caller, "API key missing: this server accepts registered keys only", store);
  if (data == envelope.end() || !data->is_array() || data->size() != 2 || !(*data)[0].is_string() ||
      !(*data)[1].is_string())
    return refuseCaller(caller, "notifyMissingAPIKEY expects the arguments (string, string)", store);
  store.recordKeyNotice({caller.identity, "", compact(*data), 0});
  return {{"type", "rpc"},
          {"action", "ITAgentAPI"},
          {"method", *method},
          {"tid", envelope.value("tid", json())},
          {"result", ok()}};
}

}  // namespace

json answerRpc(const std::string& body, const Caller& caller, PlatformStore& store,
               const RpcSettings& settings) {
  if (caller.kind == Caller::Kind::Refused) return refuseCaller(caller, caller.refusal, store);
  if (nestedTooDeep(body))
    return exceptionReply("Malformed request: nested deeper than " + std::to_string(kMaxNesting) + " levels");
  json envelope = json::parse(body, nullptr, false);
  if (envelope.is_discarded()) return exceptionReply("Malformed request: the body is not valid JSON");
  if (!envelope.is_object()) return exceptionReply("Malformed request: the body is not a JSON object");
  const std::string* action = stringMember(envelope, "action");
  const std::string* methodName = stringMember(envelope, "method");
  if (!action || !methodName)
    return exceptionReply("Malformed request: \"action\" and \"method\" must be strings", &envelope);
  if (caller.kind == Caller::Kind::Keyless) {
    try {
      json reply = answerKeyless(envelope, caller, store);
      for (const char* name : {"action", "method", "tid"})
        if (envelope.contains(name)) reply[name] = envelope[name];
      return reply;
    } catch (const std::exception& e) {
      return exceptionReply(std::string("Server error: ") + e.what(), &envelope);
    }
  }

  CallRecord call;
  call.api = action->size() > 3 && action->ends_with("API") ? action->substr(0, action->size() - 3) : *action;
  call.method = methodName->substr(0, kMaxIdentityField);
  call.machineId = caller.identity.id;
  auto data = envelope.find("data");
  call.args = data == envelope.end() ? "null" : compact(argsPreview(*data));

  try {
    MachineUpdate update;
    update.identity = caller.identity;
    std::string outcome = "ok";
    json result;
    try {
      if (stringMember(envelope, "type") == nullptr || *stringMember(envelope, "type") != "rpc")
        throw CallRefused("Malformed request: \"type\" must be \"rpc\"");
      if (*action != "ITAgentAPI")
        throw CallRefused("Unknown action " + *action + ": this server offers ITAgentAPI");
      const auto& methods = itAgentMethods();
      auto m = std::find_if(methods.begin(), methods.end(),
                            [&](const Method& x) { return x.name == *methodName; });
      if (m == methods.end()) throw CallRefused("Unknown method ITAgent." + call.method);
      if (data == envelope.end() || !data->is_array())
        throw CallRefused("Malformed request: \"data\" must be an array of arguments");
      checkArgs(*m, *data);
      CallContext ctx{*data, update.identity, store, settings, update};
      result = m->answer(ctx);
    } catch (const CallRefused& e) {
      outcome = e.what();
    }
    call.outcome = outcome;
    store.recordCall(call, outcome == "ok" ? &update : nullptr);
    if (outcome != "ok") return exceptionReply(outcome, &envelope);
    return {{"type", "rpc"},
            {"action", *action},
            {"method", *methodName},
            {"tid", envelope.value("tid", json())},
            {"result", result}};
  } catch (const std::exception& e) {
    return exceptionReply(std::string("Server error: ") + e.what(), &envelope);
  }
}

}  // namespace kn::platform
