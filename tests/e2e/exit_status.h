// How a viewer ended, as a GoogleTest assertion, for the tests that share session.h (the
// latency benchmark, which also does, has no GoogleTest).
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <optional>

namespace {

testing::AssertionResult exitedWith(const std::optional<int>& status, int code) {
  if (!status) return testing::AssertionFailure() << "still running";
  if (WIFSIGNALED(*status))
    return testing::AssertionFailure() << "killed by signal " << WTERMSIG(*status);
  if (WEXITSTATUS(*status) != code)
    return testing::AssertionFailure() << "exit status " << WEXITSTATUS(*status);
  return testing::AssertionSuccess();
}

}  // namespace
