// COM basics: HRESULT codes, IUnknown and IClassFactory, the object base that answers
// QueryInterface from its list of interfaces, the ComPtr smart pointer and the module lock
// count that decides whether a library may be unloaded.
//
// Interfaces keep the Windows method order. Each interface type names its identifier as a
// static member `kIid`; an interface that extends another than IUnknown names it as `Base`
// so that a query for the base finds the derived interface.
#pragma once

#include <atomic>
#include <cassert>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

#include "platform/Guid.h"
#include "platform/WinTypes.h"

// HRESULT values (the bit patterns of the Windows headers).
inline constexpr HRESULT MakeHresult(std::uint32_t bits) { return static_cast<HRESULT>(bits); }
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = MakeHresult(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = MakeHresult(0x80004002u);
inline constexpr HRESULT E_POINTER = MakeHresult(0x80004003u);
inline constexpr HRESULT E_ABORT = MakeHresult(0x80004004u);
inline constexpr HRESULT E_FAIL = MakeHresult(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = MakeHresult(0x8000FFFFu);
inline constexpr HRESULT E_ACCESSDENIED = MakeHresult(0x80070005u);
inline constexpr HRESULT E_HANDLE = MakeHresult(0x80070006u);
inline constexpr HRESULT E_OUTOFMEMORY = MakeHresult(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = MakeHresult(0x80070057u);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHresult(0x80040110u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeHresult(0x80040111u);
inline constexpr HRESULT SELFREG_E_CLASS = MakeHresult(0x80040201u);
inline constexpr HRESULT DISP_E_BADINDEX = MakeHresult(0x8002000Bu);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = MakeHresult(0x80020005u);
inline constexpr HRESULT DISP_E_ARRAYISLOCKED = MakeHresult(0x8002000Du);

inline constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
inline constexpr bool FAILED(HRESULT hr) { return hr < 0; }
inline constexpr HRESULT HRESULT_FROM_WIN32(LSTATUS status) {
  return status <= 0 ? static_cast<HRESULT>(status)
                     : MakeHresult((static_cast<std::uint32_t>(status) & 0xffffu) | 0x80070000u);
}

// A new random (version 4) identifier. E_FAIL when the system gives no random numbers.
QV_API HRESULT CoCreateGuid(GUID* guid) noexcept;

struct IUnknown {
  static constexpr IID kIid =
      MakeGuid(0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
  virtual HRESULT QueryInterface(REFIID riid, void** ppv) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};

struct IClassFactory : IUnknown {
  static constexpr IID kIid =
      MakeGuid(0x00000001, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
  virtual HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) = 0;
  virtual HRESULT LockServer(BOOL lock) = 0;

 protected:
  ~IClassFactory() = default;
};

inline constexpr const IID& IID_IUnknown = IUnknown::kIid;
inline constexpr const IID& IID_IClassFactory = IClassFactory::kIid;

// The lock count of one library: live objects, class-factory locks and anything else that
// must keep the library loaded. Changed with atomic increments only.
class ComModule {
 public:
  ULONG Lock() noexcept { return ++lockCount_; }
  ULONG Unlock() noexcept { return --lockCount_; }
  ULONG GetLockCount() const noexcept { return lockCount_.load(); }

 private:
  std::atomic<ULONG> lockCount_{0};
};

namespace com_detail {

template <class I, class = void>
struct BaseOf {
  using type = void;
};
template <class I>
struct BaseOf<I, std::void_t<typename I::Base>> {
  using type = typename I::Base;
};

// True when riid names I or one of the interfaces I extends (other than IUnknown).
template <class I>
bool Implements(REFIID riid) {
  if (riid == I::kIid) return true;
  using B = typename BaseOf<I>::type;
  if constexpr (!std::is_void_v<B>) return Implements<B>(riid);
  return false;
}

template <class First, class...>
struct FirstOf {
  using type = First;
};

}  // namespace com_detail

// Object base: reference count starting at 1 (the creator's reference), QueryInterface over
// the listed interfaces in order (the class's own interface first; IUnknown answers with the
// first), and an optional module whose lock count it holds while alive.
template <class... Interfaces>
class ComObject : public Interfaces... {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (riid == IUnknown::kIid) {
      *ppv = static_cast<IUnknown*>(
          static_cast<typename com_detail::FirstOf<Interfaces...>::type*>(this));
    } else {
      (void)((com_detail::Implements<Interfaces>(riid)
                  ? (*ppv = static_cast<Interfaces*>(this), true)
                  : false) ||
             ...);
    }
    if (*ppv == nullptr) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++refCount_; }
  ULONG Release() override {
    const ULONG left = --refCount_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  explicit ComObject(ComModule* module = nullptr) : module_(module) {
    if (module_ != nullptr) module_->Lock();
  }
  virtual ~ComObject() {
    assert(refCount_.load() == 0 && "COM object destroyed with references held");
    if (module_ != nullptr) module_->Unlock();
  }
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

 private:
  std::atomic<ULONG> refCount_{1};
  ComModule* module_;
};

// Smart pointer for an interface pointer held by the product: one reference per ComPtr.
template <class T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ComPtr(std::nullptr_t) noexcept {}
  // Takes a new reference on p.
  explicit ComPtr(T* p) noexcept : p_(p) {
    if (p_ != nullptr) p_->AddRef();
  }
  ComPtr(const ComPtr& other) noexcept : ComPtr(other.p_) {}
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ~ComPtr() { Reset(); }
  ComPtr& operator=(const ComPtr& other) noexcept {
    ComPtr(other).Swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& other) noexcept {
    ComPtr(std::move(other)).Swap(*this);
    return *this;
  }

  T* Get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  // Adopts p without adding a reference (p's reference now belongs to this pointer).
  void Attach(T* p) noexcept {
    Reset();
    p_ = p;
  }
  // Gives up the pointer without releasing it.
  [[nodiscard]] T* Detach() noexcept { return std::exchange(p_, nullptr); }
  void Reset() noexcept {
    if (T* old = std::exchange(p_, nullptr)) old->Release();
  }
  // Out-parameter accessor: releases what is held and returns the slot to fill.
  T** ReleaseAndGetAddressOf() noexcept {
    Reset();
    return &p_;
  }
  void** ReleaseAndGetVoidAddressOf() noexcept {
    return reinterpret_cast<void**>(ReleaseAndGetAddressOf());
  }
  // Hands out a new reference through an out-parameter.
  HRESULT CopyTo(T** out) const noexcept {
    if (out == nullptr) return E_POINTER;
    *out = p_;
    if (p_ != nullptr) p_->AddRef();
    return S_OK;
  }
  // Queries into a fresh pointer first: `out` may be this very pointer, holding the only
  // reference, which must outlive the query. `out` is emptied on failure.
  template <class U>
  [[nodiscard]] HRESULT As(ComPtr<U>& out) const noexcept {
    ComPtr<U> result;
    const HRESULT hr = p_ == nullptr
                           ? E_POINTER
                           : p_->QueryInterface(U::kIid, result.ReleaseAndGetVoidAddressOf());
    out = std::move(result);
    return hr;
  }
  void Swap(ComPtr& other) noexcept { std::swap(p_, other.p_); }

 private:
  T* p_ = nullptr;
};

// Creates an object of class T with `args`, queries riid into *ppv and drops the creator's
// reference: the usual shape of a class's static CreateInstance.
template <class T, class... Args>
[[nodiscard]] HRESULT CreateComInstance(REFIID riid, void** ppv, Args&&... args) noexcept {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  T* object = new (std::nothrow) T(std::forward<Args>(args)...);
  if (object == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = object->QueryInterface(riid, ppv);
  object->Release();
  return hr;
}

// One entry of a module's class table.
struct ClassEntry {
  const CLSID* clsid;
  HRESULT (*create)(REFIID riid, void** ppv);
};

// Generic class factory over one class-table entry. It holds the module's lock while alive;
// LockServer locks the module as well.
class ClassFactory final : public ComObject<IClassFactory> {
 public:
  ClassFactory(const ClassEntry& entry, ComModule* module)
      : ComObject<IClassFactory>(module), entry_(entry), module_(module) {}
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return entry_.create(riid, ppv);
  }
  HRESULT LockServer(BOOL lock) override {
    if (module_ == nullptr) return S_OK;
    if (lock)
      module_->Lock();
    else
      module_->Unlock();
    return S_OK;
  }

 private:
  ClassEntry entry_;
  ComModule* module_;
};

// Looks clsid up in a class table and hands out its factory; CLASS_E_CLASSNOTAVAILABLE when
// the table has no such class.
[[nodiscard]] inline HRESULT GetClassObjectFromTable(std::span<const ClassEntry> table,
                                                     ComModule* module, REFCLSID clsid, REFIID riid,
                                                     void** ppv) noexcept {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  for (const ClassEntry& entry : table) {
    if (*entry.clsid == clsid) return CreateComInstance<ClassFactory>(riid, ppv, entry, module);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}
