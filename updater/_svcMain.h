// The updater's service module: named by its configuration, it creates the runner on start, lets
// it start one update thread per watched application, waits for the stop request, then tells the
// runner to stop. Its log lines go to the main log, prefixed with its class name and identity.
#pragma once

#include <memory>
#include <string>

#include "KNServiceHost.h"
#include "UpdateRunner.h"
#include "globals.h"

namespace kn {

class DIdevozEriDodariz : public ServiceModule {
 public:
  // Takes the service name from `cf`. Throws EServiceHostError when it is not a valid name.
  explicit DIdevozEriDodariz(const TUpdaterConfig& cf);
  // Frees the runner, which waits for every update thread to end.
  ~DIdevozEriDodariz() override;

  // A stop takes about two seconds; the limit leaves room for one slow systemctl run (30 s) that
  // starts a watched service again.
  ServiceRegistration registration() override { return {name_, name_, 5000, 45000}; }
  void beforeInstall() override;
  void beforeUninstall() override;
  bool start() override;
  void execute(ServiceContext& ctx) override;

 private:
  void setServiceName();
  void log(const std::string& msg) const;

  const TUpdaterConfig& cf_;
  std::string name_;
  std::unique_ptr<TUpdateRunner> ux_;
};

}  // namespace kn
