#include "ext.ITAgent.h"

namespace kn {

using json = nlohmann::json;

TExt_ITAgent::TExt_ITAgent(const TExtChannel* achan) : TExtService("ITAgent", achan) {}

json TExt_ITAgent::notifyMissingAPIKEY(const std::string& app, const std::string& pcinfo) {
  return _invoke("notifyMissingAPIKEY", json::array({app, pcinfo}));
}
json TExt_ITAgent::getLinuxAgentVersion() { return _invoke("getLinuxAgentVersion", json::array()); }
json TExt_ITAgent::getDefList(const std::string& params) {
  return _invoke("getDefList", json::array({params}));
}
json TExt_ITAgent::getList(const json& params) { return _invoke("getList", json::array({params})); }
json TExt_ITAgent::queryITMachine(const json& params) {
  return _invoke("queryITMachine", json::array({params}));
}
json TExt_ITAgent::queryITValue(const json& params) { return _invoke("queryITValue", json::array({params})); }
json TExt_ITAgent::queryITValueHist(const json& params) {
  return _invoke("queryITValueHist", json::array({params}));
}
json TExt_ITAgent::putCommand(const json& data) { return _invoke("putCommand", json::array({data})); }
json TExt_ITAgent::putMiniAudit(const json& audit) { return _invoke("putMiniAudit", json::array({audit})); }
json TExt_ITAgent::putAudit(int64_t ITMachine_id, std::string payload) {
  json data = json::array();
  data.push_back(ITMachine_id);
  data.push_back(std::move(payload));
  return _invoke("putAudit", data);
}

void TExt_ITAgent::notifyMissingAPIKEYAsync(const std::string& callid, Receiver receiver,
                                            const std::string& app, const std::string& pcinfo) {
  _invokeAsync("notifyMissingAPIKEY", json::array({app, pcinfo}), callid, std::move(receiver));
}
void TExt_ITAgent::getLinuxAgentVersionAsync(const std::string& callid, Receiver receiver) {
  _invokeAsync("getLinuxAgentVersion", json::array(), callid, std::move(receiver));
}
void TExt_ITAgent::getDefListAsync(const std::string& callid, Receiver receiver, const std::string& params) {
  _invokeAsync("getDefList", json::array({params}), callid, std::move(receiver));
}
void TExt_ITAgent::getListAsync(const std::string& callid, Receiver receiver, const json& params) {
  _invokeAsync("getList", json::array({params}), callid, std::move(receiver));
}
void TExt_ITAgent::queryITMachineAsync(const std::string& callid, Receiver receiver, const json& params) {
  _invokeAsync("queryITMachine", json::array({params}), callid, std::move(receiver));
}
void TExt_ITAgent::queryITValueAsync(const std::string& callid, Receiver receiver, const json& params) {
  _invokeAsync("queryITValue", json::array({params}), callid, std::move(receiver));
}
void TExt_ITAgent::queryITValueHistAsync(const std::string& callid, Receiver receiver, const json& params) {
  _invokeAsync("queryITValueHist", json::array({params}), callid, std::move(receiver));
}
void TExt_ITAgent::putCommandAsync(const std::string& callid, Receiver receiver, const json& data) {
  _invokeAsync("putCommand", json::array({data}), callid, std::move(receiver));
}
void TExt_ITAgent::putMiniAuditAsync(const std::string& callid, Receiver receiver, const json& audit) {
  _invokeAsync("putMiniAudit", json::array({audit}), callid, std::move(receiver));
}
void TExt_ITAgent::putAuditAsync(const std::string& callid, Receiver receiver, int64_t ITMachine_id,
                                 std::string payload) {
  json data = json::array();
  data.push_back(ITMachine_id);
  data.push_back(std::move(payload));
  _invokeAsync("putAudit", std::move(data), callid, std::move(receiver));
}

}  // namespace kn
