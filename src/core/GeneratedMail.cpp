#include "core/GeneratedMail.h"

#include <atomic>
#include <cstdio>
#include <random>
#include <unistd.h>

#include "core/TextFile.h"

namespace pv {

namespace {

// Header lines looked at for the Message-ID of a message being answered.
constexpr int kMaxHeaderLines = 1000;
constexpr size_t kHeaderLineLimit = 998;
// A Message-ID longer than this is not carried into In-Reply-To (the line must stay short).
constexpr size_t kMaxMessageIdLength = 250;
// Source bytes per RFC 2047 encoded word: each becomes at most three characters, so a word
// stays within the 75 the standard allows.
constexpr size_t kEncodedWordBytes = 18;
constexpr size_t kMaxSubjectBytes = 900;

bool IsAscii(std::string_view text) {
    for (unsigned char c : text) {
        if (c >= 0x80) return false;
    }
    return true;
}

// A Subject value as "Q" encoded words, split only between whole UTF-8 characters.
std::vector<std::string> EncodedWords(std::string_view text) {
    static const char* kHex = "0123456789ABCDEF";
    std::vector<std::string> words;
    size_t i = 0;
    while (i < text.size()) {
        std::string word = "=?utf-8?Q?";
        size_t taken = 0;
        while (i < text.size()) {
            const unsigned char c = static_cast<unsigned char>(text[i]);
            // Never end a word before a continuation byte.
            if (taken >= kEncodedWordBytes && (c & 0xC0) != 0x80) break;
            if (c == ' ') {
                word += '_';
            } else if (c < 0x80 && c > 0x20 && c != '=' && c != '?' && c != '_') {
                word += static_cast<char>(c);
            } else {
                word += '=';
                word += kHex[c >> 4];
                word += kHex[c & 15];
            }
            ++taken;
            ++i;
        }
        words.push_back(word + "?=");
    }
    return words;
}

std::string Trimmed(std::string_view text) {
    size_t b = text.find_first_not_of(" \t");
    if (b == std::string_view::npos) return "";
    size_t e = text.find_last_not_of(" \t");
    return std::string(text.substr(b, e - b + 1));
}

bool IsMessageId(const std::string& id) {
    if (id.size() < 5 || id.size() > kMaxMessageIdLength || id.front() != '<' || id.back() != '>') return false;
    if (id.find('@') == std::string::npos) return false;
    for (size_t i = 1; i + 1 < id.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(id[i]);
        if (c <= 0x20 || c >= 0x7F || c == '<' || c == '>') return false;
    }
    return true;
}

}  // namespace

std::string ReplaceControlCharacters(std::string_view text, char replacement) {
    std::string clean(text);
    for (auto& c : clean) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) c = replacement;
    }
    return clean;
}

bool HasControlCharacters(std::string_view text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) return true;
    }
    return false;
}

std::string MailDate(std::time_t when) {
    std::tm tm{};
    localtime_r(&when, &tm);
    static const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    long offset = tm.tm_gmtoff / 60;
    const char sign = offset < 0 ? '-' : '+';
    if (offset < 0) offset = -offset;
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%s, %d %s %d %02d:%02d:%02d %c%02ld%02ld", kDays[tm.tm_wday], tm.tm_mday,
                  kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec, sign, offset / 60,
                  offset % 60);
    return stamp;
}

std::string MailDate() { return MailDate(std::time(nullptr)); }

std::string NewMessageId(const std::string& domain) {
    static std::atomic<unsigned long> counter{0};
    static const unsigned long long salt = [] {
        std::random_device device;
        return (static_cast<unsigned long long>(device()) << 32) ^ device();
    }();
    char id[128];
    std::snprintf(id, sizeof id, "<%lld.%ld.%lu.%016llx@", static_cast<long long>(std::time(nullptr)),
                  static_cast<long>(::getpid()), ++counter, salt);
    return id + (domain.empty() ? std::string("localhost") : domain) + ">";
}

std::vector<std::string> GeneratedHeaderLines(const GeneratedHeader& header) {
    std::vector<std::string> lines;
    const std::string name = ReplaceControlCharacters(header.fromName);
    std::string shown;
    if (IsAscii(name)) {
        shown = "\"";
        for (char c : name) {
            if (c == '"' || c == '\\') shown += '\\';
            shown += c;
        }
        shown += "\"";
    } else {
        for (const auto& word : EncodedWords(name)) shown += (shown.empty() ? "" : " ") + word;
    }
    lines.push_back("From: " + shown + " <" + ReplaceControlCharacters(header.fromAddress) + ">");
    // An address shown with non-ASCII text around it is shown bare instead.
    std::string to = ReplaceControlCharacters(header.to);
    if (!IsAscii(to)) {
        const size_t lt = to.find('<'), gt = to.find('>', lt == std::string::npos ? 0 : lt);
        to = lt != std::string::npos && gt != std::string::npos && IsAscii(to.substr(lt, gt - lt + 1))
                 ? to.substr(lt, gt - lt + 1)
                 : std::string("undisclosed-recipients:;");
    }
    // A local name alone is no address a reader's program can use: it gets the primary domain.
    if (to.find('@') == std::string::npos && to.find_first_of("<:;") == std::string::npos && !Trimmed(to).empty()) {
        to = Trimmed(to) + "@" + (header.domain.empty() ? std::string("localhost") : header.domain);
    }
    lines.push_back("To: " + to);
    // A header line stays within RFC 5322's 998 characters: a longer subject is cut.
    std::string subject = ReplaceControlCharacters(header.subject.substr(0, kMaxSubjectBytes));
    if (IsAscii(subject)) {
        lines.push_back("Subject: " + subject);
    } else {
        const auto words = EncodedWords(subject);
        for (size_t i = 0; i < words.size(); ++i) lines.push_back((i == 0 ? "Subject: " : " ") + words[i]);
    }
    for (const auto& line : header.extra) lines.push_back(ReplaceControlCharacters(line));
    lines.push_back("Date: " + MailDate());
    lines.push_back("Message-ID: " + NewMessageId(header.domain));
    if (IsMessageId(header.inReplyTo)) {
        lines.push_back("In-Reply-To: " + header.inReplyTo);
        lines.push_back("References: " + header.inReplyTo);
    }
    lines.push_back("MIME-Version: 1.0");
    lines.push_back("Content-Type: text/plain; charset=utf-8");
    lines.push_back("Content-Transfer-Encoding: 8bit");
    return lines;
}

std::string MessageIdOf(const std::string& messagePath) {
    LineReader in;
    if (!in.Open(messagePath)) return "";
    std::string line, value;
    bool inId = false;
    for (int n = 0; n < kMaxHeaderLines && in.ReadLine(line, kHeaderLineLimit) && !line.empty(); ++n) {
        if (inId && (line[0] == ' ' || line[0] == '\t')) {
            value += line;  // folded onto the next line
            continue;
        }
        if (inId) break;
        if (line.size() >= 11) {
            std::string name = line.substr(0, 11);
            for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (name == "message-id:") {
                value = line.substr(11);
                inId = true;
            }
        }
    }
    const std::string id = Trimmed(value);
    return IsMessageId(id) ? id : std::string();
}

}  // namespace pv
