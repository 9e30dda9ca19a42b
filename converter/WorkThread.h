// Work of a form done on a thread of its own while the form's thread
// answers the windows. The work tells the form's thread what to show and
// asks it for what only it may do (a message box); the form's thread runs
// these in the order they came, with its pump of messages between them, and
// gives the work up when the program ends (the pump raises) or the object
// goes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace converter {

class TWorkThread {
 public:
  // pump: what the form's thread does while it waits (its messages); what
  // it raises gives the work up, and Finish raises it.
  explicit TWorkThread(std::function<void()> pump);
  // Gives the work up and waits for it.
  ~TWorkThread();
  TWorkThread(const TWorkThread&) = delete;
  TWorkThread& operator=(const TWorkThread&) = delete;

  void Start(std::function<void()> work);
  // On the form's thread: pumps, then waits for the work to end, running
  // what it sent and the pump meanwhile; raises what the work raised, or what the pump
  // or a sent call raised (the work given up then).
  void Finish();

  // From the work: fn runs on the form's thread, in turn; Post goes on at
  // once, Call waits for it and raises what it raised.
  void Post(std::function<void()> fn);
  void Call(std::function<void()> fn);
  // From the work: raises rtl::EAbort once the work was given up.
  void Tick();

 private:
  struct TReply {
    bool Done = false;
    std::exception_ptr Failure;
  };
  struct TItem {
    std::function<void()> Fn;
    std::shared_ptr<TReply> Reply;  // a Call's
  };
  void GiveUp();

  std::function<void()> pump_;
  std::thread thread_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<TItem> items_;
  bool done_ = false;
  std::exception_ptr failure_;
  std::atomic<bool> givenUp_{false};
};

}  // namespace converter
