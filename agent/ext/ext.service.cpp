#include "ext.service.h"

#include <filesystem>
#include <thread>

#include "ext.dispatcher.h"
#include "knLOG2.h"
#include "KNPath.h"

namespace kn {

std::atomic<int> TExtServiceThread::running_{0};

TExtService::TExtService(std::string servicename, const TExtChannel* achan)
    : _servicename(std::move(servicename)) {
  if (!achan) achan = TExtChannel::getGlobalInstance();
  if (!achan) throw Exception("Global EXTChannel is not assigned");
  chan = achan->createClone();
}

TExtService::~TExtService() = default;

nlohmann::json TExtService::_invoke(const std::string& methodName, const nlohmann::json& params) {
  return chan->invoke(_servicename, methodName, params);
}

nlohmann::json TExtService::_fileUpload(const std::string& methodname, const nlohmann::json& params,
                                        const std::string& filename) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(fsPath(filename), ec))
    throw Exception("File Not Found [" + filename + "] (in TExtService " + _servicename + ")");
  return chan->invokeFileUpload(_servicename, methodname, params, filename);
}

void TExtService::_invokeAsync(const std::string& methodName, nlohmann::json params,
                               const std::string& callid, std::shared_ptr<IExtReceiver> receiver) {
  TExtServiceThread::start(*chan, _servicename, methodName, std::move(params), callid, std::move(receiver));
}

void TExtServiceThread::start(const TExtChannel& chan, std::string serviceName, std::string methodName,
                              nlohmann::json params, std::string callid,
                              std::shared_ptr<IExtReceiver> receiver) {
  std::unique_ptr<TExtServiceThread> call(new TExtServiceThread());
  call->chan = chan.createClone();
  call->serviceName = std::move(serviceName);
  call->methodName = std::move(methodName);
  call->params = std::move(params);
  call->callid = std::move(callid);
  call->receiver = std::move(receiver);
  ++running_;
  try {
    std::thread([call = std::move(call)]() mutable {
      call->Execute();
      call.reset();
      --running_;
    }).detach();
  } catch (...) {
    --running_;
    throw;
  }
}

void TExtServiceThread::Execute() {
  try {
    result = chan->invoke(serviceName, methodName, params);
    success = true;
  } catch (const std::exception& e) {
    errMessage = std::string(e.what()) + " (" + exceptionClassName(e) + ")";
  } catch (...) {
    errMessage = "unknown failure (unknown)";
  }
  if (!receiver) return;
  TExtDispatcher::instance().runOnMain([this] {
    try {
      receiver->asyncResponse(callid, success, errMessage, result);
    } catch (const std::exception& e) {
      logObj("TExtServiceThread", this,
             "receiver.asyncResponse error: " + exceptionClassName(e) + ":" + logSafe(e.what()));
    } catch (...) {
      logObj("TExtServiceThread", this, "receiver.asyncResponse error: unknown:");
    }
  });
}

}  // namespace kn
