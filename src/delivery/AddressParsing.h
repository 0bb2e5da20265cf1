// Addresses and headers of collected mail: a message fetched without an envelope gets its
// sender and recipients from its own headers.
#pragma once

#include <string>
#include <vector>

namespace pv {

// Removes quoted strings, parenthesised comments and every space from an address list.
std::string CleanAddressList(std::string text);
// Reduces one address, possibly with a display name or comments, to the bare address.
std::string NormaliseAddress(std::string text);

struct CollectedEnvelope {
    std::string sender;
    std::vector<std::string> recipients;  // lower case, each once, in header order
};
// Reads the header section of a message file (folded lines joined) and collects the sender
// and the recipients it names. False when the file cannot be read.
bool ReadCollectedHeaders(const std::string& path, CollectedEnvelope& envelope);

// Whether an automatic answer (a notice, a robot's reply) may go to this sender about this
// message. Never to an empty sender, to the failure-report sender "postvane", to this system's
// robot addresses, or about mail marked "Auto-Submitted" (other than "no") or "Precedence:"
// bulk, junk or list: robots answering robots loop for ever.
bool MayAnswerAutomatically(const std::string& sender, const std::string& messagePath,
                            const std::string& primaryDomain);

// Turns <q>.pop into the pair <q>.txt + <q>.wrk in the same folder. Recipients that are not
// local are dropped (collected mail is never relayed onward); with none left the message goes
// to "postmaster". False when nothing was done (the file stays for the next sweep).
bool ConvertCollectedMessage(const std::string& popPath);

}  // namespace pv
