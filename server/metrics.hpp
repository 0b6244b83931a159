#pragma once

// What an operator's monitoring reads from a running server: requests by
// method and status, bytes sent, request durations as a histogram, and the
// gauges the server samples when asked. Written in the Prometheus text
// format.

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace kqz::server {

class Metrics {
  public:
    // Upper bounds of the duration histogram, in seconds.
    static constexpr std::array<double, 12> kBuckets{0.005, 0.01, 0.025, 0.05, 0.1,  0.25,
                                                     0.5,   1.0,  2.5,   5.0,  10.0, 30.0};

    // One answered request.
    void Count(const std::string& method, int status, std::uint64_t bytes, double seconds);

    // Documents answers being written now.
    void DownloadStarted() { ++downloads_; }
    void DownloadEnded() { --downloads_; }

    // The text of GET /metrics; `liveSessions` is sampled by the caller.
    std::string Text(std::size_t liveSessions) const;

  private:
    mutable std::mutex mutex_;
    std::map<std::pair<std::string, int>, std::uint64_t> requests_;
    std::array<std::uint64_t, kBuckets.size()> buckets_{};  // not cumulative
    std::uint64_t durations_ = 0;
    double durationSum_ = 0;
    std::uint64_t bytes_ = 0;
    std::atomic<std::int64_t> downloads_{0};
};

}  // namespace kqz::server
