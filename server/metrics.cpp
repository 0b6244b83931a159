#include "server/metrics.hpp"

#include <cstdio>

namespace kqz::server {
namespace {

std::string Number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", v);
    return text;
}

}  // namespace

void Metrics::Count(const std::string& method, int status, std::uint64_t bytes, double seconds) {
    std::lock_guard lock(mutex_);
    // Only the verbs the server answers become labels: a client cannot
    // grow the table with made-up methods.
    const bool known = method == "GET" || method == "POST" || method == "PUT" || method == "DELETE";
    ++requests_[{known ? method : std::string("other"), status}];
    bytes_ += bytes;
    ++durations_;
    durationSum_ += seconds;
    for (std::size_t i = 0; i < kBuckets.size(); ++i) {
        if (seconds <= kBuckets[i]) {
            ++buckets_[i];
            break;
        }
    }
}

std::string Metrics::Text(std::size_t liveSessions) const {
    std::lock_guard lock(mutex_);
    std::string out;
    out += "# HELP kqz_http_requests_total Requests answered, by HTTP method and status.\n";
    out += "# TYPE kqz_http_requests_total counter\n";
    for (const auto& [key, n] : requests_) {
        out += "kqz_http_requests_total{method=\"" + key.first + "\",status=\"" + std::to_string(key.second) +
               "\"} " + std::to_string(n) + "\n";
    }
    out += "# HELP kqz_http_response_bytes_total Bytes of answer bodies sent.\n";
    out += "# TYPE kqz_http_response_bytes_total counter\n";
    out += "kqz_http_response_bytes_total " + std::to_string(bytes_) + "\n";
    out += "# HELP kqz_http_request_duration_seconds Time from a request's head to the end of its answer.\n";
    out += "# TYPE kqz_http_request_duration_seconds histogram\n";
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < kBuckets.size(); ++i) {
        cumulative += buckets_[i];
        out += "kqz_http_request_duration_seconds_bucket{le=\"" + Number(kBuckets[i]) + "\"} " +
               std::to_string(cumulative) + "\n";
    }
    out += "kqz_http_request_duration_seconds_bucket{le=\"+Inf\"} " + std::to_string(durations_) + "\n";
    out += "kqz_http_request_duration_seconds_sum " + Number(durationSum_) + "\n";
    out += "kqz_http_request_duration_seconds_count " + std::to_string(durations_) + "\n";
    out += "# HELP kqz_sessions_live Sessions this server holds now.\n";
    out += "# TYPE kqz_sessions_live gauge\n";
    out += "kqz_sessions_live " + std::to_string(liveSessions) + "\n";
    out += "# HELP kqz_downloads_in_progress Documents answers being written now.\n";
    out += "# TYPE kqz_downloads_in_progress gauge\n";
    out += "kqz_downloads_in_progress " + std::to_string(downloads_.load()) + "\n";
    return out;
}

}  // namespace kqz::server
