// What the tool prints, caught in the test's own process. For the unit
// tests only: it rides on GoogleTest's capture, which works on both builds.
#ifndef QUILLMERE_TESTS_SUPPORT_CAPTURE_H_
#define QUILLMERE_TESTS_SUPPORT_CAPTURE_H_

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

// Runs `body` and returns everything it wrote to standard output.
template <typename Body>
std::string captureStdout(Body&& body) {
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  body();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

#endif  // QUILLMERE_TESTS_SUPPORT_CAPTURE_H_
