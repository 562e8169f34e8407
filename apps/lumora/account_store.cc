#include "account_store.h"

#include <boost/json/serialize.hpp>

#include <stdexcept>

#include "private_file.h"
#include "protocol/json_record_codec.h"

namespace lumora::cli {

namespace json = boost::json;

std::filesystem::path AccountStore::defaultPath() { return configDirectory() / "account.json"; }

StoredAccount AccountStore::load() const {
  const json::object root = readJSONObject(file_);
  StoredAccount account;
  if (const json::value* url = root.if_contains("accountService"); url && url->is_string()) {
    account.serviceURL = std::string(url->as_string());
  }
  if (const json::value* tokens = root.if_contains("tokens"); tokens && !tokens->is_null()) {
    sdk::AuthTokens decoded;
    protocol::json_codec::Failure failure;
    if (!protocol::json_codec::decodeRecord(*tokens, decoded, failure)) {
      throw std::runtime_error("the tokens in " + file_.string() + " are damaged (" +
                               failure.describe() + ")");
    }
    account.tokens = std::move(decoded);
  }
  return account;
}

void AccountStore::save(const StoredAccount& account) {
  json::object root;
  if (account.serviceURL) root["accountService"] = *account.serviceURL;
  if (account.tokens) root["tokens"] = protocol::json_codec::encodeRecord(*account.tokens);
  writePrivately(file_, json::serialize(root) + "\n");
}

}  // namespace lumora::cli
