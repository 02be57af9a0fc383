// The host layer's schedules that the worker and kernel tests run under.
#pragma once

#include <gtest/gtest.h>

#include "common/hostcuda/hostcuda.h"

// Runs `body` as on a device with one block at a time, then with blocks on
// four host workers and threads resumed in shuffled order, so that a lost
// atomic addition or a missing barrier shows.
template <typename Body>
void in_each_schedule(Body body) {
  for (int workers : {1, 4}) {
    SCOPED_TRACE(::testing::Message() << workers << " workers");
    hostcuda::set_workers(workers);
    hostcuda::set_resume_order(
        workers > 1 ? hostcuda::ResumeOrder::Shuffle : hostcuda::ResumeOrder::Forward, 11);
    body();
  }
}

// A fixture whose tests leave the layer's default schedule behind them.
class HostScheduleTest : public ::testing::Test {
 protected:
  void TearDown() override {
    hostcuda::set_workers(1);
    hostcuda::set_resume_order(hostcuda::ResumeOrder::Forward);
  }
};
