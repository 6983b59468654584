// The log's files on Linux: modes and group.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "KNLib.h"
#include "KNTestTempDir.h"
#include "knLOG2.h"
#include "knLOG2TestFixture.h"

namespace kn {
namespace {

using test::readBytes;
using test::TempDir;
using test::writeBytes;

using KnLog2LinuxTest = test::KnLog2Test;

// Modes, group and owner of a path.
struct stat statOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st;
}

// The group the logs belong to: "adm" for a process running as root where it exists, otherwise
// the group a new file gets anyway.
gid_t expectedGroup() {
  struct group* adm = ::getgrnam("adm");
  return ::geteuid() == 0 && adm ? adm->gr_gid : ::getegid();
}

TEST_F(KnLog2LinuxTest, LogsAreNotReadableByOtherUsers) {
  mode_t oldMask = ::umask(077);  // the modes are meant, not left to the umask
  initLogAt(dir_.path(), "auditagent");
  logTo("TITAuditMain", "GPO APIKEY? secret");
  ::umask(oldMask);
  for (const std::string& file : {mainLogFile(), namedLogFile("TITAuditMain")}) {
    EXPECT_EQ(statOf(file).st_mode & 07777, 0640u) << file;
    EXPECT_EQ(statOf(file).st_gid, expectedGroup()) << file;
  }
  EXPECT_EQ(statOf(logFolder()).st_mode & 07777, 0750u);
  EXPECT_EQ(statOf(logFolder()).st_gid, expectedGroup());

  // Left looser by an older version: tightened when opened, never loosened.
  resetLog();
  ASSERT_EQ(::chmod(logs("").c_str(), 0777), 0);
  ASSERT_EQ(::chmod(logs("auditagent.vlog").c_str(), 0666), 0);
  std::string named = logs("auditagent.TITAuditMain." + today() + ".vlog");
  ASSERT_EQ(::chmod(named.c_str(), 0604), 0);
  std::string narrow = logs("auditagent.sess." + today() + ".vlog");
  writeBytes(narrow, "");
  ASSERT_EQ(::chmod(narrow.c_str(), 0600), 0);
  initLogAt(dir_.path(), "auditagent");
  EXPECT_EQ(statOf(logFolder()).st_mode & 07777, 0750u);
  logMsg("main");
  logTo("TITAuditMain", "named");
  logTo("sess", "narrow");
  EXPECT_EQ(statOf(mainLogFile()).st_mode & 07777, 0640u);
  EXPECT_EQ(statOf(named).st_mode & 07777, 0600u);  // 0604 less the bits 0640 does not allow
  EXPECT_EQ(statOf(narrow).st_mode & 07777, 0600u);
  EXPECT_EQ(readBytes(narrow), "narrow\r\n");
}

}  // namespace
}  // namespace kn
