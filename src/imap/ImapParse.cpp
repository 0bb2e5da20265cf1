#include "imap/ImapParse.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace pv::imap {

namespace {

// "{123}" or "{123+}" at the end of text: its size and kind.
bool LiteralMarker(std::string_view text, uint64_t& size, bool& nonSync) {
    if (text.size() < 3 || text.back() != '}') return false;
    size_t end = text.size() - 1;
    nonSync = text[end - 1] == '+';
    if (nonSync) --end;
    size_t begin = end;
    while (begin > 0 && std::isdigit(static_cast<unsigned char>(text[begin - 1]))) --begin;
    if (begin == end || begin == 0 || text[begin - 1] != '{' || end - begin > 12) return false;
    size = 0;
    for (size_t i = begin; i < end; ++i) size = size * 10 + static_cast<uint64_t>(text[i] - '0');
    return true;
}

}  // namespace

void CImapReader::Reset() {
    text_.clear();
    literals_.clear();
    segmentStart_ = 0;
    mode_ = Mode::Line;
    literalSize_ = literalLeft_ = 0;
    nonSync_ = false;
    chunk_ = {};
}

CImapReader::Event CImapReader::Next(std::string_view& input) {
    while (true) {
        if (mode_ == Mode::Stream && literalLeft_ == 0) {
            mode_ = Mode::Line;
            return Event::StreamEnd;
        }
        if (input.empty()) return Event::NeedMore;
        switch (mode_) {
            case Mode::Stopped: input = {}; return Event::NeedMore;
            case Mode::Discard: {
                const size_t lf = input.find('\n');
                if (lf == std::string_view::npos) {
                    input = {};
                    return Event::NeedMore;
                }
                input.remove_prefix(lf + 1);
                Reset();
                continue;
            }
            case Mode::Memory: {
                const size_t n = static_cast<size_t>(std::min<uint64_t>(literalLeft_, input.size()));
                literals_.back().append(input.substr(0, n));
                input.remove_prefix(n);
                literalLeft_ -= n;
                if (literalLeft_ == 0) mode_ = Mode::Line;
                continue;
            }
            case Mode::Stream: {
                const size_t n = static_cast<size_t>(std::min<uint64_t>(literalLeft_, input.size()));
                chunk_ = input.substr(0, n);
                input.remove_prefix(n);
                literalLeft_ -= n;
                return Event::Bytes;
            }
            case Mode::Line: break;
        }
        const size_t lf = input.find('\n');
        const size_t take = lf == std::string_view::npos ? input.size() : lf;
        if (text_.size() + take > kMaxCommandText) {
            // The rest of the line is read and dropped; the next line is a new command.
            text_.resize(std::min<size_t>(text_.size(), 64));  // enough for the tag of the answer
            mode_ = Mode::Discard;
            return Event::TooLong;
        }
        text_.append(input.substr(0, take));
        if (lf == std::string_view::npos) {
            input = {};
            return Event::NeedMore;
        }
        input.remove_prefix(lf + 1);
        if (!text_.empty() && text_.back() == '\r') text_.pop_back();
        // Only the line's own text can announce a literal: after one, the command goes on.
        if (text_.size() > segmentStart_ && LiteralMarker(text_, literalSize_, nonSync_)) {
            if (literals_.size() >= kMaxLiterals) {
                mode_ = Mode::Stopped;
                input = {};
                return Event::TooLong;
            }
            return Event::Literal;
        }
        return Event::Command;
    }
}

void CImapReader::TakeLiteral() {
    literals_.emplace_back();
    segmentStart_ = text_.size();
    literalLeft_ = literalSize_;  // the owner takes no more than kMaxMemoryLiteral
    mode_ = literalLeft_ ? Mode::Memory : Mode::Line;
}

void CImapReader::StreamLiteral() {
    literals_.emplace_back();
    segmentStart_ = text_.size();
    literalLeft_ = literalSize_;
    mode_ = Mode::Stream;
}

void CImapReader::RefuseLiteral() { Reset(); }

bool Token::IsAtom(std::string_view upper) const {
    if (kind != kAtom || text.size() != upper.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(text[i])) != upper[i]) return false;
    }
    return true;
}

namespace {

struct ArgParser {
    std::string_view text;
    size_t pos;
    const std::vector<std::string>& literals;
    size_t nextLiteral = 0;
    size_t tokens = 0;

    bool Parse(std::vector<Token>& out, size_t depth, bool inList) {
        while (true) {
            while (pos < text.size() && text[pos] == ' ') ++pos;
            if (pos >= text.size()) return !inList;
            const char c = text[pos];
            if (c == ')') {
                if (!inList) return false;
                ++pos;
                return true;
            }
            if (++tokens > kMaxTokens) return false;
            Token t;
            if (c == '(') {
                if (depth >= kMaxNesting) return false;
                ++pos;
                t.kind = Token::kList;
                if (!Parse(t.items, depth + 1, true)) return false;
            } else if (c == '"') {
                t.kind = Token::kString;
                ++pos;
                bool closed = false;
                while (pos < text.size()) {
                    char ch = text[pos++];
                    if (ch == '"') {
                        closed = true;
                        break;
                    }
                    if (ch == '\\') {
                        if (pos >= text.size()) return false;
                        ch = text[pos++];
                    }
                    t.text.push_back(ch);
                }
                if (!closed) return false;
            } else if (c == '{') {
                const size_t close = text.find('}', pos);
                if (close == std::string_view::npos || nextLiteral >= literals.size()) return false;
                t.kind = Token::kString;
                t.literal = true;
                t.text = literals[nextLiteral++];
                pos = close + 1;
            } else {
                // An atom runs to a blank or a parenthesis, except inside [ ] (BODY[HEADER.FIELDS (A B)]).
                int brackets = 0;
                const size_t begin = pos;
                while (pos < text.size()) {
                    const char ch = text[pos];
                    if (ch == '[') ++brackets;
                    if (ch == ']' && brackets > 0) --brackets;
                    if (brackets == 0 && (ch == ' ' || ch == '(' || ch == ')')) break;
                    if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) return false;
                    ++pos;
                }
                if (brackets != 0) return false;
                t.text.assign(text.substr(begin, pos - begin));
            }
            out.push_back(std::move(t));
            if (pos < text.size() && text[pos] != ' ' && text[pos] != ')') return false;
        }
    }
};

}  // namespace

bool ParseArguments(std::string_view text, size_t from, const std::vector<std::string>& literals,
                    std::vector<Token>& out) {
    out.clear();
    ArgParser parser{text, std::min(from, text.size()), literals};
    return parser.Parse(out, 0, false);
}

bool SplitCommand(std::string_view text, std::string& tag, std::string& word, size_t& rest) {
    const size_t blank = text.find(' ');
    if (blank == 0 || blank == std::string_view::npos) {
        tag.assign(text.substr(0, blank == std::string_view::npos ? text.size() : blank));
        word.clear();
        rest = text.size();
        return false;
    }
    tag.assign(text.substr(0, blank));
    for (unsigned char ch : tag) {
        if (ch <= 0x20 || ch >= 0x7F || std::strchr("(){%*\"\\+", ch)) return false;
    }
    size_t end = text.find(' ', blank + 1);
    if (end == std::string_view::npos) end = text.size();
    word.assign(text.substr(blank + 1, end - blank - 1));
    for (auto& ch : word) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    rest = end;
    return !word.empty();
}

bool ParseSequenceSet(std::string_view text, uint32_t star, std::vector<SeqRange>& out) {
    out.clear();
    if (text.empty()) return false;
    size_t pos = 0;
    auto number = [&](uint32_t& n) {
        if (pos < text.size() && text[pos] == '*') {
            ++pos;
            n = star;
            return true;
        }
        uint64_t value = 0;
        const size_t begin = pos;
        while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
            value = value * 10 + static_cast<uint64_t>(text[pos++] - '0');
            if (value > 0xFFFFFFFFu) return false;
        }
        n = static_cast<uint32_t>(value);
        return pos > begin && value != 0;
    };
    while (true) {
        SeqRange r;
        if (!number(r.lo)) return false;
        r.hi = r.lo;
        if (pos < text.size() && text[pos] == ':') {
            ++pos;
            if (!number(r.hi)) return false;
        }
        if (r.lo > r.hi) std::swap(r.lo, r.hi);
        if (out.size() >= kMaxRanges) return false;
        out.push_back(r);
        if (pos == text.size()) return true;
        if (text[pos++] != ',') return false;
    }
}

bool InSequenceSet(const std::vector<SeqRange>& set, uint32_t n) {
    for (const auto& r : set) {
        if (n >= r.lo && n <= r.hi) return true;
    }
    return false;
}

std::string Quote(std::string_view text) {
    bool literal = false;
    for (unsigned char c : text) {
        if (c == '\r' || c == '\n' || c == 0 || c >= 0x80) literal = true;
    }
    if (literal) return "{" + std::to_string(text.size()) + "}\r\n" + std::string(text);
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

}  // namespace pv::imap
