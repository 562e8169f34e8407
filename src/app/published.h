#pragma once

#include <functional>
#include <list>
#include <memory>
#include <utility>

namespace lumora::app {

// Ends a subscription when it goes (or on reset()).
class Subscription {
 public:
  Subscription() = default;
  explicit Subscription(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
  Subscription(Subscription&& other) noexcept : cancel_(std::exchange(other.cancel_, {})) {}
  Subscription& operator=(Subscription&& other) noexcept {
    if (this != &other) {
      reset();
      cancel_ = std::exchange(other.cancel_, {});
    }
    return *this;
  }
  ~Subscription() { reset(); }
  void reset() {
    if (auto cancel = std::exchange(cancel_, {})) cancel();
  }

 private:
  std::function<void()> cancel_;
};

// A value that tells its observers of every assignment, equal or not, in the order they
// subscribed. A new observer hears the current value at once.
//
// Threads: the owner's (the application's main executor) only; observers are called there,
// synchronously, and may subscribe or unsubscribe from inside the call.
template <class T>
class Published {
 public:
  using Observer = std::function<void(const T&)>;

  explicit Published(T initial = T()) : value_(std::move(initial)) {}
  Published(const Published&) = delete;
  Published& operator=(const Published&) = delete;

  const T& get() const { return value_; }

  void set(T value) {
    value_ = std::move(value);
    // Walks a snapshot, so an observer that unsubscribes (itself or another) is safe.
    auto observers = *observers_;
    for (const auto& observer : observers) {
      if (*observer) (*observer)(value_);
    }
  }

  [[nodiscard]] Subscription subscribe(Observer observer) {
    auto held = std::make_shared<Observer>(std::move(observer));
    observers_->push_back(held);
    std::weak_ptr<std::list<std::shared_ptr<Observer>>> list = observers_;
    Subscription subscription([list, held] {
      *held = nullptr;
      if (auto observers = list.lock()) observers->remove(held);
    });
    (*held)(value_);
    return subscription;
  }

 private:
  T value_;
  std::shared_ptr<std::list<std::shared_ptr<Observer>>> observers_ =
      std::make_shared<std::list<std::shared_ptr<Observer>>>();
};

}  // namespace lumora::app
