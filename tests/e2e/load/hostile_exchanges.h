#pragma once

// Exchanges an unpaired peer can try against the agent, each with the answer the agent owes
// it. Each returns an empty string when the agent answered as it should, otherwise what it
// did instead. They open fresh connections of their own.

#include <cstdint>
#include <string>

#include "protocol/pairing_secret.h"

namespace lumora::load {

// On one control connection: a body that is not JSON, JSON nested far beyond any envelope,
// an envelope holding invalid UTF-8 (each "bad_request" / "decode failed", uncorrelated), and
// then a ping, which must still be answered ("authentication required"): bad frames do not
// cost the connection. (Wrong pairing proofs slow their address down; they have a case of
// their own.)
std::string malformedFramesAreAnsweredAndSurvived(std::uint16_t controlPort);

// A control frame announcing 4 GiB closes the connection.
std::string hugeLengthPrefixClosesTheControlConnection(std::uint16_t controlPort);

// A 1 MiB frame of Base64 before pairing closes the connection.
std::string oversizedFrameBeforePairingClosesTheConnection(std::uint16_t controlPort);

// On the media port, a ticket frame announcing 4 GiB, and one whose 64 bytes are not UTF-8,
// each close the connection.
std::string malformedTicketFramesCloseTheMediaConnection(std::uint16_t mediaPort);

// A newcomer still pairs and is served: waiting connections cannot lock a phone out.
std::string aNewPeerStillPairs(std::uint16_t controlPort, const protocol::PairingSecret& secret);

}  // namespace lumora::load
