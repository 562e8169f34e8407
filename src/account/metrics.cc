#include "account/metrics.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

namespace lumora::account {

namespace {

// Label values are escaped as the text format asks: backslash, double quote and newline.
std::string rendered(const MetricLabels& labels) {
  if (labels.empty()) return {};
  std::string text = "{";
  for (const auto& [name, value] : labels) {
    if (text.size() > 1) text += ',';
    text += name + "=\"";
    for (const char c : value) {
      if (c == '\\')
        text += "\\\\";
      else if (c == '"')
        text += "\\\"";
      else if (c == '\n')
        text += "\\n";
      else
        text += c;
    }
    text += '"';
  }
  return text + "}";
}

std::string number(double value) {
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  if (std::isnan(value)) return "NaN";
  char text[32];
  if (value == std::floor(value) && std::fabs(value) < 1e15) {
    std::snprintf(text, sizeof text, "%.0f", value);
  } else {
    std::snprintf(text, sizeof text, "%.9g", value);
  }
  return text;
}

// `labels` (rendered, maybe empty) with one more label added at its end.
std::string withLabel(const std::string& labels, const std::string& extra) {
  if (labels.empty()) return "{" + extra + "}";
  return labels.substr(0, labels.size() - 1) + "," + extra + "}";
}

}  // namespace

MetricsRegistry::Histogram::Histogram(std::vector<double> bounds)
    : bounds_(std::move(bounds)),
      buckets_(std::make_unique<std::atomic<std::uint64_t>[]>(bounds_.size() + 1)) {}

void MetricsRegistry::Histogram::observe(double value) {
  const auto bucket = std::lower_bound(bounds_.begin(), bounds_.end(), value) - bounds_.begin();
  buckets_[bucket].fetch_add(1, std::memory_order_relaxed);
  sum_.fetch_add(value, std::memory_order_relaxed);
  count_.fetch_add(1, std::memory_order_relaxed);
}

MetricsRegistry::Family& MetricsRegistry::family(std::string_view name, std::string_view help,
                                                 Type type) {
  auto found = families_.find(name);
  if (found == families_.end()) {
    found = families_.emplace(std::string(name), Family{}).first;
    found->second.type = type;
    found->second.help = std::string(help);
  }
  return found->second;
}

MetricsRegistry::Counter& MetricsRegistry::counter(std::string_view name, std::string_view help,
                                                   const MetricLabels& labels) {
  std::lock_guard guard(lock_);
  auto& series = family(name, help, Type::counter).counters[rendered(labels)];
  if (!series) series = std::make_unique<Counter>();
  return *series;
}

MetricsRegistry::Histogram& MetricsRegistry::histogram(std::string_view name, std::string_view help,
                                                       const std::vector<double>& bounds,
                                                       const MetricLabels& labels) {
  std::lock_guard guard(lock_);
  auto& series = family(name, help, Type::histogram).histograms[rendered(labels)];
  if (!series) series = std::make_unique<Histogram>(bounds);
  return *series;
}

void MetricsRegistry::gauge(std::string_view name, std::string_view help,
                            std::function<double()> read) {
  std::lock_guard guard(lock_);
  family(name, help, Type::gauge).read = std::move(read);
}

std::string MetricsRegistry::exposition() const {
  std::lock_guard guard(lock_);
  std::string text;
  for (const auto& [name, family] : families_) {
    static constexpr std::array<const char*, 3> kTypes = {"counter", "gauge", "histogram"};
    text += "# HELP " + name + " " + family.help + "\n";
    text += "# TYPE " + name + " " + kTypes[static_cast<int>(family.type)] + "\n";
    if (family.read) text += name + " " + number(family.read()) + "\n";
    for (const auto& [labels, counter] : family.counters) {
      text += name + labels + " " + number(counter->value()) + "\n";
    }
    for (const auto& [labels, histogram] : family.histograms) {
      std::uint64_t cumulative = 0;
      for (std::size_t i = 0; i <= histogram->bounds_.size(); ++i) {
        cumulative += histogram->buckets_[i].load(std::memory_order_relaxed);
        const double bound = i < histogram->bounds_.size()
                                 ? histogram->bounds_[i]
                                 : std::numeric_limits<double>::infinity();
        text += name + "_bucket" + withLabel(labels, "le=\"" + number(bound) + "\"") + " " +
                std::to_string(cumulative) + "\n";
      }
      text += name + "_sum" + labels + " " + number(histogram->sum_.load()) + "\n";
      text += name + "_count" + labels + " " + std::to_string(histogram->count_.load()) + "\n";
    }
  }
  return text;
}

ServiceMetrics::ServiceMetrics()
    : hostsJoined(registry.counter("lumora_relay_sessions_joined_total",
                                   "Relay sessions joined, per side of the room",
                                   {{"side", "host"}})),
      peersJoined(registry.counter("lumora_relay_sessions_joined_total",
                                   "Relay sessions joined, per side of the room",
                                   {{"side", "peer"}})),
      bytesHostToPeer(registry.counter("lumora_relay_bytes_total", "Bytes relayed, per direction",
                                       {{"direction", "host_to_peer"}})),
      bytesPeerToHost(registry.counter("lumora_relay_bytes_total", "Bytes relayed, per direction",
                                       {{"direction", "peer_to_host"}})),
      databaseSeconds(registry.histogram(
          "lumora_database_seconds", "Time of each database call, waiting for a worker included",
          {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5})) {}

void ServiceMetrics::countRequest(std::string_view route, int status) {
  registry
      .counter("lumora_http_requests_total", "HTTP requests answered, per route and status",
               {{"route", std::string(route)}, {"status", std::to_string(status)}})
      .add();
}

void ServiceMetrics::countSignIn(std::string_view provider, std::string_view outcome) {
  static constexpr std::array<std::string_view, 4> kProviders = {"apple", "dev", "github",
                                                                 "google"};
  const bool known = std::find(kProviders.begin(), kProviders.end(), provider) != kProviders.end();
  registry
      .counter("lumora_sign_ins_total", "Sign-in attempts, per provider and outcome",
               {{"provider", known ? std::string(provider) : "other"},
                {"outcome", std::string(outcome)}})
      .add();
}

void ServiceMetrics::countLimit(std::string_view limit) {
  registry
      .counter("lumora_limits_hit_total", "Requests and connections refused or closed by a bound",
               {{"limit", std::string(limit)}})
      .add();
}

std::string_view routeOf(std::string_view target) {
  const std::string_view path = target.substr(0, target.find('?'));
  static constexpr std::array<std::string_view, 11> kExact = {
      "/health",         "/healthz",           "/auth/providers", "/auth/login",
      "/auth/refresh",   "/auth/logout",       "/auth/me",        "/devices",
      "/devices/lookup", "/devices/challenge", "/relay/token"};
  for (const auto route : kExact) {
    if (path == route) return route;
  }
  if (path.starts_with("/devices/")) {
    return path.ends_with("/connection") ? "/devices/{id}/connection" : "/devices/{id}";
  }
  if (path.starts_with("/relay/")) return "/relay/{room}";
  if (path == "/app" || path.starts_with("/app/")) return "/app/";
  if (path.starts_with("/dev/")) return "/dev/";
  return "other";
}

}  // namespace lumora::account
