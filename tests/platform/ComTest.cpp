// The COM base driven through its interfaces, as the host drives the product's objects:
// QueryInterface answers, reference counts, ComPtr ownership, the module lock count and the
// class factory table.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/Com.h"

namespace {

struct IAnimal : IUnknown {
  static constexpr IID kIid =
      MakeGuid(0x3F0C9A10, 0x1B2C, 0x4D5E, 0x8F, 0x01, 0x11, 0x22, 0x33, 0x44, 0x55, 0x01);
  virtual int Legs() = 0;

 protected:
  ~IAnimal() = default;
};

struct IDog : IAnimal {
  static constexpr IID kIid =
      MakeGuid(0x3F0C9A10, 0x1B2C, 0x4D5E, 0x8F, 0x01, 0x11, 0x22, 0x33, 0x44, 0x55, 0x02);
  using Base = IAnimal;
  virtual int Bark() = 0;

 protected:
  ~IDog() = default;
};

struct IOwner : IUnknown {
  static constexpr IID kIid =
      MakeGuid(0x3F0C9A10, 0x1B2C, 0x4D5E, 0x8F, 0x01, 0x11, 0x22, 0x33, 0x44, 0x55, 0x03);
  virtual int OwnerId() = 0;

 protected:
  ~IOwner() = default;
};

constexpr IID kUnknownIid =
    MakeGuid(0x3F0C9A10, 0x1B2C, 0x4D5E, 0x8F, 0x01, 0x11, 0x22, 0x33, 0x44, 0x55, 0x04);
constexpr CLSID kDogClsid =
    MakeGuid(0x3F0C9A10, 0x1B2C, 0x4D5E, 0x8F, 0x01, 0x11, 0x22, 0x33, 0x44, 0x55, 0x10);
constexpr CLSID kMissingClsid =
    MakeGuid(0x3F0C9A10, 0x1B2C, 0x4D5E, 0x8F, 0x01, 0x11, 0x22, 0x33, 0x44, 0x55, 0x11);

class Dog final : public ComObject<IDog, IOwner> {
 public:
  explicit Dog(int* destroyed = nullptr, ComModule* module = nullptr)
      : ComObject(module), destroyed_(destroyed) {}
  int Legs() override { return 4; }
  int Bark() override { return 1; }
  int OwnerId() override { return 7; }

 private:
  ~Dog() override {
    if (destroyed_ != nullptr) ++*destroyed_;
  }
  int* destroyed_;
};

// Current reference count, read through the interface without changing it.
ULONG RefCount(IUnknown* p) {
  p->AddRef();
  return p->Release();
}

// ---- QueryInterface and reference counts ------------------------------------------------------

TEST(ComObjectTest, QueryInterfaceAnswersFromItsTable) {
  int destroyed = 0;
  IDog* dog = new Dog(&destroyed);

  void* out = nullptr;
  ASSERT_EQ(dog->QueryInterface(IID_IUnknown, &out), S_OK);
  IUnknown* identity = static_cast<IUnknown*>(out);
  EXPECT_EQ(identity, static_cast<IUnknown*>(dog)) << "IUnknown must be the first interface";

  ASSERT_EQ(dog->QueryInterface(IAnimal::kIid, &out), S_OK);
  auto* animal = static_cast<IAnimal*>(out);
  EXPECT_EQ(animal, static_cast<IAnimal*>(dog)) << "a base interface answers with the derived one";
  EXPECT_EQ(animal->Legs(), 4);

  ASSERT_EQ(dog->QueryInterface(IOwner::kIid, &out), S_OK);
  auto* owner = static_cast<IOwner*>(out);
  EXPECT_EQ(owner->OwnerId(), 7);
  EXPECT_NE(static_cast<void*>(owner), static_cast<void*>(dog));

  // COM identity: IUnknown from any interface is the same pointer, and every interface can
  // reach every other.
  ASSERT_EQ(owner->QueryInterface(IID_IUnknown, &out), S_OK);
  EXPECT_EQ(out, identity);
  static_cast<IUnknown*>(out)->Release();
  ASSERT_EQ(owner->QueryInterface(IDog::kIid, &out), S_OK);
  EXPECT_EQ(out, static_cast<void*>(dog));
  static_cast<IDog*>(out)->Release();

  out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(dog->QueryInterface(kUnknownIid, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr) << "a failed query must clear the out-parameter";
  out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(dog->QueryInterface(IClassFactory::kIid, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(dog->QueryInterface(IDog::kIid, nullptr), E_POINTER);

  // Three successful queries are held, plus the creator's reference.
  EXPECT_EQ(RefCount(dog), 4u);
  identity->Release();
  animal->Release();
  owner->Release();
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(dog->Release(), 0u);
  EXPECT_EQ(destroyed, 1);
}

TEST(ComObjectTest, ObjectDiesExactlyWhenTheLastReferenceGoes) {
  int destroyed = 0;
  IDog* dog = new Dog(&destroyed);
  EXPECT_EQ(dog->AddRef(), 2u);
  EXPECT_EQ(dog->AddRef(), 3u);
  EXPECT_EQ(dog->Release(), 2u);
  EXPECT_EQ(dog->Release(), 1u);
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(dog->Release(), 0u);
  EXPECT_EQ(destroyed, 1);
}

TEST(ComObjectTest, ConcurrentAddRefAndReleaseKeepTheCountExact) {
  int destroyed = 0;
  IDog* dog = new Dog(&destroyed);
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([dog] {
        for (int i = 0; i < kRounds; ++i) dog->AddRef();
      });
    }
    for (auto& thread : threads) thread.join();
  }
  EXPECT_EQ(RefCount(dog), 1u + kThreads * kRounds);
  {
    // Releases race with AddRef/Release pairs; the count must come back exactly.
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([dog, t] {
        for (int i = 0; i < kRounds; ++i) {
          if (t % 2 == 0) {
            dog->Release();
            dog->AddRef();
          }
          dog->Release();
        }
      });
    }
    for (auto& thread : threads) thread.join();
  }
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(RefCount(dog), 1u);
  dog->Release();
  EXPECT_EQ(destroyed, 1);
}

// ---- ComPtr -----------------------------------------------------------------------------------

TEST(ComPtrTest, CopyMoveAndAssignmentBalanceReferences) {
  int destroyed = 0;
  IDog* raw = new Dog(&destroyed);
  {
    ComPtr<IDog> first(raw);  // takes its own reference
    EXPECT_EQ(RefCount(raw), 2u);
    raw->Release();  // the creator's reference: first now holds the only one
    EXPECT_EQ(RefCount(raw), 1u);

    ComPtr<IDog> copy(first);
    EXPECT_EQ(RefCount(raw), 2u);
    ComPtr<IDog> moved(std::move(copy));
    EXPECT_FALSE(copy);
    EXPECT_EQ(moved.Get(), raw);
    EXPECT_EQ(RefCount(raw), 2u);

    ComPtr<IDog> assigned;
    assigned = first;
    EXPECT_EQ(RefCount(raw), 3u);
    assigned = std::move(moved);
    EXPECT_FALSE(moved);
    EXPECT_EQ(RefCount(raw), 2u);

    // Self-assignment must neither drop nor add a reference.
    ComPtr<IDog>& alias = assigned;
    assigned = alias;
    EXPECT_EQ(RefCount(raw), 2u);
    assigned = std::move(alias);
    EXPECT_EQ(assigned.Get(), raw);
    EXPECT_EQ(RefCount(raw), 2u);

    assigned = nullptr;
    EXPECT_EQ(RefCount(raw), 1u);
    EXPECT_EQ(destroyed, 0);
  }
  EXPECT_EQ(destroyed, 1);
}

TEST(ComPtrTest, AttachDetachAndOutParameters) {
  int destroyed = 0;
  ComPtr<IDog> dog;
  dog.Attach(new Dog(&destroyed));  // adopts the creator's reference
  EXPECT_EQ(RefCount(dog.Get()), 1u);

  IDog* handedOut = nullptr;
  ASSERT_EQ(dog.CopyTo(&handedOut), S_OK);
  EXPECT_EQ(handedOut, dog.Get());
  EXPECT_EQ(RefCount(dog.Get()), 2u);
  EXPECT_EQ(dog.CopyTo(nullptr), E_POINTER);

  ComPtr<IDog> other;
  other.Attach(handedOut);
  EXPECT_EQ(RefCount(dog.Get()), 2u);

  IDog* detached = other.Detach();
  EXPECT_FALSE(other);
  EXPECT_EQ(RefCount(detached), 2u);
  detached->Release();

  // ReleaseAndGetAddressOf drops what was held before handing out the slot.
  int destroyed2 = 0;
  ComPtr<IDog> slot;
  slot.Attach(new Dog(&destroyed2));
  IDog** address = slot.ReleaseAndGetAddressOf();
  EXPECT_EQ(destroyed2, 1);
  EXPECT_EQ(*address, nullptr);

  dog.Reset();
  EXPECT_EQ(destroyed, 1);
}

TEST(ComPtrTest, AsQueriesAnotherInterface) {
  int destroyed = 0;
  ComPtr<IDog> dog;
  dog.Attach(new Dog(&destroyed));

  ComPtr<IOwner> owner;
  ASSERT_EQ(dog.As(owner), S_OK);
  EXPECT_EQ(owner->OwnerId(), 7);
  EXPECT_EQ(RefCount(dog.Get()), 2u);

  ComPtr<IAnimal> animal;
  ASSERT_EQ(owner.As(animal), S_OK);
  EXPECT_EQ(animal->Legs(), 4);
  EXPECT_EQ(RefCount(dog.Get()), 3u);

  // A failed As leaves the target empty and releases what it held.
  ComPtr<IClassFactory> factory;
  EXPECT_EQ(dog.As(factory), E_NOINTERFACE);
  EXPECT_FALSE(factory);
  EXPECT_EQ(owner.As(animal), S_OK);
  EXPECT_EQ(RefCount(dog.Get()), 3u);

  ComPtr<IDog> empty;
  EXPECT_EQ(empty.As(owner), E_POINTER);
  EXPECT_FALSE(owner);
  EXPECT_EQ(RefCount(dog.Get()), 2u);
  animal.Reset();
  dog.Reset();
  EXPECT_EQ(destroyed, 1);
}

TEST(ComPtrTest, AsIntoItselfKeepsTheObjectAlive) {
  // The pointer holds the only reference; it must not be released before the query runs.
  int destroyed = 0;
  ComPtr<IDog> dog;
  dog.Attach(new Dog(&destroyed));
  ASSERT_EQ(dog.As(dog), S_OK);
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(dog->Bark(), 1);
  EXPECT_EQ(RefCount(dog.Get()), 1u);
  dog.Reset();
  EXPECT_EQ(destroyed, 1);
}

// ---- Module lock count and class factory ------------------------------------------------------

ComModule g_module;
int g_created = 0;
int g_destroyed = 0;

HRESULT CreateDog(REFIID riid, void** ppv) {
  const HRESULT hr = CreateComInstance<Dog>(riid, ppv, &g_destroyed, &g_module);
  if (SUCCEEDED(hr)) ++g_created;
  return hr;
}

const ClassEntry kClassTable[] = {{&kDogClsid, &CreateDog}};

TEST(ComModuleTest, ObjectsHoldTheModuleWhileAlive) {
  ComModule module;
  IDog* a = new Dog(nullptr, &module);
  IDog* b = new Dog(nullptr, &module);
  EXPECT_EQ(module.GetLockCount(), 2u);
  a->AddRef();
  EXPECT_EQ(module.GetLockCount(), 2u) << "references do not lock the module, objects do";
  a->Release();
  a->Release();
  EXPECT_EQ(module.GetLockCount(), 1u);
  b->Release();
  EXPECT_EQ(module.GetLockCount(), 0u);
}

TEST(ComModuleTest, ClassFactoryFromTable) {
  const ULONG base = g_module.GetLockCount();
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(GetClassObjectFromTable(kClassTable, &g_module, kDogClsid, IID_IClassFactory,
                                    factory.ReleaseAndGetVoidAddressOf()),
            S_OK);
  EXPECT_EQ(g_module.GetLockCount(), base + 1) << "a live factory keeps the library loaded";

  // The factory creates objects that lock the module in their turn.
  ComPtr<IOwner> owner;
  const int createdBefore = g_created;
  ASSERT_EQ(factory->CreateInstance(nullptr, IOwner::kIid, owner.ReleaseAndGetVoidAddressOf()),
            S_OK);
  EXPECT_EQ(g_created, createdBefore + 1);
  EXPECT_EQ(owner->OwnerId(), 7);
  EXPECT_EQ(RefCount(owner.Get()), 1u) << "CreateInstance must not keep the creator's reference";
  EXPECT_EQ(g_module.GetLockCount(), base + 2);

  // An interface the class lacks: nothing handed out, and the object does not linger.
  const int destroyedBefore = g_destroyed;
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(factory->CreateInstance(nullptr, kUnknownIid, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(g_destroyed, destroyedBefore + 1);

  // Aggregation is refused.
  out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(factory->CreateInstance(owner.Get(), IID_IUnknown, &out), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);

  // LockServer holds the module beyond the factory's life.
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(g_module.GetLockCount(), base + 3);
  owner.Reset();
  factory.Reset();
  EXPECT_EQ(g_module.GetLockCount(), base + 1);
  ComPtr<IClassFactory> again;
  ASSERT_EQ(GetClassObjectFromTable(kClassTable, &g_module, kDogClsid, IID_IUnknown,
                                    again.ReleaseAndGetVoidAddressOf()),
            S_OK);
  EXPECT_EQ(again->LockServer(FALSE), S_OK);
  again.Reset();
  EXPECT_EQ(g_module.GetLockCount(), base);
}

TEST(ComModuleTest, ClassTableMisses) {
  const ULONG base = g_module.GetLockCount();
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(GetClassObjectFromTable(kClassTable, &g_module, kMissingClsid, IID_IClassFactory, &out),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);

  out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(GetClassObjectFromTable(kClassTable, &g_module, kDogClsid, IDog::kIid, &out),
            E_NOINTERFACE)
      << "the class object is a factory, not an instance";
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(g_module.GetLockCount(), base) << "the refused factory must be gone";

  EXPECT_EQ(GetClassObjectFromTable(kClassTable, &g_module, kDogClsid, IID_IClassFactory, nullptr),
            E_POINTER);
  EXPECT_EQ(GetClassObjectFromTable({}, &g_module, kDogClsid, IID_IClassFactory, &out),
            CLASS_E_CLASSNOTAVAILABLE);
}

}  // namespace
