// Turns the configuration into running work: one TUpdaterThread per watched application, started
// together with their first checks 250 ms apart, asked to stop together. Created by the service host on
// start, used on its thread.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "UpdaterThread.h"
#include "globals.h"

namespace kn {

class TUpdateRunner {
 public:
  // Starts nothing. `cfg` must outlive the runner. With `debug` the runner's messages go to
  // standard output instead of its log file "TUpdateRunner".
  explicit TUpdateRunner(bool debug, const TUpdaterConfig& cfg = config(),
                         std::string folder = updaterFolder());
  // Frees every thread, each after it has ended.
  ~TUpdateRunner();

  // Creates one thread per watched application, then starts them, the first checks 250 ms apart
  // (scaled). An error while creating leaves execute, with the threads created so far kept but not
  // started.
  void execute();
  // Asks every thread to stop, then waits until all have ended, at most 10 seconds (scaled).
  void Terminate();

  void dbg(const std::string& s) const;
  const std::vector<std::pair<std::string, std::unique_ptr<TUpdaterThread>>>& threads() const { return tl_; }

 private:
  bool debug_;
  const TUpdaterConfig& cfg_;
  std::string folder_;
  std::vector<std::pair<std::string, std::unique_ptr<TUpdaterThread>>> tl_;
};

}  // namespace kn
