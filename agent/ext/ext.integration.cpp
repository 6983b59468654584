#include "ext.integration.h"

namespace kn {

using json = nlohmann::json;
using str = const std::string&;

namespace {

// The argument array: strings as JSON strings, integers as JSON integers, JSON values as themselves.
template <typename... Args>
json pack(const Args&... args) {
  json a = json::array();
  (a.push_back(json(args)), ...);
  return a;
}

}  // namespace

TExt_integration::TExt_integration(const TExtChannel* achan) : TExtService("integration", achan) {}

json TExt_integration::getDBSyncDocList(const json& params) {
  return _invoke("getDBSyncDocList", pack(params));
}
json TExt_integration::getDBSyncList(const json& params) { return _invoke("getDBSyncList", pack(params)); }
json TExt_integration::getDBSyncQueryList(const json& params) {
  return _invoke("getDBSyncQueryList", pack(params));
}
json TExt_integration::getDBSyncQueryDetail(int64_t id) { return _invoke("getDBSyncQueryDetail", pack(id)); }
json TExt_integration::checkAPIKey(str apikey) { return _invoke("checkAPIKey", pack(apikey)); }
json TExt_integration::getEntidadeName(str apikey) { return _invoke("getEntidadeName", pack(apikey)); }
json TExt_integration::dbsyncPutDefinition(str queryId, const json& params) {
  return _invoke("dbsyncPutDefinition", pack(queryId, params));
}
json TExt_integration::dbsyncPutFile(str queryId, str queryName, str tipoQuery, str filename, str filedt,
                                     str post, str files) {
  return _invoke("dbsyncPutFile", pack(queryId, queryName, tipoQuery, filename, filedt, post, files));
}
json TExt_integration::dbsyncPutQuery(str queryId, str queryName, str tipoQuery, const json& payload) {
  return _invoke("dbsyncPutQuery", pack(queryId, queryName, tipoQuery, payload));
}
json TExt_integration::dbsyncQueryError(str queryId, str queryName, str tipoQuery, str errormessage) {
  return _invoke("dbsyncQueryError", pack(queryId, queryName, tipoQuery, errormessage));
}
json TExt_integration::getCommands() { return _invoke("getCommands", json::array()); }
json TExt_integration::putCommandStatus(int64_t id, int64_t is_ok, str errorMessage, str resultado) {
  return _invoke("putCommandStatus", pack(id, is_ok, errorMessage, resultado));
}

void TExt_integration::getDBSyncDocListAsync(str callid, Receiver receiver, const json& params) {
  _invokeAsync("getDBSyncDocList", pack(params), callid, std::move(receiver));
}
void TExt_integration::getDBSyncListAsync(str callid, Receiver receiver, const json& params) {
  _invokeAsync("getDBSyncList", pack(params), callid, std::move(receiver));
}
void TExt_integration::getDBSyncQueryListAsync(str callid, Receiver receiver, const json& params) {
  _invokeAsync("getDBSyncQueryList", pack(params), callid, std::move(receiver));
}
void TExt_integration::getDBSyncQueryDetailAsync(str callid, Receiver receiver, int64_t id) {
  _invokeAsync("getDBSyncQueryDetail", pack(id), callid, std::move(receiver));
}
void TExt_integration::checkAPIKeyAsync(str callid, Receiver receiver, str apikey) {
  _invokeAsync("checkAPIKey", pack(apikey), callid, std::move(receiver));
}
void TExt_integration::getEntidadeNameAsync(str callid, Receiver receiver, str apikey) {
  _invokeAsync("getEntidadeName", pack(apikey), callid, std::move(receiver));
}
void TExt_integration::dbsyncPutDefinitionAsync(str callid, Receiver receiver, str queryId,
                                                const json& params) {
  _invokeAsync("dbsyncPutDefinition", pack(queryId, params), callid, std::move(receiver));
}
void TExt_integration::dbsyncPutFileAsync(str callid, Receiver receiver, str queryId, str queryName,
                                          str tipoQuery, str filename, str filedt, str post, str files) {
  _invokeAsync("dbsyncPutFile", pack(queryId, queryName, tipoQuery, filename, filedt, post, files), callid,
               std::move(receiver));
}
void TExt_integration::dbsyncPutQueryAsync(str callid, Receiver receiver, str queryId, str queryName,
                                           str tipoQuery, const json& payload) {
  _invokeAsync("dbsyncPutQuery", pack(queryId, queryName, tipoQuery, payload), callid, std::move(receiver));
}
void TExt_integration::dbsyncQueryErrorAsync(str callid, Receiver receiver, str queryId, str queryName,
                                             str tipoQuery, str errormessage) {
  _invokeAsync("dbsyncQueryError", pack(queryId, queryName, tipoQuery, errormessage), callid,
               std::move(receiver));
}
void TExt_integration::getCommandsAsync(str callid, Receiver receiver) {
  _invokeAsync("getCommands", json::array(), callid, std::move(receiver));
}
void TExt_integration::putCommandStatusAsync(str callid, Receiver receiver, int64_t id, int64_t is_ok,
                                             str errorMessage, str resultado) {
  _invokeAsync("putCommandStatus", pack(id, is_ok, errorMessage, resultado), callid, std::move(receiver));
}

}  // namespace kn
