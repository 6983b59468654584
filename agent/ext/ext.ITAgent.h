// The client side of the platform's "ITAgent" service: how an audit agent checks in, reports and
// asks for lists and values. Each operation packs its arguments, in order, into the JSON argument
// array and calls the remote method of the same name; its "Async" twin takes a call id and a
// receiver first and delivers the outcome on the main thread (see TExtService).
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "ext.service.h"

namespace kn {

class TExt_ITAgent : public TExtService {
 public:
  // A service on a copy of `achan`, or of the global instance when it is null.
  explicit TExt_ITAgent(const TExtChannel* achan = nullptr);

  using json = nlohmann::json;
  using Receiver = std::shared_ptr<IExtReceiver>;

  json notifyMissingAPIKEY(const std::string& app, const std::string& pcinfo);
  json getLinuxAgentVersion();
  json getDefList(const std::string& params);
  json getList(const json& params);
  json queryITMachine(const json& params);
  json queryITValue(const json& params);
  json queryITValueHist(const json& params);
  json putCommand(const json& data);
  json putMiniAudit(const json& audit);
  // `payload` is taken by value: a caller that moves its document in spares one copy of it.
  json putAudit(int64_t ITMachine_id, std::string payload);

  void notifyMissingAPIKEYAsync(const std::string& callid, Receiver receiver, const std::string& app,
                                const std::string& pcinfo);
  void getLinuxAgentVersionAsync(const std::string& callid, Receiver receiver);
  void getDefListAsync(const std::string& callid, Receiver receiver, const std::string& params);
  void getListAsync(const std::string& callid, Receiver receiver, const json& params);
  void queryITMachineAsync(const std::string& callid, Receiver receiver, const json& params);
  void queryITValueAsync(const std::string& callid, Receiver receiver, const json& params);
  void queryITValueHistAsync(const std::string& callid, Receiver receiver, const json& params);
  void putCommandAsync(const std::string& callid, Receiver receiver, const json& data);
  void putMiniAuditAsync(const std::string& callid, Receiver receiver, const json& audit);
  void putAuditAsync(const std::string& callid, Receiver receiver, int64_t ITMachine_id, std::string payload);
};

}  // namespace kn
