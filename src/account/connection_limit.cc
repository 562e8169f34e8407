#include "account/connection_limit.h"

#include <mutex>
#include <unordered_map>

namespace lumora::account {

struct ConnectionLimit::Table {
  struct Count {
    std::size_t open = 0;
    bool refusing = false;
  };
  explicit Table(std::size_t bound) : perAddress(bound) {}

  const std::size_t perAddress;
  std::mutex lock;  // guards counts
  // Only addresses with open connections, so the table is as small as the connections are few.
  std::unordered_map<std::string, Count> counts;
};

ConnectionLimit::ConnectionLimit(std::size_t perAddress)
    : table_(std::make_shared<Table>(perAddress)) {}

std::size_t ConnectionLimit::perAddress() const { return table_->perAddress; }

ConnectionLimit::Admission ConnectionLimit::admit(const std::string& address) {
  std::lock_guard guard(table_->lock);
  Table::Count& count = table_->counts[address];
  if (table_->perAddress != 0 && count.open >= table_->perAddress) {
    const bool starts = !count.refusing;
    count.refusing = true;
    return {std::nullopt, starts};
  }
  ++count.open;
  return {Slot(table_, address), false};
}

ConnectionLimit::Slot::Slot(std::shared_ptr<Table> table, std::string address)
    : table_(std::move(table)), address_(std::move(address)) {}

ConnectionLimit::Slot::~Slot() {
  if (!table_) return;  // moved from
  std::lock_guard guard(table_->lock);
  auto found = table_->counts.find(address_);
  if (found != table_->counts.end() && --found->second.open == 0) table_->counts.erase(found);
}

}  // namespace lumora::account
