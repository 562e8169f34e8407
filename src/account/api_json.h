#pragma once

#include <string>

#include "account/http_message.h"
#include "account/records.h"
#include "protocol/account_records.h"
#include "protocol/json_record_codec.h"

namespace lumora::account {

// What the replies show of a user and of a device (never the provider's subject, nor whose a
// device is). Times are RFC 3339 texts in UTC with milliseconds.
protocol::AuthUser userReply(const User& user);
protocol::DeviceSummary deviceReply(const Device& device);
std::string rfc3339(Millis at);

// A reply of `status` whose body is `record` (a described record or a list of them) as the
// clients decode it.
template <class Record>
HttpResponse recordResponse(int status, const Record& record) {
  return jsonResponse(status, protocol::json_codec::encodeValue(record, {}));
}

}  // namespace lumora::account
