// The MIME structure of a stored message, as IMAP's BODYSTRUCTURE and BODY[1.2] see it: parts,
// their types and where each part's header and body lie in the message as sent (octets
// counted with every bare LF as CR LF). Built by one pass over the file, line by line, never
// holding more than one line and each part's header fields.
//
// Bounds: at most kMaxParts parts and kMaxDepth nested multiparts are described; parts beyond
// them stay inside their parent's body. A message/rfc822 part is described as a leaf of its
// own type, not opened.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pv::imap {

struct MimePart {
    std::string type = "text";
    std::string subtype = "plain";
    std::vector<std::pair<std::string, std::string>> params;
    std::string id;
    std::string description;
    std::string encoding = "7bit";
    uint64_t headerStart = 0;
    uint64_t bodyStart = 0;
    uint64_t bodyEnd = 0;
    uint64_t lines = 0;
    std::vector<MimePart> children;  // a multipart's parts
    bool IsMultipart() const { return type == "multipart"; }
};

inline constexpr size_t kMaxMimeParts = 200;
inline constexpr size_t kMaxMimeDepth = 8;

// Reads the message file; false when it cannot be read.
bool ParseMime(const std::string& path, MimePart& root);
// The part a section number ("1", "2.1") names; null when there is none. For a message that
// is not multipart, "1" is its body.
const MimePart* FindPart(const MimePart& root, const std::string& number);
// BODYSTRUCTURE's text for the part.
std::string BodyStructure(const MimePart& part);

}  // namespace pv::imap
