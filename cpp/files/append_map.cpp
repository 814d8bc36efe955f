#include "files/append_map.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace korvo::files {

namespace {

// The file grows a chunk at a time (a killed writer leaves at most this much of zeros), and
// the mapped window spans from the page being written to a chunk beyond it.
constexpr uint64_t kChunk = uint64_t(1) << 20;

uint64_t page_size() {
    static const uint64_t size = uint64_t(::sysconf(_SC_PAGESIZE));
    return size;
}

bool unsupported(int error) {
    return error == EOPNOTSUPP || error == ENOSYS || error == ENODEV;
}

} // namespace

AppendMap::~AppendMap() {
    unmap();
}

void AppendMap::unmap() {
    if (map_) ::munmap(map_, map_len_);
    map_ = nullptr;
    map_len_ = 0;
}

int AppendMap::start(int fd, uint64_t at) {
#if defined(__linux__)
    int mode = ::fcntl(fd, F_GETFL);
    if (mode < 0) return errno;
    if ((mode & O_ACCMODE) != O_RDWR) return EOPNOTSUPP; // a mapping must read the file too
    struct stat info;
    if (::fstat(fd, &info) != 0) return errno;
    if (!S_ISREG(info.st_mode) || uint64_t(info.st_size) != at) return EOPNOTSUPP;
    fd_ = fd;
    end_ = allocated_ = at;
    int error = remap(0);
    if (error) {
        // remap() left nothing mapped unless growing failed: the file goes back as it was.
        unmap();
        while (::ftruncate(fd, off_t(at)) != 0 && errno == EINTR) {
        }
        fd_ = -1;
    }
    return error;
#else
    (void)fd;
    (void)at;
    return EOPNOTSUPP;
#endif
}

int AppendMap::remap(size_t n) {
#if defined(__linux__)
    uint64_t from = end_ / page_size() * page_size();
    uint64_t length = ((end_ + n - from) / kChunk + 1) * kChunk;
    if (from + length > allocated_) {
        // Blocks reserved now (mode 0 also sets the size), so a store can never find the
        // disk full. posix_fallocate() would quietly write zeros where this is unsupported.
        int done;
        do {
            done = ::fallocate(fd_, 0, off_t(allocated_), off_t(from + length - allocated_));
        } while (done != 0 && errno == EINTR);
        if (done != 0) {
            int error = errno;
            if (!unsupported(error)) return error; // a full disk: the mapping stays as it is
            int cut = finish();
            return cut ? cut : EOPNOTSUPP;
        }
        allocated_ = from + length;
    }
    unmap();
    void* at = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, off_t(from));
    if (at == MAP_FAILED) {
        int cut = finish();
        return cut ? cut : EOPNOTSUPP;
    }
    // A forked child gets no copy: nothing it does can store into the journal.
    ::madvise(at, length, MADV_DONTFORK);
    map_ = static_cast<char*>(at);
    map_len_ = length;
    map_at_ = from;
    return 0;
#else
    (void)n;
    return EOPNOTSUPP;
#endif
}

int AppendMap::append(const char* data, size_t n) {
    if (n == 0) return 0;
    if (!map_) return EOPNOTSUPP;
    if (end_ + n > map_at_ + map_len_) {
        if (int error = remap(n)) return error;
    }
    char* to = map_ + (end_ - map_at_);
    std::memcpy(to, data, n - 1);
    __atomic_store_n(to + n - 1, data[n - 1], __ATOMIC_RELEASE);
    end_ += n;
    return 0;
}

int AppendMap::finish() {
    if (fd_ < 0) return 0;
    unmap();
    int error = 0;
    while (::ftruncate(fd_, off_t(end_)) != 0) {
        if (errno == EINTR) continue;
        error = errno;
        break;
    }
    if (!error && ::lseek(fd_, off_t(end_), SEEK_SET) < 0) error = errno;
    allocated_ = end_;
    fd_ = -1;
    return error;
}

void AppendMap::forsake() {
    map_ = nullptr;
    map_len_ = 0;
    fd_ = -1;
}

} // namespace korvo::files
