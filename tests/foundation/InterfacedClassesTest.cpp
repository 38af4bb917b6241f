#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "foundation/appClasses.h"

namespace probrix {
namespace {

TEST(InterfacedObjects, ManualObjectSurvivesAnyNumberOfReleases) {
  TManualInterfacedObject object("log");
  IInterface* ref = &object;
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(ref->_AddRef(), -1);
    EXPECT_EQ(ref->_Release(), -1);
    EXPECT_EQ(ref->_Release(), -1);
  }
  auto* named = Supports<INamedTagged>(&object);
  ASSERT_NE(named, nullptr);
  named->SetTag(7);
  EXPECT_EQ(object.Tag(), 7);
  EXPECT_EQ(object.Name(), "log");
  EXPECT_EQ(Supports<IImplementor>(&object)->Implementor(), &object);
  EXPECT_EQ(Supports<IThreadCall>(static_cast<IInterface*>(&object)), nullptr);
}

class TCountedProbe : public TAutoInterfacedObject {
 public:
  explicit TCountedProbe(bool* Destroyed) : Destroyed_(Destroyed) {
    // A reference taken and dropped during construction must not destroy the object.
    _AddRef();
    _Release();
  }
  ~TCountedProbe() override { *Destroyed_ = true; }

 private:
  bool* Destroyed_;
};

TEST(InterfacedObjects, CountedObjectDiesWithItsLastReference) {
  bool destroyed = false;
  auto* probe = TAutoInterfacedObject::New<TCountedProbe>(&destroyed);
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(probe->RefCount(), 0);
  IInterface* a = probe;
  EXPECT_EQ(a->_AddRef(), 1);
  auto* tagged = Supports<ITagged>(probe);
  ASSERT_NE(tagged, nullptr);
  EXPECT_EQ(tagged->_AddRef(), 2);
  EXPECT_EQ(tagged->_Release(), 1);
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(a->_Release(), 0);
  EXPECT_TRUE(destroyed);
}

TEST(InterfacedObjects, UnnamedComponentsGetConsecutiveNames) {
  auto* a = TAutoInterfacedObject::New<TAutoInterfacedComponent>();
  auto* b = TAutoInterfacedObject::New<TAutoInterfacedComponent>();
  TManualInterfacedComponent c;
  TManualInterfacedComponent named("keep");
  const std::string prefix = "TAutoInterfacedComponent";
  ASSERT_EQ(a->Name().rfind(prefix, 0), 0u);
  ASSERT_EQ(b->Name().rfind(prefix, 0), 0u);
  const int na = std::stoi(a->Name().substr(prefix.size()));
  const int nb = std::stoi(b->Name().substr(prefix.size()));
  EXPECT_EQ(nb, na + 1);
  EXPECT_EQ(c.Name(), "TManualInterfacedComponent" + std::to_string(nb + 1));
  EXPECT_EQ(named.Name(), "keep");
  a->_AddRef();
  a->_Release();
  b->_AddRef();
  b->_Release();
}

class TRecordingListener : public TManualInterfacedObject,
                           public IThreadContextTaskExceptionEventListener {
 public:
  std::int32_t _AddRef() override { return -1; }
  std::int32_t _Release() override { return -1; }
  void OnTaskException(std::int32_t Task, std::int32_t Error) override {
    Calls.emplace_back(Task, Error);
  }
  std::vector<std::pair<std::int32_t, std::int32_t>> Calls;
};

TEST(InterfacedObjects, InterceptorNotifiesEveryListenerInOrder) {
  TThreadTaskErrorInterceptor interceptor;
  TRecordingListener first, second;
  interceptor.AddListener(&first);
  interceptor.AddListener(&second);
  interceptor.OnTaskException(3, 4);
  interceptor.RemoveListener(&first);
  interceptor.OnTaskException(5, 6);
  EXPECT_EQ(first.Calls, (std::vector<std::pair<std::int32_t, std::int32_t>>{{3, 4}}));
  EXPECT_EQ(second.Calls, (std::vector<std::pair<std::int32_t, std::int32_t>>{{3, 4}, {5, 6}}));
}

class TCall : public TAutoInterfacedObject, public IThreadCall {
 public:
  TCall(std::thread::id* RanOn, bool Throw, bool* Destroyed)
      : RanOn_(RanOn), Throw_(Throw), Destroyed_(Destroyed) {}
  ~TCall() override { *Destroyed_ = true; }
  std::int32_t _AddRef() override { return TAutoInterfacedObject::_AddRef(); }
  std::int32_t _Release() override { return TAutoInterfacedObject::_Release(); }
  void Execute() override {
    *RanOn_ = std::this_thread::get_id();
    if (Throw_) throw std::runtime_error("boom");
  }

 private:
  std::thread::id* RanOn_;
  bool Throw_;
  bool* Destroyed_;
};

TEST(ThreadDispatch, OneWindowPerThreadAndRequestsRunOnTheOwner) {
  TThreadsWndProc windows;
  TThreadWndProc& mine = windows.RegisterCurrentThread();
  EXPECT_EQ(&windows.GetWindow(std::this_thread::get_id()), &mine);
  EXPECT_EQ(windows.Count(), 1u);

  std::thread::id ranOn;
  bool callDestroyed = false, objectDestroyed = false;
  std::thread::id destroyedOn;
  struct TObject {
    bool* Flag;
    std::thread::id* On;
    ~TObject() {
      *Flag = true;
      *On = std::this_thread::get_id();
    }
  };
  std::thread poster([&] {
    TThreadWndProc& own = windows.RegisterCurrentThread();  // a new thread: one new window
    EXPECT_NE(&own, &mine);
    auto* call = TAutoInterfacedObject::New<TCall>(&ranOn, true, &callDestroyed);
    call->_AddRef();  // the reference handed over with the message
    mine.PostCall(call);
    mine.PostDestroy(std::unique_ptr<TObject>(new TObject{&objectDestroyed, &destroyedOn}));
  });
  poster.join();
  EXPECT_EQ(windows.Count(), 2u);
  EXPECT_FALSE(objectDestroyed);
  EXPECT_EQ(mine.ProcessMessages(), 2);  // the throwing call does not escape
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_TRUE(callDestroyed);
  EXPECT_TRUE(objectDestroyed);
  EXPECT_EQ(destroyedOn, std::this_thread::get_id());
  EXPECT_EQ(mine.WndProc(42, nullptr, nullptr), 0);
}

TEST(ThreadDispatch, ProcessWideInstances) {
  InitializeInterfacedClasses();
  ASSERT_NE(ThreadsWndProc(), nullptr);
  ASSERT_NE(ThreadTaskErrorInterceptor(), nullptr);
  EXPECT_EQ(ThreadsWndProc()->Count(), 1u);
  FinalizeInterfacedClasses();
  EXPECT_EQ(ThreadsWndProc(), nullptr);
}

}  // namespace
}  // namespace probrix
