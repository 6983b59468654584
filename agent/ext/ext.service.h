// The base of every client-side remote service: a service ("api") name and a private channel.
//
// A service takes its own copy of a channel when it is created (the global instance when given
// none), so headers or cookies added to the source later never reach it. Its blocking calls run on
// the caller's thread; one service object must not be used by two threads at once.
//
// An asynchronous call runs on a thread of its own with a further channel copy made on the
// calling thread, so each travels with "tid" 1 and several may run at once. Its outcome is handed
// to an IExtReceiver on the application's main thread (TExtDispatcher), one delivery at a time, in
// completion order; the worker waits until its delivery has run. The service may be destroyed
// while its asynchronous calls are still running.
#pragma once

#include <atomic>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "ext.channel.h"

namespace kn {

// Receives the outcome of asynchronous calls, always on the application's main thread.
class IExtReceiver {
 public:
  virtual ~IExtReceiver() = default;
  // `callid` is the caller's token, handed back unchanged. On success `errMessage` is empty and
  // `result` holds the call's result; on failure `errMessage` is the failure's message followed by
  // " (" + its class name + ")" and `result` is empty.
  virtual void asyncResponse(const std::string& callid, bool success, const std::string& errMessage,
                             const std::optional<nlohmann::json>& result) = 0;
};

class TExtService {
 public:
  virtual ~TExtService();
  TExtService(const TExtService&) = delete;
  TExtService& operator=(const TExtService&) = delete;

  const std::string& serviceName() const { return _servicename; }
  // The service's own channel (for headers or inspection by its owner).
  TExtChannel& channel() { return *chan; }

 protected:
  // Copies `achan`, or the global instance when it is null ("Global EXTChannel is not assigned"
  // when there is none either). Subclasses pass their service name.
  TExtService(std::string servicename, const TExtChannel* achan);

  // Blocking call of `methodName` with the argument array `params`; the channel's errors pass through.
  nlohmann::json _invoke(const std::string& methodName, const nlohmann::json& params);
  // Blocking call carrying the file at `filename`; fails before sending anything when it is missing.
  nlohmann::json _fileUpload(const std::string& methodname, const nlohmann::json& params,
                             const std::string& filename);
  // Returns at once; the outcome goes to `receiver` on the main thread.
  void _invokeAsync(const std::string& methodName, nlohmann::json params, const std::string& callid,
                    std::shared_ptr<IExtReceiver> receiver);

 private:
  std::string _servicename;
  std::unique_ptr<TExtChannel> chan;
};

// One asynchronous call on a thread of its own, which frees itself when the delivery has run.
class TExtServiceThread {
 public:
  // Clones `chan` on the calling thread, then starts the call.
  static void start(const TExtChannel& chan, std::string serviceName, std::string methodName,
                    nlohmann::json params, std::string callid, std::shared_ptr<IExtReceiver> receiver);
  // How many asynchronous calls have not yet ended.
  static int running() { return running_.load(); }

 private:
  TExtServiceThread() = default;
  void Execute();

  std::unique_ptr<TExtChannel> chan;
  std::string serviceName;
  std::string methodName;
  std::string callid;
  std::shared_ptr<IExtReceiver> receiver;
  nlohmann::json params;
  std::optional<nlohmann::json> result;
  bool success = false;
  std::string errMessage;

  static std::atomic<int> running_;
};

}  // namespace kn
