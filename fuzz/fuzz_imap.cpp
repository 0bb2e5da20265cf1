// The IMAP command and literal reader, and the argument parser behind it: an input is what a
// client sends. It is read twice, in the receive sizes the input picks and one byte at a time,
// and both readings must give the same commands, literals and verdicts (a reader that depends
// on where receives split would mis-read a real client under load). Literals are taken into
// memory, streamed or refused by their size, as the conversation does; every argument atom is
// also tried as a sequence set. The input is then stored as a message and its MIME structure
// read, described and searched by part number, as FETCH BODYSTRUCTURE and BODY[1.2] do.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "imap/ImapMime.h"
#include "imap/ImapParse.h"

namespace {

using pv::imap::CImapReader;

// What one reading made of the input, as text.
std::string Read(std::string_view input, size_t chunk) {
    CImapReader reader;
    std::string log;
    while (!input.empty()) {
        std::string_view piece = input.substr(0, chunk);
        input.remove_prefix(piece.size());
        while (true) {
            const auto event = reader.Next(piece);
            if (event == CImapReader::Event::NeedMore) break;
            switch (event) {
                case CImapReader::Event::Literal: {
                    const uint64_t size = reader.LiteralSize();
                    log += "literal " + std::to_string(size) + (reader.NonSync() ? "+" : "") + "\n";
                    if (size > CImapReader::kMaxMemoryLiteral * 4) {
                        reader.RefuseLiteral();
                    } else if (size > 64) {
                        reader.StreamLiteral();
                    } else {
                        reader.TakeLiteral();
                    }
                    break;
                }
                case CImapReader::Event::Bytes: log.append(reader.Chunk()); break;
                case CImapReader::Event::StreamEnd: log += "\nstream end\n"; break;
                case CImapReader::Event::TooLong: log += reader.Stopped() ? "too long, stopped\n" : "too long\n"; break;
                case CImapReader::Event::Command: {
                    std::string tag, word;
                    size_t rest = 0;
                    const bool split = pv::imap::SplitCommand(reader.Text(), tag, word, rest);
                    log += "command [" + tag + "] [" + word + "] " + (split ? "" : "unsplit ");
                    std::vector<pv::imap::Token> args;
                    if (!pv::imap::ParseArguments(reader.Text(), rest, reader.Literals(), args)) {
                        log += "malformed\n";
                    } else {
                        for (const auto& a : args) {
                            log += pv::imap::Quote(a.text) + "/" + std::to_string(a.items.size()) + " ";
                            std::vector<pv::imap::SeqRange> set;
                            if (a.kind == pv::imap::Token::kAtom && pv::imap::ParseSequenceSet(a.text, 100, set)) {
                                log += pv::imap::InSequenceSet(set, 50) ? "(50) " : "(-) ";
                            }
                        }
                        log += "\n";
                    }
                    reader.Reset();
                    break;
                }
                case CImapReader::Event::NeedMore: break;
            }
        }
    }
    return log;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t chunk = size > 0 && (data[size - 1] & 3) == 0 ? data[size - 1] / 4 + 1 : 4096;
    const std::string whole = Read(input, chunk);
    const std::string bytewise = Read(input, 1);
    if (whole != bytewise) {
        std::fprintf(stderr, "the reader's result depends on how the input is split:\n%s\n---\n%s\n", whole.c_str(),
                     bytewise.c_str());
        std::abort();
    }
    pvfuzz::TraceSent(whole.data(), static_cast<int>(whole.size()));

    static const std::string message = [] {
        const char* tmp = std::getenv("TMPDIR");
        return std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz_imap_message.txt";
    }();
    if (!pvfuzz::WriteBytes(message, input)) return 0;
    pv::imap::MimePart root;
    pv::imap::ParseMime(message, root);
    std::string described = pv::imap::BodyStructure(root);
    for (const char* number : {"1", "2", "1.1", "1.2", "2.1", "3.1.2"}) {
        if (const auto* part = pv::imap::FindPart(root, number)) {
            if (part->bodyStart > part->bodyEnd || part->headerStart > part->bodyStart || part->bodyEnd > size * 2) {
                std::fprintf(stderr, "part %s lies outside the message\n", number);
                std::abort();
            }
            described += " " + std::to_string(part->bodyStart) + "-" + std::to_string(part->bodyEnd);
        }
    }
    pvfuzz::TraceSent(described.data(), static_cast<int>(described.size()));
    return 0;
}
