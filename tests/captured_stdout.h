// Standard output captured for the life of the object, so that a failed
// assertion leaves the next test able to capture its own.
#pragma once

#include <gtest/gtest.h>

#include <string>

class CapturedStdout
{
  public:
    CapturedStdout() { testing::internal::CaptureStdout(); }
    ~CapturedStdout()
    {
        if (!taken_)
            testing::internal::GetCapturedStdout();
    }
    CapturedStdout(const CapturedStdout &) = delete;
    CapturedStdout &operator=(const CapturedStdout &) = delete;
    std::string take()
    {
        taken_ = true;
        return testing::internal::GetCapturedStdout();
    }

  private:
    bool taken_ = false;
};
