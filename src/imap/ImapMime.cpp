#include "imap/ImapMime.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include "imap/ImapParse.h"

namespace pv::imap {

namespace {

// Header text kept per part for its fields, and line text kept for a boundary check: a
// delimiter line is "--" and at most 70 characters of boundary.
constexpr size_t kMaxPartHeader = 16 * 1024;
constexpr size_t kMaxLineKept = 1000;

std::string Lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(const std::string& s, const char* chars = " \t") {
    const size_t b = s.find_first_not_of(chars);
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(chars) - b + 1);
}

// The header's fields, unfolded.
void ReadFields(const std::string& header, MimePart& part) {
    std::vector<std::pair<std::string, std::string>> fields;
    size_t pos = 0;
    while (pos < header.size()) {
        size_t end = header.find('\n', pos);
        if (end == std::string::npos) end = header.size();
        const std::string line = header.substr(pos, end - pos);
        pos = end + 1;
        if ((line.empty() || line[0] == ' ' || line[0] == '\t')) {
            if (!fields.empty()) fields.back().second += line;
            continue;
        }
        const size_t colon = line.find(':');
        if (colon != std::string::npos) fields.emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
    }
    bool typed = false;
    for (const auto& [name, value] : fields) {
        if (strcasecmp(name.c_str(), "Content-Transfer-Encoding") == 0) part.encoding = Lower(Trim(value));
        if (strcasecmp(name.c_str(), "Content-ID") == 0) part.id = value;
        if (strcasecmp(name.c_str(), "Content-Description") == 0) part.description = value;
        if (strcasecmp(name.c_str(), "Content-Type") != 0 || typed) continue;
        typed = true;
        const size_t semi = value.find(';');
        const std::string mime = Trim(value.substr(0, semi));
        const size_t slash = mime.find('/');
        if (slash != std::string::npos && slash > 0) {
            part.type = Lower(Trim(mime.substr(0, slash)));
            part.subtype = Lower(Trim(mime.substr(slash + 1)));
        }
        // Parameters: name=value or name="quoted value", separated by ";".
        size_t p = semi;
        while (p != std::string::npos && p < value.size()) {
            size_t q = p + 1;
            bool quoted = false;
            while (q < value.size() && (quoted || value[q] != ';')) {
                if (value[q] == '"') quoted = !quoted;
                if (value[q] == '\\' && quoted) ++q;
                ++q;
            }
            const std::string param = value.substr(p + 1, q - p - 1);
            const size_t eq = param.find('=');
            if (eq != std::string::npos) {
                const std::string key = Lower(Trim(param.substr(0, eq)));
                std::string v = Trim(param.substr(eq + 1));
                if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
                if (!key.empty() && part.params.size() < 16) part.params.emplace_back(key, v);
            }
            p = q < value.size() ? q : std::string::npos;
        }
    }
    if (part.encoding.empty()) part.encoding = "7bit";
    if (part.type == "text" && std::none_of(part.params.begin(), part.params.end(),
                                            [](const auto& p) { return p.first == "charset"; })) {
        part.params.emplace_back("charset", "us-ascii");
    }
}

std::string Boundary(const MimePart& part) {
    for (const auto& [k, v] : part.params) {
        if (k == "boundary") return v;
    }
    return "";
}

}  // namespace

bool ParseMime(const std::string& path, MimePart& root) {
    root = MimePart{};
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct Open {
        MimePart* part;
        std::string boundary;
    };
    std::vector<Open> open;
    MimePart* current = &root;
    bool inHeader = true;
    std::string header;
    size_t parts = 1;
    uint64_t offset = 0;  // wire offset of the line being read
    std::string line;     // its first kMaxLineKept characters
    uint64_t lineWire = 0;
    bool lastCR = false;
    uint64_t lastLineEnd = 0;  // wire octets of the previous line's end

    auto endLine = [&](uint64_t ending) {
        // line holds the text (without CR at the end), lineWire its octets without the end.
        while (!line.empty() && line.back() == '\r') line.pop_back();
        const uint64_t start = offset;
        const uint64_t next = offset + lineWire + ending;
        if (inHeader && current) {
            if (line.empty()) {
                ReadFields(header, *current);
                current->bodyStart = next;
                inHeader = false;
                const std::string boundary = Boundary(*current);
                if (current->IsMultipart() && !boundary.empty() && open.size() < kMaxMimeDepth) {
                    open.push_back({current, boundary});
                    current = nullptr;  // the preamble
                } else if (current->IsMultipart()) {
                    current->type = "application", current->subtype = "octet-stream";  // no parts to be found
                }
            } else if (header.size() < kMaxPartHeader) {
                header += line + "\n";
            }
        } else {
            bool delimiter = false;
            if (line.size() > 2 && line[0] == '-' && line[1] == '-') {
                const std::string text = Trim(line.substr(2), " \t");
                for (size_t i = open.size(); i-- > 0 && !delimiter;) {
                    const std::string& b = open[i].boundary;
                    const bool closing = text == b + "--";
                    if (text != b && !closing) continue;
                    delimiter = true;
                    // The line end before a delimiter belongs to the delimiter.
                    const uint64_t end = start >= lastLineEnd ? start - lastLineEnd : start;
                    if (current && !inHeader) current->bodyEnd = std::max(current->bodyStart, end);
                    if (current && inHeader) current->bodyStart = current->bodyEnd = start;  // a part without a body
                    while (open.size() > i + 1) {
                        open.back().part->bodyEnd = std::max(open.back().part->bodyStart, end);
                        open.pop_back();
                    }
                    current = nullptr;
                    inHeader = false;
                    if (!closing && parts < kMaxMimeParts) {
                        auto& children = open[i].part->children;
                        children.emplace_back();
                        ++parts;
                        current = &children.back();
                        current->headerStart = next;
                        inHeader = true;
                        header.clear();
                    }
                }
            }
            if (!delimiter && current && !inHeader) ++current->lines;
        }
        offset = next;
        lastLineEnd = ending;
        line.clear();
        lineWire = 0;
    };

    char buffer[64 * 1024];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
        for (ssize_t i = 0; i < n; ++i) {
            const char c = buffer[i];
            if (c == '\n') {
                if (lastCR) --lineWire;  // the CR is part of the line end
                endLine(2);
                lastCR = false;
                continue;
            }
            ++lineWire;
            if (line.size() < kMaxLineKept) line.push_back(c);
            lastCR = c == '\r';
        }
    }
    const bool ok = n == 0;
    ::close(fd);
    if (lineWire > 0) endLine(0);
    if (inHeader && current) {
        ReadFields(header, *current);
        current->bodyStart = offset;
    }
    if (current && current->bodyEnd == 0) current->bodyEnd = offset;
    for (auto& o : open) {
        if (o.part->bodyEnd == 0) o.part->bodyEnd = offset;
    }
    if (root.bodyEnd == 0) root.bodyEnd = offset;
    return ok;
}

const MimePart* FindPart(const MimePart& root, const std::string& number) {
    const MimePart* part = &root;
    size_t pos = 0;
    while (pos <= number.size()) {
        size_t dot = number.find('.', pos);
        if (dot == std::string::npos) dot = number.size();
        const std::string step = number.substr(pos, dot - pos);
        if (step.empty() || step.size() > 4 || !std::all_of(step.begin(), step.end(), ::isdigit)) return nullptr;
        const size_t n = std::stoul(step);
        if (part->IsMultipart() && !part->children.empty()) {
            if (n == 0 || n > part->children.size()) return nullptr;
            part = &part->children[n - 1];
        } else if (n != 1 || part != &root) {
            return nullptr;  // a single part has only part 1, its body
        }
        pos = dot + 1;
    }
    return part;
}

std::string BodyStructure(const MimePart& part) {
    if (part.IsMultipart() && !part.children.empty()) {
        std::string out = "(";
        for (const auto& child : part.children) out += BodyStructure(child);
        return out + " " + Quote(part.subtype) + ")";
    }
    // An enclosed message is described as opaque data: its own structure is not opened.
    const bool opaque = part.IsMultipart() || (part.type == "message" && part.subtype == "rfc822");
    const std::string type = opaque ? "application" : part.type;
    const std::string subtype = opaque ? "octet-stream" : part.subtype;
    std::string params;
    for (const auto& [k, v] : part.params) params += (params.empty() ? "" : " ") + Quote(k) + " " + Quote(v);
    std::string out = "(" + Quote(type) + " " + Quote(subtype) + " " + (params.empty() ? "NIL" : "(" + params + ")") + " " +
                      (part.id.empty() ? "NIL" : Quote(part.id)) + " " +
                      (part.description.empty() ? "NIL" : Quote(part.description)) + " " + Quote(part.encoding) + " " +
                      std::to_string(part.bodyEnd - part.bodyStart);
    if (type == "text") out += " " + std::to_string(part.lines);
    return out + ")";
}

}  // namespace pv::imap
