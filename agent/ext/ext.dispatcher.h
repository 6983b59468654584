// "The application's main thread" of a Linux program: a queue that worker threads hand tasks to
// and that the program's main thread drains in its own loop.
//
// runOnMain() blocks its (worker) caller until the main thread has run the task, so a task may
// use the caller's stack. Tasks run one at a time, in the order they were handed over; a task that
// throws is logged to the main log and goes no further. A program that never drains never runs a
// task, and its workers wait: whoever starts asynchronous calls must keep draining.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace kn {

class TExtDispatcher {
 public:
  // The process's one dispatcher.
  static TExtDispatcher& instance();

  // Any thread: runs `task` on the draining thread and returns once it has run. Called on the
  // draining thread itself (from inside a task), it runs `task` at once.
  void runOnMain(const std::function<void()>& task);

  // The main thread: waits up to `wait` for a first task, then runs every task queued, one at a
  // time. Returns how many ran.
  size_t drain(std::chrono::milliseconds wait = std::chrono::milliseconds::zero());

 private:
  struct Pending {
    const std::function<void()>* task;
    bool done = false;
  };
  std::mutex lock_;
  std::condition_variable queued_;
  std::condition_variable finished_;
  std::deque<Pending*> queue_;
  std::thread::id drainer_;
};

}  // namespace kn
