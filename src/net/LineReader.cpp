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

void CLineReader::Clear() {
    std::string().swap(line_);
    discarding_ = false;
}

}  // namespace pv::net
