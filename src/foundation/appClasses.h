#pragma once

// Interfaced base classes: objects handed around through interfaces while their owner destroys
// them (manual), or destroyed by their last released reference (auto); listener lists, the task
// error interceptor, and a per-thread dispatcher that runs queued calls on the thread that owns
// it.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace probrix {

// The basic interface: add and release a reference. Querying for another interface is a
// dynamic_cast (Supports<I>).
class IInterface {
 public:
  virtual std::int32_t _AddRef() = 0;
  virtual std::int32_t _Release() = 0;

 protected:
  ~IInterface() = default;
};

template <class I, class T>
I* Supports(T* Object) {
  return dynamic_cast<I*>(Object);
}

class ITagged : public virtual IInterface {
 public:
  virtual std::int32_t Tag() const = 0;
  virtual void SetTag(std::int32_t Value) = 0;
};

class INamedTagged : public ITagged {
 public:
  virtual const std::string& Name() const = 0;
  virtual void SetName(const std::string& Value) = 0;
};

class TManualInterfacedObject;

// Returns the implementing object itself.
class IImplementor : public virtual IInterface {
 public:
  virtual TManualInterfacedObject* Implementor() = 0;
};

// References are not counted: adding and releasing report -1 and never destroy; the owner
// destroys the object, and references must not outlive it.
class TManualInterfacedObject : public INamedTagged, public IImplementor {
 public:
  explicit TManualInterfacedObject(const std::string& Name = {}) { Name_ = Name; }
  virtual ~TManualInterfacedObject() = default;
  TManualInterfacedObject(const TManualInterfacedObject&) = delete;
  TManualInterfacedObject& operator=(const TManualInterfacedObject&) = delete;

  std::int32_t _AddRef() override { return -1; }
  std::int32_t _Release() override { return -1; }

  void SetName(const std::string& Value) override { Name_ = Value; }
  const std::string& Name() const override { return Name_; }
  std::int32_t Tag() const override { return Tag_; }
  void SetTag(std::int32_t Value) override { Tag_ = Value; }
  TManualInterfacedObject* Implementor() override { return this; }

 protected:
  std::string Name_;
  std::int32_t Tag_ = 0;
};

// Counts references atomically and destroys itself when the last one is released. Create it
// with New<T>(...): the count is 1 while the constructor runs (references taken there cannot
// destroy it) and drops to 0 when construction has finished, so the caller must take a
// reference to keep it. Destroying one that is still referenced is a programming error.
class TAutoInterfacedObject : public TManualInterfacedObject {
 public:
  template <class T, class... Args>
  static T* New(Args&&... A) {
    T* object = new T(std::forward<Args>(A)...);
    object->RefCount_.fetch_sub(1);
    return object;
  }

  std::int32_t _AddRef() override { return RefCount_.fetch_add(1) + 1; }
  std::int32_t _Release() override;
  std::int32_t RefCount() const { return RefCount_.load(); }

 protected:
  explicit TAutoInterfacedObject(const std::string& Name = {}) : TManualInterfacedObject(Name) {}
  ~TAutoInterfacedObject() override;

 private:
  std::atomic<std::int32_t> RefCount_{1};
};

// The component classes reduced to named, tagged objects: an empty name becomes the class name
// followed by a process-wide counter ("TAutoInterfacedComponent0", then 1, ...).
class TManualInterfacedComponent : public TManualInterfacedObject {
 public:
  explicit TManualInterfacedComponent(const std::string& Name = {})
      : TManualInterfacedComponent("TManualInterfacedComponent", Name) {}
  void SetName(const std::string& Value) override;

 protected:
  TManualInterfacedComponent(const char* ClassName, const std::string& Name);

 private:
  const char* ClassName_;
};

class TAutoInterfacedComponent : public TAutoInterfacedObject {
 public:
  void SetName(const std::string& Value) override;

 protected:
  friend class TAutoInterfacedObject;
  explicit TAutoInterfacedComponent(const std::string& Name = {});
};

// The next generated component name for ClassName.
std::string GenerateComponentName(const char* ClassName);

// A list of listener interfaces (not owned).
class TEventsListeners : public TManualInterfacedObject {
 public:
  int Count() const { return static_cast<int>(Listeners_.size()); }
  IInterface* Items(int Index) const { return Listeners_.at(static_cast<std::size_t>(Index)); }
  void Add(IInterface* Listener) { Listeners_.push_back(Listener); }
  void Remove(IInterface* Listener);

 protected:
  std::vector<IInterface*> Listeners_;
};

// A listener of task errors: the task and its error, as two 32-bit values.
class IThreadContextTaskExceptionEventListener : public virtual IInterface {
 public:
  virtual void OnTaskException(std::int32_t Task, std::int32_t Error) = 0;
};

class TThreadContexTaskExceptionEventListeners : public TEventsListeners {
 public:
  // Calls every listener, in list order, with both arguments.
  void Notify(std::int32_t Task, std::int32_t Error);
};

// Fans task errors out to its listeners; the lock is held for a whole notification.
class TThreadTaskErrorInterceptor : public TManualInterfacedObject,
                                    public IThreadContextTaskExceptionEventListener {
 public:
  std::int32_t _AddRef() override { return -1; }
  std::int32_t _Release() override { return -1; }
  void OnTaskException(std::int32_t Task, std::int32_t Error) override;
  void AddListener(IThreadContextTaskExceptionEventListener* Listener);
  void RemoveListener(IThreadContextTaskExceptionEventListener* Listener);

 private:
  std::mutex Lock_;
  TThreadContexTaskExceptionEventListeners Listeners_;
};

// A call that a dispatcher runs on its thread (message 1024).
class IThreadCall : public virtual IInterface {
 public:
  virtual void Execute() = 0;
};

// Runs queued requests on the thread that owns it: message 1024 calls an interface's operation
// and releases the reference handed over; message 1025 destroys an object. Exceptions inside
// are swallowed. The owning thread runs ProcessMessages from its loop; WakeUp (when set) is
// called after each post so that loop notices (the window's event loop for the main thread).
class TThreadWndProc {
 public:
  // The two messages of the dispatcher.
  static constexpr int msgCall = 1024;
  static constexpr int msgDestroy = 1025;

  explicit TThreadWndProc(std::thread::id Owner) : Owner_(Owner) {}
  std::thread::id Owner() const { return Owner_; }

  void PostCall(IThreadCall* Call);                 // ownership of the reference passes
  void PostDestroy(std::function<void()> Destroy);  // the object's destruction
  template <class T>
  void PostDestroy(std::unique_ptr<T> Object) {
    PostDestroy([p = Object.release()] { delete p; });
  }
  void SetWakeUp(std::function<void()> WakeUp);

  // Runs what is queued; call on the owning thread. Returns how many requests ran.
  int ProcessMessages();
  // The window procedure: 1024 with an interface, 1025 with an object; others return 0.
  std::intptr_t WndProc(int Message, IThreadCall* Call, std::function<void()>* Destroy);

 private:
  struct TMessage {
    int Message;
    IThreadCall* Call;
    std::function<void()> Destroy;
  };
  std::thread::id Owner_;
  std::mutex Lock_;
  std::deque<TMessage> Queue_;
  std::function<void()> WakeUp_;
};

// One dispatcher per registered thread.
class TThreadsWndProc {
 public:
  // The dispatcher of ThreadId, registering a new one if there is none.
  TThreadWndProc& GetWindow(std::thread::id ThreadId);
  TThreadWndProc& RegisterCurrentThread() { return GetWindow(std::this_thread::get_id()); }
  std::size_t Count();

 private:
  std::mutex Lock_;
  std::vector<std::thread::id> ThreadIds_;
  std::vector<std::unique_ptr<TThreadWndProc>> Windows_;
};

// The process-wide dispatcher (main thread registered) and interceptor, created by
// InitializeInterfacedClasses at start-up and destroyed by FinalizeInterfacedClasses at exit.
void InitializeInterfacedClasses();
void FinalizeInterfacedClasses();
TThreadsWndProc* ThreadsWndProc();
TThreadTaskErrorInterceptor* ThreadTaskErrorInterceptor();

}  // namespace probrix
