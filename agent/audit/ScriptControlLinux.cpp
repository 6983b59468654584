// The script control on Linux: Lua 5.4 embedded in the process. The time limit's timer and the
// message shapes every control shares are in ScriptControl.cpp.
//
// Each control owns one interpreter with the standard libraries, created with the control and closed
// at release. The text is loaded as one text chunk named "script", so Lua's own messages and the
// error record count its lines from 1. The time limit costs the script nothing while it runs: a timer
// thread waits beside it and, once the limit has passed, sets a hook (lua_sethook only sets fields and
// may be called from another thread) that raises an error at every instruction, so a script cannot
// catch the overrun with pcall and carry on. os.exit would end the whole agent, so inside a script it fails
// with a script error instead, as any other call the host does not provide.
//
// The machine's files are outside input: io.open for reading opens without blocking and hands out
// regular files only (a FIFO would wait for a writer for ever, a device may never end); anything else
// fails as a missing file does, with nil and a message. io.mtime(path) gives a regular file's
// modification time in seconds since 1970, or nil; Lua's libraries have no other way to it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <lua.hpp>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "ScriptControl.h"

namespace kn {
namespace {

constexpr const char* kChunkName = "=script";
constexpr const char* kChunkPrefix = "script:";

struct LuaClose {
  void operator()(lua_State* L) const { lua_close(L); }
};

class LuaScriptControl;
LuaScriptControl* controlOf(lua_State* L) { return *static_cast<LuaScriptControl**>(lua_getextraspace(L)); }

// "script:12: text" -> 12 and "text"; anything else is kept whole without a line.
std::optional<int> splitPosition(std::string& message) {
  if (message.rfind(kChunkPrefix, 0) != 0) return std::nullopt;
  const char* first = message.data() + std::strlen(kChunkPrefix);
  const char* last = message.data() + message.size();
  int line = 0;
  auto [end, ec] = std::from_chars(first, last, line);
  if (ec != std::errc() || end == last || *end != ':') return std::nullopt;
  ++end;
  if (end != last && *end == ' ') ++end;
  message.erase(0, static_cast<size_t>(end - message.data()));
  return line;
}

class LuaScriptControl final : public ScriptControl {
 public:
  explicit LuaScriptControl(std::chrono::steady_clock::duration timeoutUnit)
      : unit_(timeoutUnit), state_(luaL_newstate()) {
    if (!state_) throw EScriptControl("Cannot create the Lua interpreter: not enough memory");
    lua_State* L = state_.get();
    *static_cast<LuaScriptControl**>(lua_getextraspace(L)) = this;
    luaL_openlibs(L);
    lua_getglobal(L, "os");
    lua_pushcfunction(L, &LuaScriptControl::noExit);
    lua_setfield(L, -2, "exit");
    lua_pop(L, 1);
    lua_getglobal(L, "io");
    lua_getfield(L, -1, "open");
    lua_pushcclosure(L, &LuaScriptControl::openRegular, 1);  // the standard open, for writing
    lua_setfield(L, -2, "open");
    lua_pushcfunction(L, &LuaScriptControl::modificationTime);
    lua_setfield(L, -2, "mtime");
    lua_pop(L, 1);
  }

  void setAllowUI(bool allow) override { allowUI_ = allow; }
  void setTimeout(long timeout) override {
    timeout_ = timeout;
    limit_ = timeout * unit_;
  }
  void setLanguage(const std::string& language) override { checkScriptLanguage(language, "lua"); }
  void setErrorHandler(std::function<void()> onError) override { onError_ = std::move(onError); }

  void addCode(const std::string& code) override {
    if (!state_) throw EScriptControl(kScriptReleasedMessage);
    lua_State* L = state_.get();
    errorLine_.reset();
    overran_ = false;
    lua_pushcfunction(L, &LuaScriptControl::messageHandler);
    int status = luaL_loadbufferx(L, code.data(), code.size(), kChunkName, "t");
    if (status == LUA_OK) {
      ScriptDeadline deadline(limit_, [this, L] {
        overran_ = true;
        lua_sethook(L, &LuaScriptControl::overrunHook, LUA_MASKCOUNT, 1);
      });
      status = lua_pcall(L, 0, 0, -2);
    }
    lua_sethook(L, nullptr, 0, 0);
    if (status == LUA_OK) {  // a limit that passed after the last instruction ended nothing
      lua_pop(L, 1);
      return;
    }
    const char* raw = lua_tostring(L, -1);
    std::string description = raw ? raw : "unknown script error";
    lua_pop(L, 2);
    std::optional<int> positionLine = splitPosition(description);
    if (!errorLine_) errorLine_ = positionLine;
    if (overran_) description = scriptOverrunMessage(timeout_);
    if (onError_) onError_();
    throw EScriptControl(description);
  }

  std::optional<int> errorLine() override { return errorLine_; }

  void release() override { state_.reset(); }

 private:
  // Called by Lua with the error object of a run-time error; records the line of the script where
  // it was raised (the innermost frame of the chunk itself, past any library function).
  static int messageHandler(lua_State* L) {
    LuaScriptControl* self = controlOf(L);
    lua_Debug ar;
    for (int level = 1; lua_getstack(L, level, &ar); ++level) {
      if (lua_getinfo(L, "Sl", &ar) && ar.currentline > 0 && std::strcmp(ar.source, kChunkName) == 0) {
        self->errorLine_ = ar.currentline;
        break;
      }
    }
    if (lua_type(L, 1) != LUA_TSTRING && lua_type(L, 1) != LUA_TNUMBER)
      lua_pushfstring(L, "(error object is a %s value)", luaL_typename(L, 1));
    else
      lua_pushvalue(L, 1);
    return 1;
  }

  static void overrunHook(lua_State* L, lua_Debug*) {
    lua_pushliteral(L, "script time limit exceeded");
    lua_error(L);
  }

  // io.open: reading modes ("r", "rb") open regular files only, without ever blocking; every other
  // mode goes to Lua's own open (the first upvalue).
  static int openRegular(lua_State* L) {
    const char* name = luaL_checkstring(L, 1);
    const char* mode = luaL_optstring(L, 2, "r");
    if (std::strcmp(mode, "r") != 0 && std::strcmp(mode, "rb") != 0) {
      lua_pushvalue(L, lua_upvalueindex(1));
      lua_insert(L, 1);
      lua_call(L, lua_gettop(L) - 1, LUA_MULTRET);
      return lua_gettop(L);
    }
    const int fd = ::open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return luaL_fileresult(L, 0, name);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      lua_pushnil(L);
      lua_pushfstring(L, "%s: not a regular file", name);
      lua_pushinteger(L, EINVAL);
      return 3;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    auto* stream = static_cast<luaL_Stream*>(lua_newuserdatauv(L, sizeof(luaL_Stream), 0));
    stream->closef = nullptr;  // an unfinished handle is never closed by the collector
    luaL_setmetatable(L, LUA_FILEHANDLE);
    stream->f = ::fdopen(fd, "rb");
    if (!stream->f) {
      const int error = errno;
      ::close(fd);
      errno = error;
      return luaL_fileresult(L, 0, name);
    }
    stream->closef = &LuaScriptControl::closeStream;
    return 1;
  }

  static int closeStream(lua_State* L) {
    auto* stream = static_cast<luaL_Stream*>(luaL_checkudata(L, 1, LUA_FILEHANDLE));
    const int result = std::fclose(stream->f);
    return luaL_fileresult(L, result == 0, nullptr);
  }

  static int modificationTime(lua_State* L) {
    const char* name = luaL_checkstring(L, 1);
    struct stat st;
    if (::stat(name, &st) != 0 || !S_ISREG(st.st_mode)) {
      lua_pushnil(L);
      return 1;
    }
    lua_pushinteger(L, static_cast<lua_Integer>(st.st_mtime));
    return 1;
  }

  static int noExit(lua_State* L) {
    return luaL_error(L, "os.exit is not available to scripts of the agent");
  }

  std::chrono::steady_clock::duration unit_;
  std::unique_ptr<lua_State, LuaClose> state_;
  std::function<void()> onError_;
  std::optional<int> errorLine_;
  long timeout_ = 0;
  std::chrono::steady_clock::duration limit_{};
  std::atomic<bool> overran_ = false;  // set by the timer thread
  bool allowUI_ = false;
};

}  // namespace

std::unique_ptr<ScriptControl> createScriptControl(std::chrono::steady_clock::duration timeoutUnit) {
  return std::make_unique<LuaScriptControl>(timeoutUnit);
}

std::string scriptBytesToUtf8(std::string_view bytes) { return std::string(bytes); }

}  // namespace kn
