// IMAP folders on disk: the UIDs, flags and keywords of each folder, and the folder tree of one
// mailbox, all kept below the mailbox folder where POP3 never looks.
//
// Layout, for the mailbox folder M (the one POP3 serves):
//   M/*.txt                      INBOX: the messages POP3 lists; their names stay POP3's UIDL
//   M/.imap/INBOX.state          INBOX's UIDs and flags
//   M/.imap/folders/<enc>/*.txt  every other folder's messages, <enc> the folder name with
//                                every byte outside [A-Za-z0-9_-] written %XX (so "/" and ".."
//                                can never become path steps)
//   M/.imap/folders/<enc>/folder.state
//   M/.imap/subscriptions        one subscribed folder name a line
//   M/.imap/tmp/                 APPEND's messages while they arrive
//
// A state file is the whole truth about UIDs: "PVIMAP1 <uidvalidity> <uidnext>", then a line
// per message "<uid> <flag bits> <octets> <header octets> <body lines> <date> <file> [keyword
// ...]". It is only ever replaced whole: the new one is written beside it, flushed, renamed over
// it and the folder flushed, so a kill leaves either the old or the new state and every change
// that was answered OK is in it. Message files are never changed in place; a message file the
// state does not know (delivered by the spooler, or left by a kill between a copy and its state
// change) gets the next UID when the folder is next looked at, and a state line whose file is
// gone (POP3 deleted it) is dropped then: that is an EXPUNGE to the clients that see it.
// Octet counts are those of the message as IMAP sends it (every bare LF sent as CR LF).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace pv::imap {

enum FlagBits : uint8_t { kSeen = 1, kAnswered = 2, kFlagged = 4, kDeleted = 8, kDraft = 16 };

inline constexpr const char* kImapDir = ".imap";
inline constexpr const char* kStateFile = "folder.state";
inline constexpr const char* kInboxState = "INBOX.state";

struct MessageState {
    uint32_t uid = 0;
    uint8_t flags = 0;
    uint64_t size = 0;        // octets as sent
    uint64_t headerSize = 0;  // octets of the header, its empty line included
    uint64_t bodyLines = 0;
    int64_t date = 0;         // INTERNALDATE, seconds since 1970
    std::string file;         // name in the folder
    std::vector<std::string> keywords;
};

struct FolderState {
    uint32_t uidValidity = 0;
    uint32_t uidNext = 1;
    std::vector<MessageState> messages;  // ascending UIDs
};

// One folder, shared by every conversation of this process that has it open.
class CFolder {
public:
    // Keywords a folder may hold, and their length: clients invent a few dozen at most.
    static constexpr size_t kMaxKeywords = 64;
    static constexpr size_t kMaxKeywordLength = 64;

    // The folder whose messages lie in dir, its state in statePath.
    static std::shared_ptr<CFolder> Get(const std::string& dir, const std::string& statePath);
    CFolder(std::string dir, std::string statePath) : dir_(std::move(dir)), statePath_(std::move(statePath)) {}

    // Brings the state in line with the folder's files (see above) and saves it when that
    // changed anything; false (with the reason) when the folder or the state cannot be
    // written or read.
    bool Refresh(std::string* error = nullptr);
    FolderState Snapshot();
    // Applies change to a copy of the state and saves that; the state changes only when the
    // save succeeded. change may return false to make no change at all.
    bool Update(const std::function<bool(FolderState&)>& change, std::string* error = nullptr);
    // Gives message files already durable in the folder their UIDs and flags, in one state
    // change; their new UIDs in the same order, empty on failure. Only file, flags and keywords
    // of each entry are read.
    std::vector<uint32_t> Add(const std::vector<MessageState>& added, std::string* error = nullptr);

    const std::string& Dir() const { return dir_; }
    std::string PathOf(const std::string& file) const;

private:
    bool LoadLocked(std::string* error);
    bool SaveLocked(const FolderState& state, std::string* error);
    bool ReconcileLocked(FolderState& state, bool& changed, std::string* error);

    std::mutex mutex_;
    std::string dir_;
    std::string statePath_;
    FolderState state_;
    bool loaded_ = false;
};

// Measures a message file as IMAP sends it; false when it cannot be read.
bool MeasureMessage(const std::string& path, MessageState& m);

// The folder tree of one mailbox.
class CImapAccount {
public:
    // Folders one mailbox may hold besides INBOX; enough for any filing scheme, and a bound on
    // what a client can make the server create.
    static constexpr size_t kMaxFolders = 500;
    // Bytes in a folder name (its %XX form must fit a file name).
    static constexpr size_t kMaxFolderName = 80;
    static constexpr char kSeparator = '/';

    enum class Result { Ok, Invalid, Exists, Missing, Full, Refused, Failed };

    explicit CImapAccount(std::string mailboxDir);
    // Makes the IMAP folders on first use: Sent, Drafts, Trash, Junk and Archive, subscribed.
    bool Prepare(std::string* error);

    // A name a client may give a folder: printable ASCII, no "\", no wildcard, no empty, "." or
    // ".." step, not below INBOX, at most kMaxFolderName bytes.
    static bool ValidName(std::string_view name);
    static bool IsInbox(std::string_view name);
    // "\Sent" and the like for the folders made at first use; "" for others.
    static const char* SpecialUse(std::string_view name);

    // Every folder (INBOX first), by name.
    std::vector<std::string> List() const;
    bool Exists(const std::string& name) const;
    std::shared_ptr<CFolder> Open(const std::string& name) const;
    Result Create(const std::string& name);
    Result Delete(const std::string& name);
    Result Rename(const std::string& from, const std::string& to);
    std::vector<std::string> Subscriptions() const;
    bool Subscribe(const std::string& name, bool on);

    const std::string& TempDir() const { return tmpDir_; }
    std::string FolderDir(const std::string& name) const;

private:
    std::string mailboxDir_;
    std::string root_;
    std::string foldersDir_;
    std::string tmpDir_;
};

// %XX form of a folder name, and back ("" when not a valid form).
std::string EncodeFolderName(std::string_view name);
std::string DecodeFolderName(std::string_view encoded);

}  // namespace pv::imap
