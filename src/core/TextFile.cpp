#include "core/TextFile.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pv {

namespace {
constexpr size_t kWriteBuffer = 64 * 1024;
constexpr size_t kReadChunk = 64 * 1024;

std::atomic<SyncObserver> g_syncObserver {nullptr};
// Set only by the fuzz harnesses (SkipFlushesForFuzzing); nothing in the configuration reaches it.
std::atomic<bool> g_skipFlushes {false};
bool SkippingFlushes() { return g_skipFlushes.load(std::memory_order_relaxed); }

void Synced(const std::string& path) {
    if (SyncObserver observer = g_syncObserver.load(std::memory_order_acquire)) observer(path);
}
}  // namespace

void SetSyncObserver(SyncObserver observer) { g_syncObserver.store(observer, std::memory_order_release); }

void SkipFlushesForFuzzing() { g_skipFlushes.store(true, std::memory_order_relaxed); }

TextFileWriter::~TextFileWriter() { Close(); }

bool TextFileWriter::Open(const std::string& path, bool exclusive) {
    Close();
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL : O_TRUNC);
    fd_ = ::open(path.c_str(), flags, 0600);
    path_ = path;
    failed_ = fd_ < 0;
    errno_ = failed_ ? errno : 0;
    return !failed_;
}

bool TextFileWriter::Append(const std::string& path) {
    Close();
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    path_ = path;
    failed_ = fd_ < 0;
    errno_ = failed_ ? errno : 0;
    return !failed_;
}

bool TextFileWriter::Write(std::string_view bytes) {
    if (fd_ < 0 || failed_) return false;
    buffer_.append(bytes);
    return buffer_.size() < kWriteBuffer || Flush();
}

bool TextFileWriter::WriteLine(std::string_view line) {
    if (fd_ < 0 || failed_) return false;
    buffer_.append(line);
    buffer_.append("\r\n");
    return buffer_.size() < kWriteBuffer || Flush();
}

bool TextFileWriter::Flush() {
    size_t done = 0;
    while (done < buffer_.size()) {
        ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            failed_ = true;
            errno_ = errno;
            buffer_.clear();
            return false;
        }
        done += static_cast<size_t>(n);
    }
    buffer_.clear();
    return true;
}

bool TextFileWriter::Sync() {
    if (fd_ < 0 || failed_ || !Flush()) return false;
    if (SkippingFlushes()) return true;
    if (::fsync(fd_) != 0) {
        failed_ = true;
        errno_ = errno;
        return false;
    }
    Synced(path_);
    return true;
}

bool TextFileWriter::StartWriteback() {
    if (fd_ < 0 || failed_ || !Flush()) return false;
    if (SkippingFlushes()) return true;
    ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);  // a hint: failure only costs speed
    return true;
}

bool TextFileWriter::Close() {
    if (fd_ < 0) return !failed_;
    bool ok = !failed_ && Flush();
    if (::close(fd_) != 0 && ok) {
        ok = false;
        errno_ = errno;
    }
    fd_ = -1;
    if (!ok) failed_ = true;
    return ok;
}

void TextFileWriter::Discard() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    buffer_.clear();
    if (!path_.empty()) ::unlink(path_.c_str());
}

LineReader::~LineReader() { Close(); }

bool LineReader::Open(const std::string& path) {
    Close();
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    return fd_ >= 0;
}

void LineReader::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    buffer_.clear();
    pos_ = 0;
    eof_ = false;
}

bool LineReader::Fill() {
    if (eof_ || fd_ < 0) return false;
    if (pos_ > 0) {
        buffer_.erase(0, pos_);
        pos_ = 0;
    }
    size_t old = buffer_.size();
    buffer_.resize(old + kReadChunk);
    ssize_t n;
    do {
        n = ::read(fd_, buffer_.data() + old, kReadChunk);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        buffer_.resize(old);
        eof_ = true;
        return false;
    }
    buffer_.resize(old + static_cast<size_t>(n));
    return true;
}

bool LineReader::ReadLine(std::string& line, size_t maxLength) {
    line.clear();
    bool any = false;
    for (;;) {
        size_t nl = buffer_.find('\n', pos_);
        size_t end = nl == std::string::npos ? buffer_.size() : nl;
        if (end > pos_) {
            any = true;
            if (line.size() < maxLength) {
                line.append(buffer_, pos_, std::min(end - pos_, maxLength - line.size()));
            }
        }
        if (nl != std::string::npos) {
            pos_ = nl + 1;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return true;
        }
        pos_ = buffer_.size();
        if (!Fill()) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return any;
        }
    }
}

bool WriteTextFile(const std::string& path, const std::vector<std::string>& lines, bool sync) {
    TextFileWriter out;
    if (!out.Open(path)) return false;
    for (const auto& l : lines) out.WriteLine(l);
    if (sync && !out.Sync()) return false;
    return out.Close();
}

bool ReadTextFile(const std::string& path, std::vector<std::string>& lines) {
    LineReader in;
    if (!in.Open(path)) return false;
    std::string line;
    while (in.ReadLine(line)) lines.push_back(line);
    return true;
}

bool SyncPath(const std::string& path) {
    if (SkippingFlushes()) return FileExists(path);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    if (ok) Synced(path);
    return ok;
}

bool SyncOpenFile(int fd) { return SkippingFlushes() || ::fsync(fd) == 0; }

bool SyncFiles(const std::vector<std::string>& paths) {
    if (SkippingFlushes()) {
        for (const auto& p : paths) {
            if (!FileExists(p)) return false;
        }
        return true;
    }
    if (paths.size() <= 2) {
        for (const auto& p : paths) {
            if (!SyncPath(p)) return false;
        }
        return true;
    }
    // Every file must be on the file system that syncfs flushes.
    struct stat first {};
    if (::stat(paths.front().c_str(), &first) != 0) return false;
    for (const auto& p : paths) {
        struct stat st {};
        if (::stat(p.c_str(), &st) != 0) return false;
        if (st.st_dev != first.st_dev) {
            for (const auto& q : paths) {
                if (!SyncPath(q)) return false;
            }
            return true;
        }
    }
    int fd = ::open(paths.front().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::syncfs(fd) == 0;
    ::close(fd);
    if (!ok) return false;
    for (const auto& p : paths) Synced(p);
    return true;
}

namespace {

bool FsyncDirectory(const std::string& dir) {
    if (SkippingFlushes()) return true;
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    if (ok) Synced(dir);
    return ok;
}

// Group commit: many conversations commit into the same folder at once. A thread whose rename
// happened before a flush of that folder started is covered by it, so concurrent committers
// share one fsync instead of queueing for one each.
struct DirectorySync {
    std::mutex mutex;
    std::condition_variable done;
    uint64_t requested = 0;  // tickets handed out
    uint64_t covered = 0;    // every ticket up to this one is durable
    bool running = false;
};

}  // namespace

bool SyncDirectoryOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return SyncDirectory(slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash)));
}

bool SyncDirectory(const std::string& dir) {
    static std::mutex mapMutex;
    static std::map<std::string, std::unique_ptr<DirectorySync>> folders;
    DirectorySync* sync;
    {
        std::lock_guard lock(mapMutex);
        auto& slot = folders[dir];
        if (!slot) slot = std::make_unique<DirectorySync>();
        sync = slot.get();
    }
    std::unique_lock lock(sync->mutex);
    const uint64_t ticket = ++sync->requested;
    bool ok = true;
    while (sync->covered < ticket) {
        if (sync->running) {
            sync->done.wait(lock);
            continue;
        }
        sync->running = true;
        const uint64_t upTo = sync->requested;
        lock.unlock();
        ok = FsyncDirectory(dir);
        lock.lock();
        sync->running = false;
        if (ok) sync->covered = upTo;
        sync->done.notify_all();
        if (!ok) return false;
    }
    return ok;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool LinkFile(const std::string& from, const std::string& to) { return ::link(from.c_str(), to.c_str()) == 0; }

bool SameFileContent(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
    if (sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino) return true;
    if (sa.st_size != sb.st_size) return false;
    int fa = ::open(a.c_str(), O_RDONLY | O_CLOEXEC);
    int fb = ::open(b.c_str(), O_RDONLY | O_CLOEXEC);
    bool same = fa >= 0 && fb >= 0;
    std::string ba(kReadChunk, '\0'), bb(kReadChunk, '\0');
    while (same) {
        ssize_t na = ::read(fa, ba.data(), ba.size());
        ssize_t nb = na > 0 ? ::read(fb, bb.data(), static_cast<size_t>(na)) : 0;
        if (na <= 0) {
            same = na == 0;
            break;
        }
        same = nb == na && std::memcmp(ba.data(), bb.data(), static_cast<size_t>(na)) == 0;
    }
    if (fa >= 0) ::close(fa);
    if (fb >= 0) ::close(fb);
    return same;
}

}  // namespace pv
