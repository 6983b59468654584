// The Windows instance provider: WMI itself, the name space ROOT\CIMV2 of the local computer,
// through its COM interfaces (IWbemLocator, IWbemServices, IEnumWbemClassObject, IWbemClassObject).
//
// Threads. A provider is made on one thread and asked from others: the engine reads the class list
// on a thread of its own while the script runs, and tests ask from theirs. COM objects belong to the
// apartment that made them, and the callers' apartments are theirs, not ours (the script control
// wants a single-threaded one). So the provider keeps one thread of its own, in the multithreaded
// apartment, which initialises COM, connects, answers every instancesOf() and, when the provider
// goes, releases the connection and uninitialises COM: no COM object crosses a thread and no caller's
// COM state is touched. A caller hands its class over and waits for the instances; notices are told
// on the caller's thread.
//
// Security. The connection is opened with the process's account and default settings. COM's
// process-wide security (CoInitializeSecurity) belongs to the program, not to a library, so it is not
// called here; instead the services proxy and each enumerator get a blanket with impersonation
// (CoSetProxyBlanket), which WMI's providers need on Windows (the scripting objects default to it
// too). In-process objects that are not proxies answer E_NOINTERFACE, which is no failure. Under Wine,
// WMI lives in-process (wbemprox) and accepts the blanket without acting on it.
#include "InstanceProviderWin.h"

#include <oleauto.h>

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "InstanceClasses.h"
#include "InstanceProviderDevices.h"
#include "KNWinText.h"

namespace kn {
namespace wmi {
namespace {

// ---- Owners of COM's own kinds ------------------------------------------------------------------

std::string bstrText(BSTR b) {
  return b ? win::narrow(std::wstring_view(b, ::SysStringLen(b))) : std::string();
}

// An interface pointer, released when its owner goes.
template <class T>
class Com {
 public:
  Com() = default;
  ~Com() { reset(); }
  Com(const Com&) = delete;
  Com& operator=(const Com&) = delete;
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  // For the functions that hand a new reference out; releases the one held before.
  T** out() {
    reset();
    return &p_;
  }
  void** outVoid() { return reinterpret_cast<void**>(out()); }
  void reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }

 private:
  T* p_ = nullptr;
};

class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(const std::wstring& text)
      : b_(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {
    if (!b_) throw EWMIError("Out of memory");
  }
  ~Bstr() { ::SysFreeString(b_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR get() const { return b_; }
  BSTR* out() {
    ::SysFreeString(b_);
    b_ = nullptr;
    return &b_;
  }
  std::string text() const { return bstrText(b_); }

 private:
  BSTR b_ = nullptr;
};

struct Variant {
  VARIANT v;
  Variant() { ::VariantInit(&v); }
  ~Variant() { ::VariantClear(&v); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
};

// ---- Values -------------------------------------------------------------------------------------

// The bits of an unsigned CIM integer type; 0 for the others.
int unsignedBits(CIMTYPE type) {
  switch (type & ~CIM_FLAG_ARRAY) {
    case CIM_UINT8:
      return 8;
    case CIM_UINT16:
    case CIM_CHAR16:  // a UTF-16 code unit, which WMI hands over as VT_I2
      return 16;
    case CIM_UINT32:
      return 32;
    default:
      return 0;
  }
}

// An integer of a variant type, read at the width of its CIM type.
std::int64_t integerOf(std::int64_t raw, CIMTYPE type) {
  const int bits = unsignedBits(type);
  if (bits == 0) return raw;
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(raw) & ((std::uint64_t{1} << bits) - 1));
}

std::string realText(double d) {
  char buffer[32];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, d);
  return ec == std::errc() ? std::string(buffer, end) : std::string();
}

// The text of one array element of variant type `vt` at `data`.
std::string elementText(VARTYPE vt, const void* data, CIMTYPE type) {
  switch (vt) {
    case VT_BSTR:
      return bstrText(*static_cast<const BSTR*>(data));
    case VT_BOOL:
      return *static_cast<const VARIANT_BOOL*>(data) != VARIANT_FALSE ? "True" : "False";
    case VT_I1:
      return std::to_string(integerOf(*static_cast<const signed char*>(data), type));
    case VT_UI1:
      return std::to_string(*static_cast<const unsigned char*>(data));
    case VT_I2:
      return std::to_string(integerOf(*static_cast<const SHORT*>(data), type));
    case VT_UI2:
      return std::to_string(*static_cast<const USHORT*>(data));
    case VT_I4:
    case VT_INT:
      return std::to_string(integerOf(*static_cast<const LONG*>(data), type));
    case VT_UI4:
    case VT_UINT:
      return std::to_string(*static_cast<const ULONG*>(data));
    case VT_I8:
      return std::to_string(*static_cast<const LONGLONG*>(data));
    case VT_UI8:
      return std::to_string(*static_cast<const ULONGLONG*>(data));
    case VT_R4:
      return realText(*static_cast<const float*>(data));
    case VT_R8:
      return realText(*static_cast<const double*>(data));
    case VT_VARIANT: {
      const VARIANT& v = *static_cast<const VARIANT*>(data);
      if (V_VT(&v) & (VT_ARRAY | VT_BYREF)) return std::string();
      return elementText(V_VT(&v), &V_NONE(&v), type);
    }
    default:
      return std::string();  // embedded objects and what WMI never hands over
  }
}

std::vector<std::string> arrayTexts(const VARIANT& value, CIMTYPE type) {
  std::vector<std::string> texts;
  SAFEARRAY* array = (V_VT(&value) & VT_BYREF) ? *V_ARRAYREF(&value) : V_ARRAY(&value);
  if (!array || ::SafeArrayGetDim(array) != 1) return texts;
  LONG lower = 0, upper = -1;
  if (FAILED(::SafeArrayGetLBound(array, 1, &lower)) || FAILED(::SafeArrayGetUBound(array, 1, &upper)))
    return texts;
  const VARTYPE vt = V_VT(&value) & VT_TYPEMASK;
  const UINT size = ::SafeArrayGetElemsize(array);
  void* data = nullptr;
  if (upper < lower || FAILED(::SafeArrayAccessData(array, &data))) return texts;
  for (LONG i = 0; i <= upper - lower; ++i)
    texts.push_back(elementText(vt, static_cast<const char*>(data) + static_cast<size_t>(i) * size, type));
  ::SafeArrayUnaccessData(array);
  return texts;
}

}  // namespace

WmiValue valueOf(const VARIANT& value, CIMTYPE type) {
  const VARTYPE vt = V_VT(&value);
  if (vt & VT_ARRAY) return arrayTexts(value, type);
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_UNKNOWN:
    case VT_DISPATCH:
      return std::monostate();
    case VT_BOOL:
      return V_BOOL(&value) != VARIANT_FALSE;
    case VT_BSTR:
      return bstrText(V_BSTR(&value));
    case VT_I1:
      return integerOf(V_I1(&value), type);
    case VT_UI1:
      return std::int64_t{V_UI1(&value)};
    case VT_I2:
      return integerOf(V_I2(&value), type);
    case VT_UI2:
      return std::int64_t{V_UI2(&value)};
    case VT_I4:
      return integerOf(V_I4(&value), type);
    case VT_INT:
      return integerOf(V_INT(&value), type);
    case VT_UI4:
      return std::int64_t{V_UI4(&value)};
    case VT_UINT:
      return std::int64_t{V_UINT(&value)};
    case VT_I8:
      return std::int64_t{V_I8(&value)};
    case VT_UI8:  // as WMI's own 64-bit integers: decimal text, whatever its size
      return std::to_string(V_UI8(&value));
    case VT_R4:
      return realText(V_R4(&value));
    case VT_R8:
      return realText(V_R8(&value));
    default:
      return std::monostate();
  }
}

std::string errorText(HRESULT hr) {
  struct Known {
    unsigned long code;
    const char* text;
  };
  // The descriptions of WMI's scripting objects for the codes a dump meets.
  static constexpr Known kKnown[] = {
      {WBEM_E_FAILED, "Generic failure"},
      {WBEM_E_NOT_FOUND, "Not found"},
      {WBEM_E_ACCESS_DENIED, "Access denied"},
      {WBEM_E_PROVIDER_FAILURE, "Provider failure"},
      {WBEM_E_TYPE_MISMATCH, "Type mismatch"},
      {WBEM_E_OUT_OF_MEMORY, "Out of memory"},
      {WBEM_E_INVALID_CONTEXT, "Invalid context"},
      {WBEM_E_INVALID_PARAMETER, "Invalid parameter"},
      {WBEM_E_NOT_AVAILABLE, "Not available"},
      {WBEM_E_CRITICAL_ERROR, "Critical error"},
      {WBEM_E_NOT_SUPPORTED, "Not supported"},
      {WBEM_E_INVALID_NAMESPACE, "Invalid namespace"},
      {WBEM_E_INVALID_OBJECT, "Invalid object"},
      {WBEM_E_INVALID_CLASS, "Invalid class"},
      {WBEM_E_PROVIDER_NOT_FOUND, "Provider not found"},
      {WBEM_E_INVALID_PROVIDER_REGISTRATION, "Invalid provider registration"},
      {WBEM_E_PROVIDER_LOAD_FAILURE, "Provider load failure"},
      {WBEM_E_INITIALIZATION_FAILURE, "Initialization failure"},
      {WBEM_E_TRANSPORT_FAILURE, "Transport failure"},
      {WBEM_E_INVALID_OPERATION, "Invalid operation"},
      {WBEM_E_INVALID_QUERY, "Invalid query"},
      {WBEM_E_INVALID_QUERY_TYPE, "Invalid query type"},
      {WBEM_E_UNEXPECTED, "Unexpected error"},
      {WBEM_E_PROVIDER_NOT_CAPABLE, "Provider is not capable of the attempted operation"},
      {WBEM_E_TIMED_OUT, "Timed out"},
      {WBEM_E_SHUTTING_DOWN, "Shutting down"},
      {WBEM_E_SERVER_TOO_BUSY, "Server too busy"},
      {WBEM_E_PRIVILEGE_NOT_HELD, "Privilege not held"},
      {WBEM_E_QUOTA_VIOLATION, "Quota violation"},
  };
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
  for (const Known& k : kKnown)
    if (k.code == static_cast<unsigned long>(hr)) return std::string(k.text) + " (" + code + ")";
  const bool wbem = (static_cast<unsigned long>(hr) & 0xFFFFF000UL) == 0x80041000UL;
  std::string text = wbem ? std::string() : win::errorText(static_cast<unsigned long>(hr));
  if (text.empty() || text.starts_with("Unknown error")) text = wbem ? "WMI error" : "Error";
  return text + " (" + code + ")";
}

namespace {

[[noreturn]] void fail(const std::string& what, HRESULT hr) { throw EWMIError(what + errorText(hr)); }

// Raises the proxy's impersonation to what WMI's providers need; an object that is no proxy
// (in-process, as under Wine) has no blanket to set.
HRESULT setBlanket(IUnknown* proxy) {
  const HRESULT hr =
      ::CoSetProxyBlanket(proxy, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                          RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
  return hr == E_NOINTERFACE ? S_OK : hr;
}

// One connection to ROOT\CIMV2, made, used and released on the thread of COM that made it.
class Connection {
 public:
  Connection() {
    HRESULT hr = ::CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                    locator_.outVoid());
    if (FAILED(hr)) fail("The WMI locator could not be created: ", hr);
    const Bstr space(L"ROOT\\CIMV2");
    hr =
        locator_->ConnectServer(space.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, services_.out());
    if (FAILED(hr)) fail("Could not connect to ROOT\\CIMV2: ", hr);
    hr = setBlanket(services_.get());
    if (FAILED(hr)) fail("Could not set the security of the connection to ROOT\\CIMV2: ", hr);
  }

  // The instances of `className` in WMI's order, at most `limit` of them; `more` tells whether WMI
  // had more.
  std::vector<WmiObject> instancesOf(const std::string& className, size_t limit, bool& more) {
    more = false;
    Com<IEnumWbemClassObject> items;
    const Bstr name(win::wide(className));
    // Flags 0: deep, and synchronous: the call returns when the whole result is ready.
    HRESULT hr = services_->CreateInstanceEnum(name.get(), 0, nullptr, items.out());
    if (FAILED(hr)) fail("", hr);
    setBlanket(items.get());  // a local enumerator takes the services' blanket already
    std::vector<WmiObject> instances;
    for (;;) {
      Com<IWbemClassObject> item;
      ULONG returned = 0;
      hr = items->Next(WBEM_INFINITE, 1, item.out(), &returned);
      if (FAILED(hr)) fail("", hr);
      if (returned == 0) break;  // WBEM_S_FALSE: no more
      if (instances.size() == limit) {
        more = true;
        break;
      }
      instances.push_back(read(item.get()));
    }
    // An empty listing may be a class that does not exist (Wine's WMI lists nothing for a class it
    // does not know, where Windows refuses the listing): the class's definition tells.
    if (instances.empty()) {
      Com<IWbemClassObject> definition;
      hr = services_->GetObject(name.get(), 0, nullptr, definition.out(), nullptr);
      if (FAILED(hr)) fail("", hr);
    }
    return instances;
  }

 private:
  // The properties of one instance in WMI's order, system properties (__CLASS, __PATH, ...) left out
  // as the scripting objects' property set leaves them out.
  WmiObject read(IWbemClassObject* item) {
    std::string className;
    {
      Variant cls;
      if (SUCCEEDED(item->Get(L"__CLASS", 0, &cls.v, nullptr, nullptr)) && V_VT(&cls.v) == VT_BSTR)
        className = bstrText(V_BSTR(&cls.v));
    }
    WmiObject object;
    HRESULT hr = item->BeginEnumeration(WBEM_FLAG_NONSYSTEM_ONLY);
    if (FAILED(hr)) fail("", hr);
    for (;;) {
      Bstr name;
      Variant value;
      CIMTYPE type = CIM_EMPTY;
      hr = item->Next(0, name.out(), &value.v, &type, nullptr);
      if (FAILED(hr)) {
        item->EndEnumeration();
        fail("", hr);
      }
      if (hr == WBEM_S_NO_MORE_DATA) break;
      WmiProperty p;
      p.name = name.text();
      p.origin = origin(item, name, className);
      p.cimType = static_cast<int>(type & ~CIM_FLAG_ARRAY);
      p.isArray = (type & CIM_FLAG_ARRAY) != 0 || (V_VT(&value.v) & VT_ARRAY) != 0;
      p.value = valueOf(value.v, type);
      object.push_back(std::move(p));
    }
    item->EndEnumeration();
    return object;
  }

  // The class that declares the property. Wine does not say (E_NOTIMPL): the instance's own class
  // stands in, and Wine is not asked again.
  std::string origin(IWbemClassObject* item, const Bstr& name, const std::string& className) {
    if (!askOrigin_) return className;
    Bstr origin;
    const HRESULT hr = item->GetPropertyOrigin(name.get(), origin.out());
    if (hr == E_NOTIMPL) askOrigin_ = false;
    return SUCCEEDED(hr) && origin.get() ? origin.text() : className;
  }

  Com<IWbemLocator> locator_;
  Com<IWbemServices> services_;
  bool askOrigin_ = true;
};

// The provider: its thread of COM and the hand-over of one class at a time (see the top).
class WmiInstanceProvider : public InstanceProvider {
 public:
  WmiInstanceProvider(InstanceProviderOptions options, size_t maxInstances)
      : notice_(std::move(options.notice)), maxInstances_(maxInstances) {
    thread_ = std::thread([this] { run(); });
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return started_; });
    if (failure_) {
      const std::exception_ptr failure = failure_;
      lock.unlock();
      thread_.join();
      std::rethrow_exception(failure);
    }
  }

  ~WmiInstanceProvider() override {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

  std::vector<WmiObject> instancesOf(const std::string& className) override {
    const ClassDef* def = findInstanceClass(className);
    const size_t limit = std::min(def ? def->maxInstances : kMaxInstances, maxInstances_);
    std::vector<WmiObject> instances;
    bool more = false;
    call([&](Connection& connection) { instances = connection.instancesOf(className, limit, more); });
    if (more && notice_)
      notice_((def ? std::string(def->name) : className) + ": more than " + std::to_string(limit) +
              " instances; the first " + std::to_string(limit) + " are listed");
    return instances;
  }

 private:
  using Job = std::function<void(Connection&)>;

  // Runs `job` on the thread of COM and waits for it; its exception leaves here.
  void call(const Job& job) {
    std::lock_guard one(callMutex_);  // callers take turns
    std::unique_lock lock(mutex_);
    job_ = &job;
    failure_ = nullptr;
    wake_.notify_all();
    wake_.wait(lock, [this] { return job_ == nullptr; });
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
  }

  void run() {
    const HRESULT init = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED | COINIT_DISABLE_OLE1DDE);
    {
      std::optional<Connection> connection;
      try {
        if (FAILED(init)) fail("COM could not be initialised: ", init);
        connection.emplace();
      } catch (...) {
        std::lock_guard lock(mutex_);
        failure_ = std::current_exception();
      }
      {
        std::lock_guard lock(mutex_);
        started_ = true;
      }
      wake_.notify_all();
      if (connection) serve(*connection);
    }  // the connection is released here, before COM goes
    if (SUCCEEDED(init)) ::CoUninitialize();
  }

  void serve(Connection& connection) {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stop_ || job_; });
      if (!job_) return;
      const Job& job = *job_;
      lock.unlock();
      std::exception_ptr failure;
      try {
        job(connection);
      } catch (...) {
        failure = std::current_exception();
      }
      lock.lock();
      failure_ = failure;
      job_ = nullptr;
      wake_.notify_all();
    }
  }

  std::function<void(const std::string&)> notice_;
  size_t maxInstances_;
  std::mutex callMutex_;
  std::mutex mutex_;
  std::condition_variable wake_;
  const Job* job_ = nullptr;    // the call under way
  std::exception_ptr failure_;  // what the connection or the call threw
  bool started_ = false, stop_ = false;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<InstanceProvider> createBoundedProvider(InstanceProviderOptions options,
                                                        size_t maxInstances) {
  return std::make_unique<WmiInstanceProvider>(std::move(options), maxInstances);
}

}  // namespace wmi

// The extended inventory's software is the script's: it lists the uninstall keys of the registry.
std::vector<devsrc::Package> devices::installedOtherSoftware() { return {}; }

std::unique_ptr<InstanceProvider> createInstanceProvider(InstanceProviderOptions options) {
  // The "ExtendedInventory" policy needs nothing here: WMI knows the extended classes as its own,
  // and the engine leaves them out of the list it asks for.
  return wmi::createBoundedProvider(std::move(options), SIZE_MAX);
}

}  // namespace kn
