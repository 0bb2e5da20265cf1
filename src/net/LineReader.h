// Line input shared by the text protocols: received bytes become lines at each LF.
//
// A bare CR never ends a line. Each conversation kind either drops every CR and LF byte or
// keeps them in the line it is handed. A line longer than the limit is not handed on: its
// buffered part is released at once, the rest is discarded up to the next LF, and the owner is
// told once, so a peer that never sends a line end cannot make the server hold its bytes.
//
// A conversation that must keep every byte of a long line (mail text on its way to a file) asks
// for it in pieces instead: with line ends kept, a line longer than the limit is handed on as it
// arrives in pieces of at most the limit, each but the last without the LF, so the owner tells a
// piece from a whole line by its end. CRs at the end of a piece wait for the next one: the CR of
// a CR LF never ends up alone at a piece's end. Memory stays bounded by the limit either way.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pv::net {

inline constexpr size_t kDefaultMaxLineBytes = 64 * 1024;

struct LineOptions {
    bool keepLineEnds = false;                 // CR and LF stay in the line handed on
    size_t maxLineBytes = kDefaultMaxLineBytes;  // bytes a line may hold before its LF
    bool longLinesInPieces = false;            // with keepLineEnds: hand long lines on in pieces
};

class CLineReader {
public:
    explicit CLineReader(LineOptions options = {}) : options_(options) {}

    void SetOptions(const LineOptions& options) { options_ = options; }
    const LineOptions& Options() const { return options_; }

    // Walks the bytes in order. onLine(std::string&) gets each complete line; onTooLong() is
    // called once for each line that passes the limit. Either returns false to stop early (the
    // conversation has ended); the bytes after that point are then dropped. Returns the number
    // of bytes consumed.
    template <class OnLine, class OnTooLong>
    size_t Feed(std::string_view bytes, OnLine&& onLine, OnTooLong&& onTooLong);

    // Bytes held for the line not yet complete.
    size_t BufferedBytes() const { return line_.size(); }
    // Whether the rest of an over-long line is being discarded.
    bool Discarding() const { return discarding_; }
    void Clear();

private:
    // Appends a piece of a line; false when that takes the line past the limit (the line is
    // then released and discarding starts).
    bool Append(std::string_view piece);
    // The buffered part of a long line as a piece, less the CRs at its end, which stay.
    std::string TakePiece();

    LineOptions options_;
    std::string line_;
    bool discarding_ = false;
};

template <class OnLine, class OnTooLong>
size_t CLineReader::Feed(std::string_view bytes, OnLine&& onLine, OnTooLong&& onTooLong) {
    size_t pos = 0;
    while (pos < bytes.size()) {
        const size_t lf = bytes.find('\n', pos);
        const size_t end = lf == std::string_view::npos ? bytes.size() : lf;
        if (options_.longLinesInPieces && options_.keepLineEnds) {
            std::string_view part = bytes.substr(pos, end - pos);
            while (line_.size() + part.size() > options_.maxLineBytes) {
                const size_t room = options_.maxLineBytes - line_.size();
                line_.append(part.substr(0, room));
                part.remove_prefix(room);
                std::string piece = TakePiece();
                if (!onLine(piece)) return end - part.size();
            }
            line_.append(part);
        } else if (!discarding_ && !Append(bytes.substr(pos, end - pos))) {
            if (!onTooLong()) return end;
        }
        if (lf == std::string_view::npos) return bytes.size();
        pos = lf + 1;
        if (discarding_) {
            discarding_ = false;  // the over-long line ends here and is not handed on
            continue;
        }
        if (options_.keepLineEnds) line_.push_back('\n');
        std::string line;
        line.swap(line_);
        if (!onLine(line)) return pos;
    }
    return pos;
}

}  // namespace pv::net
