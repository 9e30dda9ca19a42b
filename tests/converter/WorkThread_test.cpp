// A form's work on a thread of its own: what it sends runs on the form's
// thread in the order sent, with the pump between; what the work, the pump
// or a sent call raises comes back where it belongs; a pump that raises
// (the program ends) gives the work up at its next pause.
#include "converter/WorkThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/rtl/SysUtils.h"

namespace tk::test::converter {
namespace {

using ::converter::TWorkThread;

TEST(WorkThread, WhatTheWorkSendsRunsOnTheFormsThreadInOrderAndACallIsWaitedFor) {
  const std::thread::id form = std::this_thread::get_id();
  std::vector<std::string> seen;
  std::vector<std::thread::id> threads;
  int pumps = 0;
  std::thread::id workedOn;
  TWorkThread work([&] { ++pumps; });
  work.Start([&] {
    workedOn = std::this_thread::get_id();
    for (int i = 1; i <= 3; ++i)
      work.Post([&, i] {
        seen.push_back("shown " + std::to_string(i));
        threads.push_back(std::this_thread::get_id());
      });
    // A call returns once it ran: what it did is seen after it.
    std::string answer;
    work.Call([&] { answer = "ok"; });
    seen.push_back("answer " + answer);
    // Long enough for the form's thread to pump meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
  });
  work.Finish();
  EXPECT_EQ(seen, (std::vector<std::string>{"shown 1", "shown 2", "shown 3", "answer ok"}));
  for (const auto& t : threads) EXPECT_EQ(t, form);
  EXPECT_NE(workedOn, form);
  EXPECT_GT(pumps, 0);
}

TEST(WorkThread, FailuresComeBackWhereTheyBelong) {
  {
    SCOPED_TRACE("the work's own");
    TWorkThread work([] {});
    work.Start([] { throw std::runtime_error("TIFF Error: full"); });
    EXPECT_THROW(work.Finish(), std::runtime_error);
  }
  {
    SCOPED_TRACE("a call's, raised in the work");
    TWorkThread work([] {});
    std::string caught;
    work.Start([&] {
      try {
        work.Call([] { throw std::runtime_error("no"); });
      } catch (const std::runtime_error& e) {
        caught = e.what();
      }
    });
    work.Finish();
    EXPECT_EQ(caught, "no");
  }
  {
    SCOPED_TRACE("a sent item's, the work given up");
    TWorkThread work([] {});
    std::atomic<bool> abandoned{false};
    work.Start([&] {
      work.Post([] { throw rtl::EAbort(""); });
      try {
        for (;;) {
          work.Tick();
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      } catch (const rtl::EAbort&) {
        abandoned = true;
        throw;
      }
    });
    EXPECT_THROW(work.Finish(), rtl::EAbort);
    EXPECT_TRUE(abandoned);
  }
}

TEST(WorkThread, APumpThatRaisesGivesTheWorkUpEvenWhileItWaitsForACall) {
  std::atomic<int> pumps{0};
  TWorkThread work([&] {
    // The program ends at the second pump.
    if (++pumps == 2) throw rtl::EAbort("");
  });
  std::atomic<bool> given{false};
  work.Start([&] {
    try {
      for (;;) {
        work.Tick();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    } catch (const rtl::EAbort&) {
      given = true;
    }
    // A call after the work was given up does not wait for anyone.
    EXPECT_THROW(work.Call([] {}), rtl::EAbort);
  });
  EXPECT_THROW(work.Finish(), rtl::EAbort);
  EXPECT_TRUE(given);
}

}  // namespace
}  // namespace tk::test::converter
