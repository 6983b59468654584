#include "ext.dispatcher.h"

#include "KNException.h"
#include "ext.channel.h"
#include "knLOG2.h"

namespace kn {

TExtDispatcher& TExtDispatcher::instance() {
  static TExtDispatcher d;
  return d;
}

void TExtDispatcher::runOnMain(const std::function<void()>& task) {
  std::unique_lock guard(lock_);
  if (drainer_ == std::this_thread::get_id()) {
    guard.unlock();
    task();
    return;
  }
  Pending p{&task};
  queue_.push_back(&p);
  queued_.notify_one();
  finished_.wait(guard, [&p] { return p.done; });
}

size_t TExtDispatcher::drain(std::chrono::milliseconds wait) {
  std::unique_lock guard(lock_);
  if (wait > wait.zero()) queued_.wait_for(guard, wait, [this] { return !queue_.empty(); });
  size_t ran = 0;
  while (!queue_.empty()) {
    Pending* p = queue_.front();
    queue_.pop_front();
    auto previous = drainer_;
    drainer_ = std::this_thread::get_id();
    guard.unlock();
    try {
      (*p->task)();
    } catch (const std::exception& e) {
      logMsg("TExtDispatcher: task failed: " + exceptionClassName(e) + ":" + logSafeMessage(e));
    } catch (...) {
      logMsg("TExtDispatcher: task failed with an unknown exception");
    }
    guard.lock();
    drainer_ = previous;
    p->done = true;
    ++ran;
    finished_.notify_all();
  }
  return ran;
}

}  // namespace kn
