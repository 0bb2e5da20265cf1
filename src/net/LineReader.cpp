#include "net/LineReader.h"

#include <algorithm>

namespace pv::net {

bool CLineReader::Append(std::string_view piece) {
    size_t stored = piece.size();
    if (!options_.keepLineEnds) stored -= static_cast<size_t>(std::count(piece.begin(), piece.end(), '\r'));
    if (line_.size() + stored > options_.maxLineBytes) {
        std::string().swap(line_);  // give the memory back, not just the length
        discarding_ = true;
        return false;
    }
    if (options_.keepLineEnds) {
        line_.append(piece);
    } else {
        for (char c : piece) {
            if (c != '\r') line_.push_back(c);
        }
    }
    return true;
}

std::string CLineReader::TakePiece() {
    size_t keep = 0;
    while (keep < line_.size() && line_[line_.size() - 1 - keep] == '\r') ++keep;
    if (keep == line_.size()) keep = 0;  // a run of CRs as long as a piece goes on as it is
    std::string piece = line_.substr(0, line_.size() - keep);
    line_.erase(0, line_.size() - keep);
    return piece;
}

void CLineReader::Clear() {
    std::string().swap(line_);
    discarding_ = false;
}

}  // namespace pv::net
