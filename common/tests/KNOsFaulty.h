// Test helper: the real OS seam with chosen calls failing, for "disk full" and "write refused"
// against real code (the hive store, the unpack) without switches built into the code itself.
//
//   kn::test::FaultyOs sys;
//   sys.fail(FaultyOs::Op::WriteFile, "HKLM.reg", kn::kOSErrors.diskFull);      // every write of it
//   sys.fail(FaultyOs::Op::Append, "/staging/", kn::kOSErrors.diskFull, 3);     // after 3 good ones
//
// A call fails when a rule's operation matches and its text occurs in the path (every path for
// an empty text), once `after` matching calls have gone through. Everything else goes to os().
// A test that must act at a chosen call (request a stop, end the process) sets `before`, which
// sees every call first and may throw.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "KNOs.h"

namespace kn::test {

class FaultyOs : public Os {
 public:
  // (Create, not CreateFile: windows.h makes that name a macro.)
  enum class Op { ReadFile, ListFolder, WriteFile, Create, Append, Sync, Rename, Remove, MakeFolder, LockFile };

  // Called with each operation and its path before anything else happens to it.
  std::function<void(Op, const std::string&)> before;

  void fail(Op op, std::string pathPart, int error, int after = 0) {
    std::lock_guard lock(mu_);
    rules_.push_back({op, std::move(pathPart), error, after});
  }
  void clear() {
    std::lock_guard lock(mu_);
    rules_.clear();
  }
  // How many calls failed on purpose so far.
  int failures() const { return failures_.load(); }

  std::string readFile(const std::string& path, std::size_t maxBytes) override {
    check(Op::ReadFile, path, "Cannot open file");
    return os().readFile(path, maxBytes);
  }
  std::unique_ptr<InputFile> openFile(const std::string& path) override {
    check(Op::ReadFile, path, "Cannot open file");
    return os().openFile(path);
  }
  std::vector<FolderEntry> listFolder(const std::string& path) override {
    check(Op::ListFolder, path, "Cannot list folder");
    return os().listFolder(path);
  }
  void writeFile(const std::string& path, std::span<const std::string_view> pieces,
                 const WriteOptions& options) override {
    check(Op::WriteFile, path, "Cannot write file");
    os().writeFile(path, pieces, options);
  }
  std::unique_ptr<OutputFile> createFile(const std::string& path, unsigned mode) override {
    check(Op::Create, path, "Cannot create file");
    return std::make_unique<File>(*this, path, os().createFile(path, mode));
  }
  void renamePath(const std::string& from, const std::string& to) override {
    check(Op::Rename, from, "Cannot rename \"" + from + "\" to \"" + to + "\"", false);
    os().renamePath(from, to);
  }
  bool removePath(const std::string& path) override {
    check(Op::Remove, path, "Cannot remove");
    return os().removePath(path);
  }
  void makeFolder(const std::string& path, unsigned mode) override {
    check(Op::MakeFolder, path, "Cannot create folder");
    os().makeFolder(path, mode);
  }
  FileLock lockFile(const std::string& path, LockWait wait) override {
    check(Op::LockFile, path, "Cannot lock file");
    return os().lockFile(path, wait);
  }
  ProgramResult runProgram(const ProgramRun& run) override { return os().runProgram(run); }
  std::string executablePath() override { return os().executablePath(); }
  void randomBytes(std::span<std::uint8_t> out) override { os().randomBytes(out); }
  std::string errorText(int code) override { return os().errorText(code); }

 private:
  struct Rule {
    Op op;
    std::string pathPart;
    int error;
    int after;
  };

  class File final : public OutputFile {
   public:
    File(FaultyOs& owner, std::string path, std::unique_ptr<OutputFile> real)
        : owner_(owner), path_(std::move(path)), real_(std::move(real)) {}
    void append(std::string_view data) override {
      owner_.check(Op::Append, path_, "Cannot write file");
      real_->append(data);
    }
    void sync() override {
      owner_.check(Op::Sync, path_, "Cannot write file");
      real_->sync();
    }
    void close() override { real_->close(); }

   private:
    FaultyOs& owner_;
    std::string path_;
    std::unique_ptr<OutputFile> real_;
  };

  void check(Op op, const std::string& path, const std::string& what, bool quotePath = true) {
    if (before) before(op, path);
    int error = 0;
    {
      std::lock_guard lock(mu_);
      for (Rule& r : rules_) {
        if (r.op != op || path.find(r.pathPart) == std::string::npos) continue;
        if (r.after > 0) {
          --r.after;
          continue;
        }
        error = r.error;
        break;
      }
    }
    if (!error) return;
    ++failures_;
    throwOSError(quotePath ? what + " \"" + path + "\"" : what, error);
  }

  std::mutex mu_;
  std::vector<Rule> rules_;
  std::atomic<int> failures_{0};
};

}  // namespace kn::test
