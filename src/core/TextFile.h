// Text files as the spool keeps them: CR LF line ends on disk, LF or CR LF accepted on reading.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace pv {

class TextFileWriter {
public:
    TextFileWriter() = default;
    ~TextFileWriter();
    TextFileWriter(const TextFileWriter&) = delete;
    TextFileWriter& operator=(const TextFileWriter&) = delete;

    // Creates or truncates the file (mode 0600: mail is private). `exclusive` refuses to
    // replace an existing file.
    bool Open(const std::string& path, bool exclusive = false);
    bool Append(const std::string& path);  // opens for appending, creating the file
    bool IsOpen() const { return fd_ >= 0; }
    // The text and a CR LF.
    bool WriteLine(std::string_view line);
    // Raw bytes, as they are.
    bool Write(std::string_view bytes);
    // Flushes the buffer and fsyncs the file.
    bool Sync();
    // Flushes the buffer and starts writing the file to disk without waiting; a later fsync
    // of many such files then waits once for I/O that ran side by side.
    bool StartWriteback();
    // Flushes and closes; false if anything written was lost.
    bool Close();
    // Closes and removes the file (a write that failed half way).
    void Discard();
    bool Failed() const { return failed_; }
    int Errno() const { return errno_; }

private:
    bool Flush();
    int fd_ = -1;
    std::string path_;
    std::string buffer_;
    bool failed_ = false;
    int errno_ = 0;
};

class LineReader {
public:
    LineReader() = default;
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    bool Open(const std::string& path);
    bool IsOpen() const { return fd_ >= 0; }
    // The next line without its LF or CR LF. Lines longer than maxLength keep their first
    // maxLength characters; the rest of the line is skipped. False at the end of the file.
    bool ReadLine(std::string& line, size_t maxLength = SIZE_MAX);
    void Close();

private:
    bool Fill();
    int fd_ = -1;
    std::string buffer_;
    size_t pos_ = 0;
    bool eof_ = false;
};

// Whole files of lines.
bool WriteTextFile(const std::string& path, const std::vector<std::string>& lines, bool sync = false);
bool ReadTextFile(const std::string& path, std::vector<std::string>& lines);

// Test hook: told the path of every file or folder just flushed with fsync (TextFileWriter::Sync,
// SyncPath, SyncDirectory), on the flushing thread. Null, the default, turns it off.
using SyncObserver = void (*)(const std::string& path);
void SetSyncObserver(SyncObserver observer);
// Fuzz harnesses only: from now on every flush above (and StartWriteback) is skipped and
// reported as done, so that an input costs no disk round trips. Nothing in the hive or on a
// command line leads here; a server never calls it. There is no way back: a process that
// skipped one flush has promised nothing about its files.
void SkipFlushesForFuzzing();

bool SyncPath(const std::string& path);
// Flushes a file the caller holds open (not reported to the sync observer: it has no path).
bool SyncOpenFile(int fd);
// Flushes every file of paths (each reported to the sync observer): with several files on one
// file system, one syncfs covers them all with a single journal commit and cache flush instead
// of one each; otherwise each is flushed on its own. False if any may not be on disk.
bool SyncFiles(const std::vector<std::string>& paths);
bool SyncDirectoryOf(const std::string& path);  // the folder that holds path
bool SyncDirectory(const std::string& dir);
bool FileExists(const std::string& path);
// A second name for a file (a hard link); false when the file system has none, or when the
// new name exists.
bool LinkFile(const std::string& from, const std::string& to);
// Whether two paths hold the same bytes: the same file (a link), or equal contents.
bool SameFileContent(const std::string& a, const std::string& b);

}  // namespace pv
