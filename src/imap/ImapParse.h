// The IMAP command reader: bytes from the client become commands, with their literals taken
// either into memory (small ones: a password, a search string) or handed on piece by piece (an
// APPEND's message, which goes to a file). Then the arguments of one command as a small tree.
//
// Limits, stated once:
// - A command's text, without its literals, holds at most kMaxCommandText bytes. Beyond that
//   the reader reports TooLong and drops the rest of the line: the conversation answers, and
//   the next line is a new command.
// - A command carries at most kMaxLiterals literals; beyond that the reader reports TooLong and
//   reads nothing more (the literals' bytes cannot be told from commands), and the
//   conversation answers and closes. A literal taken into memory holds at most
//   kMaxMemoryLiteral bytes. The owner decides at each announced literal whether to take it,
//   stream it or refuse it; the size of a streamed literal is the owner's limit (the message
//   size limit for APPEND).
// - Arguments nest at most kMaxNesting parentheses deep and number at most kMaxTokens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pv::imap {

class CImapReader {
public:
    static constexpr size_t kMaxCommandText = 64 * 1024;  // long UID sets fit several times over
    static constexpr size_t kMaxLiterals = 16;
    static constexpr size_t kMaxMemoryLiteral = 64 * 1024;

    enum class Event {
        NeedMore,   // every byte given was consumed
        Command,    // Text() and Literals() hold one whole command
        Literal,    // the text so far ends with a literal announcement: LiteralSize(), NonSync()
        Bytes,      // Chunk() is the next piece of a streamed literal
        StreamEnd,  // the streamed literal is complete; the command goes on
        TooLong,    // the command text or its literal count passed its limit: Stopped() says
                    // whether reading ended, or only the rest of the line is being dropped
    };

    // Consumes bytes from the front of input up to the next event and returns it.
    Event Next(std::string_view& input);
    // Answers a Literal event: into memory (at most kMaxMemoryLiteral), streamed as Bytes
    // events, or refused (the command is dropped; for a synchronising literal the client sends
    // nothing more of it).
    void TakeLiteral();
    void StreamLiteral();
    void RefuseLiteral();

    bool Stopped() const { return mode_ == Mode::Stopped; }
    const std::string& Text() const { return text_; }
    const std::vector<std::string>& Literals() const { return literals_; }
    uint64_t LiteralSize() const { return literalSize_; }
    bool NonSync() const { return nonSync_; }
    std::string_view Chunk() const { return chunk_; }
    // Starts afresh (after a command was handled, or after STARTTLS).
    void Reset();

private:
    enum class Mode { Line, Memory, Stream, Discard, Stopped };
    std::string text_;
    std::vector<std::string> literals_;
    size_t segmentStart_ = 0;  // where the text after the last literal begins
    Mode mode_ = Mode::Line;
    uint64_t literalSize_ = 0;
    uint64_t literalLeft_ = 0;
    bool nonSync_ = false;
    std::string_view chunk_;
};

// One argument: an atom (with any [section] and <partial> it carries), a string (quoted or
// literal), or a parenthesised list.
struct Token {
    enum Kind { kAtom, kString, kList } kind = kAtom;
    std::string text;
    std::vector<Token> items;
    bool literal = false;

    bool IsAtom(std::string_view upper) const;  // an atom, compared without regard to case
};

static constexpr size_t kMaxNesting = 16;
static constexpr size_t kMaxTokens = 20000;

// The arguments that follow position `from` of a command's text; literals are taken in order
// for each "{n}" marker. False when the text is not well formed.
bool ParseArguments(std::string_view text, size_t from, const std::vector<std::string>& literals,
                    std::vector<Token>& out);
// The tag and command word at the start of a command's text; false when there are none.
// `rest` is where the arguments start.
bool SplitCommand(std::string_view text, std::string& tag, std::string& word, size_t& rest);

// A sequence set ("1:3,5,7:*"): its ranges, each with lo <= hi, "*" standing for star (the
// highest number in use). False when malformed or when it has more than kMaxRanges ranges.
struct SeqRange {
    uint32_t lo = 0;
    uint32_t hi = 0;
};
static constexpr size_t kMaxRanges = 10000;
bool ParseSequenceSet(std::string_view text, uint32_t star, std::vector<SeqRange>& out);
bool InSequenceSet(const std::vector<SeqRange>& set, uint32_t n);

// A string for a reply: an atom-safe quoted string, or a literal when it holds CR, LF, NUL or
// bytes above 0x7F.
std::string Quote(std::string_view text);

}  // namespace pv::imap
