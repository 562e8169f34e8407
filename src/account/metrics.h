#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lumora::account {

using MetricLabels = std::vector<std::pair<std::string, std::string>>;

// Counters, gauges and histograms for the people who run the service, written out in the
// Prometheus text exposition format 0.0.4. A series is made on the first use of its label
// values, so callers keep those to small known sets (route names, statuses, providers): nothing
// a client chooses may become a label, or a client could make the service grow without bound.
//
// Threads: safe from any thread. A series, once made, lives as long as the registry and is
// updated without the lock: hot paths keep the reference.
class MetricsRegistry {
 public:
  class Counter {
   public:
    void add(double by = 1) { value_.fetch_add(by, std::memory_order_relaxed); }
    double value() const { return value_.load(std::memory_order_relaxed); }

   private:
    std::atomic<double> value_{0};
  };

  class Histogram {
   public:
    explicit Histogram(std::vector<double> bounds);
    void observe(double value);

   private:
    friend class MetricsRegistry;
    const std::vector<double> bounds_;                       // upper bounds, ascending
    std::unique_ptr<std::atomic<std::uint64_t>[]> buckets_;  // one more: +Inf
    std::atomic<double> sum_{0};
    std::atomic<std::uint64_t> count_{0};
  };

  Counter& counter(std::string_view name, std::string_view help, const MetricLabels& labels = {});
  Histogram& histogram(std::string_view name, std::string_view help,
                       const std::vector<double>& bounds, const MetricLabels& labels = {});
  // A gauge read when the metrics are written out (rooms open: the rooms know it already).
  void gauge(std::string_view name, std::string_view help, std::function<double()> read);

  // Every family in name order, as GET /metrics answers.
  std::string exposition() const;

 private:
  enum class Type { counter, gauge, histogram };
  struct Family {
    Type type = Type::counter;
    std::string help;
    std::map<std::string, std::unique_ptr<Counter>> counters;  // by rendered labels
    std::map<std::string, std::unique_ptr<Histogram>> histograms;
    std::function<double()> read;
  };
  Family& family(std::string_view name, std::string_view help, Type type);

  mutable std::mutex lock_;
  std::map<std::string, Family, std::less<>> families_;
};

// What the service counts, named once. Every instrument lives in `registry`.
class ServiceMetrics {
 public:
  ServiceMetrics();

  MetricsRegistry registry;

  // Relay sessions joined, per side, and the bytes relayed each way.
  MetricsRegistry::Counter& hostsJoined;
  MetricsRegistry::Counter& peersJoined;
  MetricsRegistry::Counter& bytesHostToPeer;
  MetricsRegistry::Counter& bytesPeerToHost;
  // Each database call, from the route's point of view (queueing for a worker included).
  MetricsRegistry::Histogram& databaseSeconds;

  // `route` is one of the service's route names, never a client's path.
  void countRequest(std::string_view route, int status);
  // `outcome`: "ok" or the refusal's error code; `provider` only when it is one the service
  // knows, "other" otherwise.
  void countSignIn(std::string_view provider, std::string_view outcome);
  // `limit` names the bound: "connections_per_address", "login_rate", "request_body", …
  void countLimit(std::string_view limit);
};

// The route name a request target is counted under: a fixed set, with ids and rooms folded.
std::string_view routeOf(std::string_view target);

}  // namespace lumora::account
