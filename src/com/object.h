// The one way a COM class of Tamsorel.dll is written.  A class derives from
// ComObject<Class, Interface...>, implements its interfaces' own methods and
// lists what QueryInterface hands out in one table:
//
//   class CThing final : public ComObject<CThing, IPersistFile, IExtractImage2> {
//    public:
//     static constexpr bool kAggregatable = false;
//     static const InterfaceRow<CThing> kInterfaces[];
//     ...
//   };
//   const InterfaceRow<CThing> CThing::kInterfaces[] = {
//       Row<CThing, IPersistFile>(IID_IPersistFile),
//       Row<CThing, IExtractImage2>(IID_IExtractImage),  // an older IID, same pointer
//       Row<CThing, IExtractImage2>(IID_IExtractImage2),
//       {},
//   };
//
// The template gives the rest: QueryInterface from the table (IID_IUnknown is
// answered by the first row), a thread-safe reference count, one module lock
// for the object's lifetime, its memory, creation (Create) and, for a class
// that allows it, aggregation (the object then delegates its IUnknown to the
// outer object and keeps a non-delegating inner IUnknown of its own).
//
// Nothing the template does throws.  A method of a class that can throw (it
// allocates) returns Guarded([&] { ... }), which turns an exception into an
// HRESULT; creation does the same for constructors.  Windows only.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <new>
#include <utility>

#include "com/module.h"

namespace tamsorel {

// Where an object's memory comes from: the process heap, unless the caller
// of CreateIn hands in another (tests that make allocations fail).
struct ObjectMemory {
  void* (*allocate)(size_t bytes);
  void (*release)(void* block);
};
extern const ObjectMemory kProcessHeap;

// The result of `body`, or E_OUTOFMEMORY when it throws: every exception a
// method can meet comes from an allocation.
template <class Body>
HRESULT Guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

// One row of a class's interface table: an IID and how to reach the
// interface that answers it.  A default row ({}) ends the table.
template <class Class>
struct InterfaceRow {
  const IID* iid;
  IUnknown* (*cast)(Class* object);
};

template <class Class, class Interface>
InterfaceRow<Class> Row(const IID& iid) {
  return {&iid, [](Class* object) -> IUnknown* { return static_cast<Interface*>(object); }};
}

template <class Class, class... Interfaces>
class ComObject : public Interfaces... {
 public:
  // A class that may live inside an outer object says so.
  static constexpr bool kAggregatable = false;

  // A new object made from `args`, asked for `riid`.  With an outer object
  // the class must be aggregatable and `riid` must be IID_IUnknown (the
  // inner unknown is handed out); CLASS_E_NOAGGREGATION otherwise.
  template <class... Args>
  static HRESULT Create(IUnknown* outer, REFIID riid, void** ppv, Args&&... args) noexcept {
    return CreateIn(kProcessHeap, outer, riid, ppv, std::forward<Args>(args)...);
  }

  template <class... Args>
  static HRESULT CreateIn(const ObjectMemory& memory, IUnknown* outer, REFIID riid, void** ppv,
                          Args&&... args) noexcept {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (outer != nullptr && (!Class::kAggregatable || !IsEqualIID(riid, IID_IUnknown))) return CLASS_E_NOAGGREGATION;
    void* block = memory.allocate(sizeof(Class));
    if (block == nullptr) return E_OUTOFMEMORY;
    Class* object = nullptr;
    const HRESULT made = Guarded([&] {
      object = new (block) Class(std::forward<Args>(args)...);
      return S_OK;
    });
    if (FAILED(made)) {
      memory.release(block);
      return made;
    }
    ComObject& base = *object;
    base.memory_ = &memory;
    if (outer != nullptr) base.controlling_ = outer;
    // The creator's reference keeps the object alive while it is asked for
    // the interface; an object that does not serve it goes at once.
    const HRESULT hr = base.inner_.QueryInterface(riid, ppv);
    base.inner_.Release();
    return hr;
  }

  // IUnknown of every interface: the controlling unknown's.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) noexcept override {
    return controlling_->QueryInterface(riid, ppv);
  }
  ULONG STDMETHODCALLTYPE AddRef() noexcept override { return controlling_->AddRef(); }
  ULONG STDMETHODCALLTYPE Release() noexcept override { return controlling_->Release(); }

 protected:
  ComObject() = default;
  virtual ~ComObject() = default;
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

 private:
  // The object's own IUnknown: the identity of a plain object's references,
  // the non-delegating unknown of an aggregated one.
  class Inner final : public IUnknown {
   public:
    explicit Inner(ComObject* owner) : owner_(owner) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) noexcept override {
      if (ppv == nullptr) return E_POINTER;
      *ppv = nullptr;
      Class* object = static_cast<Class*>(owner_);
      IUnknown* found = nullptr;
      if (IsEqualIID(riid, IID_IUnknown)) {
        found = owner_->controlling_ == this ? Class::kInterfaces[0].cast(object) : this;
      } else {
        for (const InterfaceRow<Class>* row = Class::kInterfaces; row->iid != nullptr; ++row) {
          if (IsEqualIID(*row->iid, riid)) {
            found = row->cast(object);
            break;
          }
        }
      }
      if (found == nullptr) return E_NOINTERFACE;
      found->AddRef();
      *ppv = found;
      return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() noexcept override {
      return static_cast<ULONG>(InterlockedIncrement(&refs_));
    }
    ULONG STDMETHODCALLTYPE Release() noexcept override {
      const LONG left = InterlockedDecrement(&refs_);
      if (left == 0) owner_->Destroy();
      return static_cast<ULONG>(left);
    }

   private:
    ComObject* owner_;
    LONG refs_ = 1;  // the creator's
  };

  void Destroy() noexcept {
    Class* object = static_cast<Class*>(this);
    const ObjectMemory* memory = memory_;
    object->~Class();
    memory->release(object);
  }

  ModuleLock lock_;
  Inner inner_{this};
  IUnknown* controlling_ = &inner_;  // the outer object's unknown when aggregated; no reference held
  const ObjectMemory* memory_ = &kProcessHeap;
};

}  // namespace tamsorel
