// The script control on Windows: the system's own MSScriptControl.ScriptControl through COM, driven
// exactly as the host asks (AllowUI, Timeout, Language, the error event, one AddCode call, the error
// record). The message shapes every control shares are in ScriptControl.cpp.
//
// Binding: late, through the control's IDispatch, every member looked up by name (mingw has no header
// for the control, and names do not depend on the order of its vtable). The text crosses the seam once:
// UTF-8 inside the agent, one BSTR for AddCode.
//
// The error event: a sink of ours for the control's source interface DScriptControlSource, joined to
// its connection point before the text runs; the control calls its Error member (the OnError event) on
// this thread from inside AddCode. Where the control cannot join a sink (Wine's control answers
// Advise with E_NOTIMPL) the event never comes, so after a failed AddCode the control calls the error
// handler itself: the handler runs exactly once per failure, before addCode throws, either way.
//
// The description of a failure: the one the control hands back with the failed call (EXCEPINFO, from
// its error information), else the Description of its Error record, else the record's Source with the
// system's text of the failure code (Wine's control describes neither syntax errors nor a missing
// object), else that text alone. Error.Line is read only when the host asks, after the failure; a line
// of 0 is no record.
//
// Apartment: the control is apartment-threaded, so the thread that creates and runs it must have
// entered a single-threaded apartment (CoInitializeEx with COINIT_APARTMENTTHREADED) before; the
// audit child does that on its main thread before the audit, the tests on theirs. The control never
// initialises COM itself (the thread's apartment belongs to whoever made the thread): on a thread
// without COM, or in the multithreaded apartment, creation fails with an EScriptControl saying so.
//
// Timeout: the host gives the agent's unit (1800 meaning 30 minutes); the real control counts
// milliseconds and, with AllowUI set as the host asks, answers an elapsed timeout with a modal dialog
// asking whether to go on. In the agent's service there is no one to answer it: the dialog could only
// leave the audit child waiting until its supervisor ends it, at the same 30 minutes. So the control
// is given "no limit" (-1) and the agent's limit is kept by the supervisor, which ends the audit child
// after 30 minutes whatever the script is doing: no dialog can ever hold the child, and a run ends at
// the agent's limit either way. (Wine's control ignores Timeout altogether.)
#include <objbase.h>
#include <ocidl.h>
#include <oleauto.h>
#include <windows.h>

#include <cstdio>
#include <utility>

#include "KNWinText.h"
#include "ScriptControl.h"

namespace kn {
namespace {

// {0E59F1D5-1FBE-11D0-8FF2-00A0D10038BC}: the class MSScriptControl.ScriptControl.
constexpr CLSID kScriptControlClass = {
    0x0e59f1d5, 0x1fbe, 0x11d0, {0x8f, 0xf2, 0x00, 0xa0, 0xd1, 0x00, 0x38, 0xbc}};
// {8B167D60-8605-11D0-ABCB-00A0C90FFFC0}: DScriptControlSource, the control's events.
constexpr IID kScriptControlEvents = {
    0x8b167d60, 0x8605, 0x11d0, {0xab, 0xcb, 0x00, 0xa0, 0xc9, 0x0f, 0xff, 0xc0}};
// The Error event's member of DScriptControlSource (the type library's id 0x0BB8).
constexpr DISPID kErrorEvent = 3000;
// The control's value for "no time limit".
constexpr long kNoTimeout = -1;

constexpr const char* kCreateFailure = "Cannot create the script control MSScriptControl.ScriptControl: ";

std::string hresultText(HRESULT hr) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
  return win::errorText(static_cast<unsigned long>(hr)) + " (" + code + ")";
}

// One COM interface pointer, released when it goes.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ~ComPtr() { reset(); }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T** put() {
    reset();
    return &p_;
  }
  void** putVoid() { return reinterpret_cast<void**>(put()); }
  explicit operator bool() const { return p_ != nullptr; }
  void reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }
  void swap(ComPtr& other) noexcept { std::swap(p_, other.p_); }

 private:
  T* p_ = nullptr;
};

// A BSTR owned by one object.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(std::string_view utf8) {
    const std::wstring text = win::wide(utf8);
    s_ = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!s_) throw EScriptControl("Not enough memory for the script text");
  }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { ::SysFreeString(s_); }
  BSTR get() const { return s_; }
  BSTR* put() {
    ::SysFreeString(s_);
    s_ = nullptr;
    return &s_;
  }
  std::string utf8() const {
    return s_ ? win::narrow(std::wstring_view(s_, ::SysStringLen(s_))) : std::string();
  }

 private:
  BSTR s_ = nullptr;
};

// A VARIANT cleared when it goes.
struct Variant {
  VARIANT v;
  Variant() { ::VariantInit(&v); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  ~Variant() { ::VariantClear(&v); }
};

// The EXCEPINFO of one call, its strings freed when it goes.
struct ExceptionInfo {
  EXCEPINFO info{};
  ExceptionInfo() = default;
  ExceptionInfo(const ExceptionInfo&) = delete;
  ExceptionInfo& operator=(const ExceptionInfo&) = delete;
  ~ExceptionInfo() {
    ::SysFreeString(info.bstrSource);
    ::SysFreeString(info.bstrDescription);
    ::SysFreeString(info.bstrHelpFile);
  }
  // The description the callee gave, filled in now when it deferred it; "" when it gave none.
  std::string description() {
    if (info.pfnDeferredFillIn) {
      info.pfnDeferredFillIn(&info);
      info.pfnDeferredFillIn = nullptr;
    }
    return info.bstrDescription
               ? win::narrow(std::wstring_view(info.bstrDescription, ::SysStringLen(info.bstrDescription)))
               : std::string();
  }
};

// Late-bound calls on one IDispatch. Each returns the HRESULT; `description` receives what the
// callee said about a failure, when it said anything.
HRESULT dispatchCall(IDispatch* object, const wchar_t* name, WORD flags, VARIANT* args, UINT argCount,
                     VARIANT* result, std::string* description = nullptr) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS params{args, nullptr, argCount, 0};
  if (flags & DISPATCH_PROPERTYPUT) {
    params.rgdispidNamedArgs = &put;
    params.cNamedArgs = 1;
  }
  ExceptionInfo exception;
  UINT argError = 0;
  hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, &exception.info, &argError);
  if (hr == DISP_E_EXCEPTION) {
    if (description) *description = exception.description();
    if (exception.info.scode != S_OK && FAILED(exception.info.scode))
      hr = exception.info.scode;
    else if (exception.info.wCode != 0)
      hr = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_DISPATCH, exception.info.wCode);
    if (hr == DISP_E_EXCEPTION) hr = E_FAIL;
  }
  return hr;
}

HRESULT putProperty(IDispatch* object, const wchar_t* name, VARIANT value) {
  return dispatchCall(object, name, DISPATCH_PROPERTYPUT, &value, 1, nullptr);
}

// The IDispatch held in a property of `object`; empty when there is none or it cannot be read.
void getObject(IDispatch* object, const wchar_t* name, ComPtr<IDispatch>& out) {
  out.reset();
  Variant value;
  if (FAILED(dispatchCall(object, name, DISPATCH_PROPERTYGET, nullptr, 0, &value.v))) return;
  if (value.v.vt == VT_DISPATCH && value.v.pdispVal)
    value.v.pdispVal->QueryInterface(IID_IDispatch, out.putVoid());
}

// The sink joined to the control's events: its Error member is the OnError event. It lives inside
// the control object, which leaves the connection before it goes; COM's reference count is kept for
// form only.
class ErrorEventSink final : public IDispatch {
 public:
  std::function<void()> onEvent;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == kScriptControlEvents) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&refs_)); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(::InterlockedDecrement(&refs_)); }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count) *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    if (id == kErrorEvent && onEvent) onEvent();
    return S_OK;
  }

 private:
  LONG refs_ = 1;  // the control object's own
};

// Checks that this thread may hold an apartment-threaded object; throws EScriptControl otherwise.
void requireSingleThreadedApartment() {
  APTTYPE type{};
  APTTYPEQUALIFIER qualifier{};
  const HRESULT hr = ::CoGetApartmentType(&type, &qualifier);
  if (hr == CO_E_NOTINITIALIZED ||
      (SUCCEEDED(hr) && type == APTTYPE_MTA && qualifier == APTTYPEQUALIFIER_IMPLICIT_MTA))
    throw EScriptControl(std::string(kCreateFailure) +
                         "COM is not initialised on this thread (it needs CoInitializeEx with "
                         "COINIT_APARTMENTTHREADED first)");
  if (FAILED(hr)) throw EScriptControl(std::string(kCreateFailure) + hresultText(hr));
  if (type != APTTYPE_STA && type != APTTYPE_MAINSTA)
    throw EScriptControl(std::string(kCreateFailure) +
                         "this thread is not in a single-threaded COM apartment (it needs CoInitializeEx "
                         "with COINIT_APARTMENTTHREADED)");
}

class WinScriptControl final : public ScriptControl {
 public:
  WinScriptControl() {
    requireSingleThreadedApartment();
    const HRESULT hr = ::CoCreateInstance(kScriptControlClass, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                          control_.putVoid());
    if (FAILED(hr)) throw EScriptControl(std::string(kCreateFailure) + hresultText(hr));
    sink_.onEvent = [this] { raiseError(); };
  }
  ~WinScriptControl() override { release(); }  // before the sink goes

  void setAllowUI(bool allow) override {
    VARIANT value{};
    value.vt = VT_BOOL;
    value.boolVal = allow ? VARIANT_TRUE : VARIANT_FALSE;
    check(putProperty(live(), L"AllowUI", value), "AllowUI");
  }

  // See the file's comment: the agent's limit is kept by the audit supervisor, the control gets none.
  void setTimeout(long) override {
    VARIANT value{};
    value.vt = VT_I4;
    value.lVal = kNoTimeout;
    check(putProperty(live(), L"Timeout", value), "Timeout");
  }

  void setLanguage(const std::string& language) override {
    Bstr name(language);
    VARIANT value{};
    value.vt = VT_BSTR;
    value.bstrVal = name.get();
    if (FAILED(putProperty(live(), L"Language", value)))
      throw EScriptControl("Language '" + language + "' is not supported");
  }

  void setErrorHandler(std::function<void()> onError) override {
    onError_ = std::move(onError);
    if (connection_) return;
    ComPtr<IConnectionPointContainer> container;
    if (FAILED(live()->QueryInterface(IID_IConnectionPointContainer, container.putVoid()))) return;
    ComPtr<IConnectionPoint> point;
    if (FAILED(container->FindConnectionPoint(kScriptControlEvents, point.put()))) return;
    DWORD cookie = 0;
    if (FAILED(point->Advise(static_cast<IDispatch*>(&sink_), &cookie)))
      return;  // the handler is called by addCode
    point_.swap(point);
    connection_ = cookie;
  }

  void addCode(const std::string& code) override {
    Bstr text(code);  // before the call: a text too large to convert fails as the run does
    errorRaised_ = false;
    ::SetErrorInfo(0, nullptr);
    VARIANT arg{};
    arg.vt = VT_BSTR;
    arg.bstrVal = text.get();
    std::string description;
    const HRESULT hr = dispatchCall(live(), L"AddCode", DISPATCH_METHOD, &arg, 1, nullptr, &description);
    if (SUCCEEDED(hr)) return;
    if (description.empty()) description = errorRecordText(L"Description");
    if (description.empty()) {
      const std::string source = errorRecordText(L"Source");
      description = source.empty() ? hresultText(hr) : source + ": " + hresultText(hr);
    }
    raiseError();
    throw EScriptControl(description);
  }

  std::optional<int> errorLine() override {
    ComPtr<IDispatch> error;
    getObject(live(), L"Error", error);
    if (!error) return std::nullopt;
    Variant line;
    if (FAILED(dispatchCall(error.get(), L"Line", DISPATCH_PROPERTYGET, nullptr, 0, &line.v)))
      return std::nullopt;
    if (FAILED(::VariantChangeType(&line.v, &line.v, 0, VT_I4)) || line.v.lVal <= 0) return std::nullopt;
    return static_cast<int>(line.v.lVal);
  }

  void release() override {
    disconnect();
    control_.reset();
  }

 private:
  IDispatch* live() const {
    if (!control_) throw EScriptControl(kScriptReleasedMessage);
    return control_.get();
  }

  static void check(HRESULT hr, const char* property) {
    if (FAILED(hr))
      throw EScriptControl(std::string("The script control refused its ") + property + ": " +
                           hresultText(hr));
  }

  // The error event, from the control or, where the control has no events to give, from addCode.
  void raiseError() {
    if (errorRaised_) return;
    errorRaised_ = true;
    if (onError_) onError_();
  }

  // A text property of the control's Error record; "" when there is none.
  std::string errorRecordText(const wchar_t* name) {
    ComPtr<IDispatch> error;
    getObject(live(), L"Error", error);
    if (!error) return "";
    Variant value;
    if (FAILED(dispatchCall(error.get(), name, DISPATCH_PROPERTYGET, nullptr, 0, &value.v)) ||
        value.v.vt != VT_BSTR || !value.v.bstrVal)
      return "";
    return win::narrow(std::wstring_view(value.v.bstrVal, ::SysStringLen(value.v.bstrVal)));
  }

  void disconnect() {
    if (point_ && connection_) point_->Unadvise(connection_);
    connection_ = 0;
    point_.reset();
  }

  ComPtr<IDispatch> control_;
  ComPtr<IConnectionPoint> point_;
  DWORD connection_ = 0;
  ErrorEventSink sink_;
  std::function<void()> onError_;
  bool errorRaised_ = false;
};

}  // namespace

std::unique_ptr<ScriptControl> createScriptControl(std::chrono::steady_clock::duration) {
  return std::make_unique<WinScriptControl>();
}

std::string scriptBytesToUtf8(std::string_view bytes) {
  if (bytes.empty()) return {};
  const int size = static_cast<int>(bytes.size());
  const int length = ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, nullptr, 0);
  std::wstring text(static_cast<size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, text.data(), length);
  return win::narrow(text);
}

}  // namespace kn
