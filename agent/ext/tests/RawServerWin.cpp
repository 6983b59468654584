// stub
#include "RawServer.h"
namespace kn::test {
struct RawServer::Impl {};
RawServer::RawServer(std::string, int) {}
RawServer::~RawServer() = default;
int RawServer::port() const { return 0; }
std::string RawServer::raw() const { return ""; }
}  // namespace kn::test
