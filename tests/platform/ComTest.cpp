// The COM base driven through its interfaces, as the host drives the product's objects:
// QueryInterface answers, reference counts, ComPtr ownership, the module lock count and the
// class factory table.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/Com.h"

namespace {

constexpr GUID TestGuid(BYTE last) {
  return MakeGuid(0x3F0C9A10, 0x1B2C, 0x4D5E, 0x8F, 0x01, 0x11, 0x22, 0x33, 0x44, 0x55, last);
}

struct IAnimal : IUnknown {
  static constexpr IID kIid = TestGuid(0x01);
  virtual int Legs() = 0;

 protected:
  ~IAnimal() = default;
};

struct IDog : IAnimal {
  static constexpr IID kIid = TestGuid(0x02);
  using Base = IAnimal;
  virtual int Bark() = 0;

 protected:
  ~IDog() = default;
};

struct IOwner : IUnknown {
  static constexpr IID kIid = TestGuid(0x03);
  virtual int OwnerId() = 0;

 protected:
  ~IOwner() = default;
};

constexpr IID kUnknownIid = TestGuid(0x04);
constexpr CLSID kDogClsid = TestGuid(0x10);

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

TEST(ComObjectTest, QueryInterfaceAnswersFromItsTable) {
  int destroyed = 0;
  IDog* dog = new Dog(&destroyed);
  void* out = nullptr;
  ASSERT_EQ(dog->QueryInterface(IID_IUnknown, &out), S_OK);
  auto* identity = static_cast<IUnknown*>(out);
  EXPECT_EQ(identity, static_cast<IUnknown*>(dog)) << "the own interface comes first";
  ASSERT_EQ(dog->QueryInterface(IAnimal::kIid, &out), S_OK);
  auto* animal = static_cast<IAnimal*>(out);
  EXPECT_EQ(animal, static_cast<IAnimal*>(dog)) << "a base interface answers with the derived one";
  ASSERT_EQ(dog->QueryInterface(IOwner::kIid, &out), S_OK);
  auto* owner = static_cast<IOwner*>(out);
  EXPECT_EQ(owner->OwnerId(), 7);
  // Identity: IUnknown from any interface is the same pointer.
  ASSERT_EQ(owner->QueryInterface(IID_IUnknown, &out), S_OK);
  EXPECT_EQ(out, identity);
  static_cast<IUnknown*>(out)->Release();

  for (const IID& iid : {kUnknownIid, IClassFactory::kIid}) {
    out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(dog->QueryInterface(iid, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr) << "a failed query must clear the out-parameter";
  }
  EXPECT_EQ(dog->QueryInterface(IDog::kIid, nullptr), E_POINTER);

  EXPECT_EQ(RefCount(dog), 4u) << "three queries held plus the creator's reference";
  identity->Release();
  animal->Release();
  EXPECT_EQ(owner->Release(), 1u);
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(dog->Release(), 0u);
  EXPECT_EQ(destroyed, 1);
}

TEST(ComObjectTest, ConcurrentAddRefAndReleaseKeepTheCountExact) {
  int destroyed = 0;
  IDog* dog = new Dog(&destroyed);
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([dog] {
      for (int i = 0; i < kRounds; ++i) {
        dog->AddRef();
        dog->AddRef();
        dog->Release();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(RefCount(dog), 1u + kThreads * kRounds);
  for (int i = 0; i < kThreads * kRounds; ++i) dog->Release();
  EXPECT_EQ(destroyed, 0);
  dog->Release();
  EXPECT_EQ(destroyed, 1);
}

TEST(ComPtrTest, CopyMoveAndAssignmentBalanceReferences) {
  int destroyed = 0;
  IDog* raw = new Dog(&destroyed);
  {
    ComPtr<IDog> first(raw);  // takes its own reference
    raw->Release();           // first now holds the only one
    ComPtr<IDog> copy(first);
    ComPtr<IDog> moved(std::move(copy));
    EXPECT_FALSE(copy);
    EXPECT_EQ(RefCount(raw), 2u);
    ComPtr<IDog> assigned;
    assigned = first;
    EXPECT_EQ(RefCount(raw), 3u);
    assigned = std::move(moved);
    EXPECT_EQ(RefCount(raw), 2u);

    // Self-assignment must neither drop nor add a reference.
    ComPtr<IDog>& alias = assigned;
    assigned = alias;
    assigned = std::move(alias);
    EXPECT_EQ(assigned.Get(), raw);
    EXPECT_EQ(RefCount(raw), 2u);

    IDog* handedOut = nullptr;
    ASSERT_EQ(assigned.CopyTo(&handedOut), S_OK);
    EXPECT_EQ(assigned.CopyTo(nullptr), E_POINTER);
    ComPtr<IDog> adopted;
    adopted.Attach(handedOut);  // adopts the reference CopyTo handed out
    EXPECT_EQ(RefCount(raw), 3u);
    adopted.Detach()->Release();
    assigned = nullptr;
    EXPECT_EQ(RefCount(raw), 1u);
    EXPECT_EQ(destroyed, 0);
  }
  EXPECT_EQ(destroyed, 1);
}

TEST(ComPtrTest, AsQueriesAnotherInterfaceAndClearsOnFailure) {
  int destroyed = 0;
  ComPtr<IDog> dog;
  dog.Attach(new Dog(&destroyed));
  ComPtr<IOwner> owner;
  ASSERT_EQ(dog.As(owner), S_OK);
  ComPtr<IAnimal> animal;
  ASSERT_EQ(owner.As(animal), S_OK);
  EXPECT_EQ(animal->Legs(), 4);
  EXPECT_EQ(RefCount(dog.Get()), 3u);

  // A failed As leaves the target empty and releases what it held.
  ComPtr<IClassFactory> factory;
  EXPECT_EQ(dog.As(factory), E_NOINTERFACE);
  EXPECT_FALSE(factory);
  ComPtr<IDog> empty;
  EXPECT_EQ(empty.As(owner), E_POINTER);
  EXPECT_FALSE(owner);
  EXPECT_EQ(RefCount(dog.Get()), 2u);

  // As onto itself while holding the only reference: it must not be released before the query.
  animal.Reset();
  ASSERT_EQ(dog.As(dog), S_OK);
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(dog->Bark(), 1);
  EXPECT_EQ(RefCount(dog.Get()), 1u);
  dog.Reset();
  EXPECT_EQ(destroyed, 1);
}

ComModule g_module;
int g_destroyed = 0;

HRESULT CreateDog(REFIID riid, void** ppv) {
  return CreateComInstance<Dog>(riid, ppv, &g_destroyed, &g_module);
}

const ClassEntry kClassTable[] = {{&kDogClsid, &CreateDog}};

TEST(ComModuleTest, ClassFactoryFromTable) {
  const ULONG base = g_module.GetLockCount();
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(GetClassObjectFromTable(kClassTable, &g_module, kDogClsid, IID_IClassFactory,
                                    factory.ReleaseAndGetVoidAddressOf()),
            S_OK);
  EXPECT_EQ(g_module.GetLockCount(), base + 1) << "a live factory keeps the library loaded";

  ComPtr<IOwner> owner;
  ASSERT_EQ(factory->CreateInstance(nullptr, IOwner::kIid, owner.ReleaseAndGetVoidAddressOf()),
            S_OK);
  EXPECT_EQ(RefCount(owner.Get()), 1u) << "CreateInstance must not keep the creator's reference";
  EXPECT_EQ(g_module.GetLockCount(), base + 2) << "each live object locks the module once";

  // An interface the class lacks: nothing handed out, and the object does not linger.
  const int destroyedBefore = g_destroyed;
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(factory->CreateInstance(nullptr, kUnknownIid, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(g_destroyed, destroyedBefore + 1);
  out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(factory->CreateInstance(owner.Get(), IID_IUnknown, &out), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(out, nullptr);

  // LockServer holds the module beyond the factory's life.
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  owner.Reset();
  factory.Reset();
  EXPECT_EQ(g_module.GetLockCount(), base + 1);
  ASSERT_EQ(GetClassObjectFromTable(kClassTable, &g_module, kDogClsid, IID_IUnknown,
                                    factory.ReleaseAndGetVoidAddressOf()),
            S_OK);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  factory.Reset();
  EXPECT_EQ(g_module.GetLockCount(), base);
}

TEST(ComModuleTest, ClassTableMisses) {
  const ULONG base = g_module.GetLockCount();
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(
      GetClassObjectFromTable(kClassTable, &g_module, TestGuid(0x11), IID_IClassFactory, &out),
      CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
  out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(GetClassObjectFromTable(kClassTable, &g_module, kDogClsid, IDog::kIid, &out),
            E_NOINTERFACE)
      << "the class object is a factory, not an instance";
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(g_module.GetLockCount(), base) << "the refused factory must be gone";
  EXPECT_EQ(GetClassObjectFromTable({}, &g_module, kDogClsid, IID_IClassFactory, &out),
            CLASS_E_CLASSNOTAVAILABLE);
}

}  // namespace
