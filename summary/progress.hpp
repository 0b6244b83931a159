#pragma once

#include <string>

namespace kqz {

// Where a long loop reports how far it is. The window shows it in its progress
// panel and lets pending window events run on Pump(); the command line draws a
// bar on the terminal; tests record the calls.
class ProgressSink {
  public:
    virtual ~ProgressSink() = default;
    virtual void SetText(const std::string& text) = 0;
    virtual void SetMax(double max) = 0;
    virtual void SetValue(double value) = 0;
    virtual void Pump() = 0;
};

// For callers that do not show progress.
class NoProgress final : public ProgressSink {
  public:
    void SetText(const std::string&) override {}
    void SetMax(double) override {}
    void SetValue(double) override {}
    void Pump() override {}
};

}  // namespace kqz
