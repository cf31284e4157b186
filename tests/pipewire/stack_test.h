// A test suite that shares one private PipeWire stack: started before its first test, stopped
// after its last, so each suite begins with a fresh server, session manager and graph.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "private_pipewire.h"

namespace quenwick::pwtest {

class StackTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    stack_ = PrivatePipeWire::start(&error);
    startError_ = error;
  }
  static void TearDownTestSuite() { stack_.reset(); }

  void SetUp() override { ASSERT_TRUE(stack_) << "no PipeWire stack: " << startError_; }

  static PrivatePipeWire& stack() { return *stack_; }
  static std::string file(const std::string& name) { return stack_->directory() + "/" + name; }

 private:
  static inline std::unique_ptr<PrivatePipeWire> stack_;
  static inline std::string startError_;
};

}  // namespace quenwick::pwtest
