#include "agent_resolution.h"

#include "failure.h"

namespace lumora::cli {

protocol::PairingPayload parseLink(const std::string& link) {
  auto payload = protocol::PairingPayload::fromURL(link);
  if (!payload) {
    throw Failure("invalid pairing link: expected lumora://pair?host=…&cp=…&mp=…&code=…");
  }
  return *payload;
}

protocol::PairingPayload resolveAgent(const std::optional<std::string>& link,
                                      const std::optional<std::string>& environmentLink,
                                      const AgentStore& store,
                                      const std::optional<std::string>& name) {
  if (link) return parseLink(*link);
  if (environmentLink && !environmentLink->empty() && !name) return parseLink(*environmentLink);
  std::optional<protocol::PairingPayload> stored;
  try {
    stored = store.find(name);
  } catch (const std::exception& e) {
    throw Failure(e.what());
  }
  if (stored) return *stored;
  if (name) throw Failure("no agent named '" + *name + "' in " + store.path().string());
  throw Failure("no agent paired: run `lumora pair LINK` first, or pass --link LINK");
}

}  // namespace lumora::cli
