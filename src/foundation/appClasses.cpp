#include "foundation/appClasses.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstdlib>

namespace probrix {

std::int32_t TAutoInterfacedObject::_Release() {
  const std::int32_t count = RefCount_.fetch_sub(1) - 1;
  if (count == 0) delete this;
  return count;
}

TAutoInterfacedObject::~TAutoInterfacedObject() {
  // Destroying an object that interface references still point to is a programming error.
  if (RefCount_.load() != 0) {
    std::fprintf(stderr, "Invalid pointer operation: destroying a referenced object\n");
    assert(false && "destroying a referenced TAutoInterfacedObject");
  }
}

namespace {
std::atomic<int> ComponentCounter{0};
}  // namespace

std::string GenerateComponentName(const char* ClassName) {
  return std::string(ClassName) + std::to_string(ComponentCounter.fetch_add(1));
}

TManualInterfacedComponent::TManualInterfacedComponent(const char* ClassName,
                                                       const std::string& Name)
    : ClassName_(ClassName) {
  SetName(Name);
}

void TManualInterfacedComponent::SetName(const std::string& Value) {
  TManualInterfacedObject::SetName(Value.empty() ? GenerateComponentName(ClassName_) : Value);
}

TAutoInterfacedComponent::TAutoInterfacedComponent(const std::string& Name) { SetName(Name); }

void TAutoInterfacedComponent::SetName(const std::string& Value) {
  TAutoInterfacedObject::SetName(Value.empty() ? GenerateComponentName("TAutoInterfacedComponent")
                                               : Value);
}

void TEventsListeners::Remove(IInterface* Listener) { std::erase(Listeners_, Listener); }

void TThreadContexTaskExceptionEventListeners::Notify(std::int32_t Task, std::int32_t Error) {
  for (IInterface* listener : Listeners_)
    if (auto* l = dynamic_cast<IThreadContextTaskExceptionEventListener*>(listener))
      l->OnTaskException(Task, Error);
}

void TThreadTaskErrorInterceptor::OnTaskException(std::int32_t Task, std::int32_t Error) {
  std::lock_guard lock(Lock_);
  Listeners_.Notify(Task, Error);
}

void TThreadTaskErrorInterceptor::AddListener(IThreadContextTaskExceptionEventListener* Listener) {
  std::lock_guard lock(Lock_);
  Listeners_.Add(Listener);
}

void TThreadTaskErrorInterceptor::RemoveListener(
    IThreadContextTaskExceptionEventListener* Listener) {
  std::lock_guard lock(Lock_);
  Listeners_.Remove(Listener);
}

void TThreadWndProc::PostCall(IThreadCall* Call) {
  std::function<void()> wake;
  {
    std::lock_guard lock(Lock_);
    Queue_.push_back({msgCall, Call, {}});
    wake = WakeUp_;
  }
  if (wake) wake();
}

void TThreadWndProc::PostDestroy(std::function<void()> Destroy) {
  std::function<void()> wake;
  {
    std::lock_guard lock(Lock_);
    Queue_.push_back({msgDestroy, nullptr, std::move(Destroy)});
    wake = WakeUp_;
  }
  if (wake) wake();
}

void TThreadWndProc::SetWakeUp(std::function<void()> WakeUp) {
  std::lock_guard lock(Lock_);
  WakeUp_ = std::move(WakeUp);
}

int TThreadWndProc::ProcessMessages() {
  int ran = 0;
  for (;;) {
    TMessage m;
    {
      std::lock_guard lock(Lock_);
      if (Queue_.empty()) return ran;
      m = std::move(Queue_.front());
      Queue_.pop_front();
    }
    WndProc(m.Message, m.Call, &m.Destroy);
    ++ran;
  }
}

std::intptr_t TThreadWndProc::WndProc(int Message, IThreadCall* Call,
                                      std::function<void()>* Destroy) {
  try {
    if (Message == msgCall && Call != nullptr) {
      try {
        Call->Execute();
      } catch (...) {
        Call->_Release();
        throw;
      }
      Call->_Release();
    } else if (Message == msgDestroy && Destroy != nullptr && *Destroy) {
      (*Destroy)();
    }
  } catch (...) {
    // A failing request must not take the dispatching thread down.
  }
  return 0;
}

TThreadWndProc& TThreadsWndProc::GetWindow(std::thread::id ThreadId) {
  std::lock_guard lock(Lock_);
  const auto it = std::find(ThreadIds_.begin(), ThreadIds_.end(), ThreadId);
  if (it != ThreadIds_.end()) return *Windows_[static_cast<std::size_t>(it - ThreadIds_.begin())];
  ThreadIds_.push_back(ThreadId);
  Windows_.push_back(std::make_unique<TThreadWndProc>(ThreadId));
  return *Windows_.back();
}

std::size_t TThreadsWndProc::Count() {
  std::lock_guard lock(Lock_);
  return Windows_.size();
}

namespace {
std::unique_ptr<TThreadsWndProc> GlobalThreadsWndProc;
std::unique_ptr<TThreadTaskErrorInterceptor> GlobalInterceptor;
}  // namespace

void InitializeInterfacedClasses() {
  GlobalThreadsWndProc = std::make_unique<TThreadsWndProc>();
  GlobalThreadsWndProc->RegisterCurrentThread();
  GlobalInterceptor = std::make_unique<TThreadTaskErrorInterceptor>();
}

void FinalizeInterfacedClasses() {
  GlobalInterceptor.reset();
  GlobalThreadsWndProc.reset();
}

TThreadsWndProc* ThreadsWndProc() { return GlobalThreadsWndProc.get(); }
TThreadTaskErrorInterceptor* ThreadTaskErrorInterceptor() { return GlobalInterceptor.get(); }

}  // namespace probrix
