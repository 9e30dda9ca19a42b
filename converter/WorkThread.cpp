#include "converter/WorkThread.h"

#include <chrono>
#include <utility>

#include "platform/rtl/SysUtils.h"

namespace converter {

namespace {
// How long the form's thread waits for news of the work before it pumps.
constexpr auto kPumpSlice = std::chrono::milliseconds(20);
}  // namespace

TWorkThread::TWorkThread(std::function<void()> pump) : pump_(std::move(pump)) {}

TWorkThread::~TWorkThread() {
  GiveUp();
  if (thread_.joinable()) thread_.join();
}

void TWorkThread::Start(std::function<void()> work) {
  thread_ = std::thread([this, work = std::move(work)] {
    std::exception_ptr failure;
    try {
      work();
    } catch (...) {
      failure = std::current_exception();
    }
    std::lock_guard<std::mutex> guard(lock_);
    failure_ = failure;
    done_ = true;
    changed_.notify_all();
  });
}

void TWorkThread::GiveUp() {
  givenUp_ = true;
  std::lock_guard<std::mutex> guard(lock_);
  changed_.notify_all();
}

void TWorkThread::Finish() {
  try {
    // What the form's thread has to show before the work's first news.
    pump_();
    for (;;) {
      std::deque<TItem> items;
      bool done = false;
      {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait_for(guard, kPumpSlice, [this] { return done_ || !items_.empty(); });
        items.swap(items_);
        done = done_;
      }
      for (TItem& item : items) {
        if (!item.Reply) {
          item.Fn();
          continue;
        }
        std::exception_ptr failure;
        try {
          item.Fn();
        } catch (...) {
          failure = std::current_exception();
        }
        std::lock_guard<std::mutex> guard(lock_);
        item.Reply->Done = true;
        item.Reply->Failure = failure;
        changed_.notify_all();
      }
      // What the work sent before it ended is run first.
      if (done && items.empty()) break;
      pump_();
    }
  } catch (...) {
    GiveUp();
    if (thread_.joinable()) thread_.join();
    throw;
  }
  if (thread_.joinable()) thread_.join();
  if (std::exception_ptr failure = std::exchange(failure_, nullptr)) std::rethrow_exception(failure);
}

void TWorkThread::Post(std::function<void()> fn) {
  std::lock_guard<std::mutex> guard(lock_);
  items_.push_back({std::move(fn), nullptr});
  changed_.notify_all();
}

void TWorkThread::Call(std::function<void()> fn) {
  auto reply = std::make_shared<TReply>();
  std::unique_lock<std::mutex> guard(lock_);
  items_.push_back({std::move(fn), reply});
  changed_.notify_all();
  changed_.wait(guard, [&] { return reply->Done || givenUp_; });
  if (!reply->Done) throw rtl::EAbort("");
  if (reply->Failure) std::rethrow_exception(reply->Failure);
}

void TWorkThread::Tick() {
  if (givenUp_) throw rtl::EAbort("");
}

}  // namespace converter
