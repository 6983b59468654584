// The client side of the platform's "integration" service: API-key checks, entity names,
// database-synchronisation lists, definitions, queries, files and errors, and commands with their
// status. Each operation packs its arguments, in order, into the JSON argument array and calls the
// remote method of the same name; its "Async" twin takes a call id and a receiver first and
// delivers the outcome on the main thread (see TExtService). No operation carries a file.
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "ext.service.h"

namespace kn {

class TExt_integration : public TExtService {
 public:
  // A service on a copy of `achan`, or of the global instance when it is null.
  explicit TExt_integration(const TExtChannel* achan = nullptr);

  using json = nlohmann::json;
  using Receiver = std::shared_ptr<IExtReceiver>;
  using str = const std::string&;

  json getDBSyncDocList(const json& params);
  json getDBSyncList(const json& params);
  json getDBSyncQueryList(const json& params);
  json getDBSyncQueryDetail(int64_t id);
  json checkAPIKey(str apikey);
  json getEntidadeName(str apikey);
  json dbsyncPutDefinition(str queryId, const json& params);
  json dbsyncPutFile(str queryId, str queryName, str tipoQuery, str filename, str filedt, str post,
                     str files);
  json dbsyncPutQuery(str queryId, str queryName, str tipoQuery, const json& payload);
  json dbsyncQueryError(str queryId, str queryName, str tipoQuery, str errormessage);
  json getCommands();
  json putCommandStatus(int64_t id, int64_t is_ok, str errorMessage, str resultado);

  void getDBSyncDocListAsync(str callid, Receiver receiver, const json& params);
  void getDBSyncListAsync(str callid, Receiver receiver, const json& params);
  void getDBSyncQueryListAsync(str callid, Receiver receiver, const json& params);
  void getDBSyncQueryDetailAsync(str callid, Receiver receiver, int64_t id);
  void checkAPIKeyAsync(str callid, Receiver receiver, str apikey);
  void getEntidadeNameAsync(str callid, Receiver receiver, str apikey);
  void dbsyncPutDefinitionAsync(str callid, Receiver receiver, str queryId, const json& params);
  void dbsyncPutFileAsync(str callid, Receiver receiver, str queryId, str queryName, str tipoQuery,
                          str filename, str filedt, str post, str files);
  void dbsyncPutQueryAsync(str callid, Receiver receiver, str queryId, str queryName, str tipoQuery,
                           const json& payload);
  void dbsyncQueryErrorAsync(str callid, Receiver receiver, str queryId, str queryName, str tipoQuery,
                             str errormessage);
  void getCommandsAsync(str callid, Receiver receiver);
  void putCommandStatusAsync(str callid, Receiver receiver, int64_t id, int64_t is_ok, str errorMessage,
                             str resultado);
};

}  // namespace kn
