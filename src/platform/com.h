// SPDX-License-Identifier: Apache-2.0
// The component object model the service object is built on: reference-
// counted interfaces found by 128-bit identifiers, a class factory, and a
// late-bound dispatch interface whose members are found by name and called
// with a list of variant arguments.
//
// Strings are UTF-8 std::string. Both sides of every interface are compiled
// with the same compiler and standard library (the host program and the
// service object library), so standard types may cross it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace vexokrt::platform {

// --- results -----------------------------------------------------------------

using HRESULT = int32_t;

inline constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
inline constexpr bool FAILED(HRESULT hr) { return hr < 0; }

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111u);
inline constexpr HRESULT REGDB_E_READREGDB = static_cast<HRESULT>(0x80040150u);
inline constexpr HRESULT REGDB_E_WRITEREGDB = static_cast<HRESULT>(0x80040151u);
inline constexpr HRESULT REGDB_E_KEYMISSING = static_cast<HRESULT>(0x80040152u);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
inline constexpr HRESULT SELFREG_E_CLASS = static_cast<HRESULT>(0x80040201u);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = static_cast<HRESULT>(0x80020003u);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005u);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = static_cast<HRESULT>(0x80020006u);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = static_cast<HRESULT>(0x8002000Eu);
inline constexpr HRESULT DISP_E_EXCEPTION = static_cast<HRESULT>(0x80020009u);

// "0x80040154" style text of a result, for messages.
std::string HresultText(HRESULT hr);

// --- identifiers -------------------------------------------------------------

struct Guid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  uint8_t data4[8] = {};

  // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hex.
  std::string ToString() const;
  // Accepts the form above, braces optional, either case. No value for
  // anything else.
  static std::optional<Guid> Parse(std::string_view text);

  friend bool operator==(const Guid& a, const Guid& b);
};

inline constexpr Guid IID_IUnknown{0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr Guid IID_IClassFactory{0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr Guid IID_IDispatch{0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// --- interfaces --------------------------------------------------------------

// Objects are deleted by their own Release when the count reaches zero; the
// destructor is protected so no caller deletes one directly.
class IUnknown {
 public:
  // On S_OK |*object| holds an added reference; on E_NOINTERFACE it is null.
  virtual HRESULT QueryInterface(const Guid& iid, void** object) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;

 protected:
  virtual ~IUnknown() = default;
};

class IClassFactory : public IUnknown {
 public:
  // Creates a new object and returns interface |iid| of it. Aggregation is not
  // supported: a non-null |outer| gives CLASS_E_NOAGGREGATION.
  virtual HRESULT CreateInstance(IUnknown* outer, const Guid& iid, void** object) = 0;
  // Keeps the library loaded while locked (counts up and down).
  virtual HRESULT LockServer(bool lock) = 0;
};

class IDispatch;

using DispId = int32_t;
inline constexpr DispId kDispIdUnknown = -1;

// One argument or result of a dispatch call. The by-reference kinds point at
// the caller's storage, which must outlive the call.
class Variant {
 public:
  enum class Type { kEmpty, kLong, kBool, kString, kLongRef, kStringRef, kBoolRef, kDispatch };

  Variant() = default;
  static Variant Long(int32_t value) { return Variant(Value(std::in_place_index<1>, value)); }
  static Variant Bool(bool value) { return Variant(Value(std::in_place_index<2>, value)); }
  static Variant String(std::string value) { return Variant(Value(std::in_place_index<3>, std::move(value))); }
  static Variant LongRef(int32_t* value) { return Variant(Value(std::in_place_index<4>, value)); }
  static Variant StringRef(std::string* value) { return Variant(Value(std::in_place_index<5>, value)); }
  static Variant BoolRef(bool* value) { return Variant(Value(std::in_place_index<6>, value)); }
  // Holds the pointer without a reference (the caller keeps the object alive).
  static Variant Dispatch(IDispatch* value) { return Variant(Value(std::in_place_index<7>, value)); }

  Type type() const { return static_cast<Type>(value_.index()); }

  // Typed access; null when the variant holds another type (or a null
  // reference).
  const int32_t* AsLong() const { return std::get_if<1>(&value_); }
  const bool* AsBool() const { return std::get_if<2>(&value_); }
  const std::string* AsString() const { return std::get_if<3>(&value_); }
  int32_t* AsLongRef() const { return Deref<4>(); }
  std::string* AsStringRef() const { return Deref<5>(); }
  bool* AsBoolRef() const { return Deref<6>(); }
  IDispatch* AsDispatch() const { return Deref<7>(); }

 private:
  using Value = std::variant<std::monostate, int32_t, bool, std::string, int32_t*, std::string*, bool*, IDispatch*>;
  explicit Variant(Value value) : value_(std::move(value)) {}
  template <size_t I>
  auto Deref() const -> std::variant_alternative_t<I, Value> {
    const auto* slot = std::get_if<I>(&value_);
    return slot == nullptr ? nullptr : *slot;
  }

  Value value_;
};

class IDispatch : public IUnknown {
 public:
  // The identifier of the member called |name| (compared case-insensitively);
  // DISP_E_UNKNOWNNAME when there is none.
  virtual HRESULT GetIDsOfNames(std::string_view name, DispId* id) = 0;
  // Calls member |id| with |args| in declaration order (first argument
  // first). |result| may be null when the caller wants none. Results:
  // S_OK; DISP_E_MEMBERNOTFOUND; DISP_E_BADPARAMCOUNT; DISP_E_TYPEMISMATCH.
  virtual HRESULT Invoke(DispId id, std::span<Variant> args, Variant* result) = 0;
};

// --- a holding pointer ---------------------------------------------------------

// Holds one reference to an interface and releases it when done.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  // Takes over a reference the caller already holds.
  static ComPtr Adopt(T* object) {
    ComPtr p;
    p.object_ = object;
    return p;
  }
  // Adds a reference of its own.
  static ComPtr Share(T* object) {
    if (object != nullptr) object->AddRef();
    return Adopt(object);
  }
  ComPtr(const ComPtr& other) : object_(other.object_) {
    if (object_ != nullptr) object_->AddRef();
  }
  ComPtr(ComPtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  ComPtr& operator=(ComPtr other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~ComPtr() { Reset(); }

  void Reset() {
    if (T* old = std::exchange(object_, nullptr)) old->Release();
  }
  T* get() const { return object_; }
  T* operator->() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // For out-parameters: releases what is held and returns the slot.
  void** OutSlot() {
    Reset();
    return reinterpret_cast<void**>(&object_);
  }

 private:
  T* object_ = nullptr;
};

// --- the exports of an in-process server ---------------------------------------

using DllGetClassObjectFunction = HRESULT (*)(const Guid* clsid, const Guid* iid, void** object);
using DllCanUnloadNowFunction = HRESULT (*)();
using DllRegisterServerFunction = HRESULT (*)();
using DllUnregisterServerFunction = HRESULT (*)();

inline constexpr char kDllGetClassObjectName[] = "DllGetClassObject";
inline constexpr char kDllCanUnloadNowName[] = "DllCanUnloadNow";
inline constexpr char kDllRegisterServerName[] = "DllRegisterServer";
inline constexpr char kDllUnregisterServerName[] = "DllUnregisterServer";

}  // namespace vexokrt::platform
