#include "memory.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <system_error>

namespace ql {
namespace {

size_t page_size() {
    static const size_t size = size_t(sysconf(_SC_PAGESIZE));
    return size;
}

size_t whole_pages(size_t bytes) {
    const size_t page = page_size();
    return bytes == 0 ? page : (bytes + page - 1) / page * page;
}

// pwrite of every byte, retried when interrupted; false with errno set on failure.
bool write_all(int fd, const unsigned char *data, size_t bytes) {
    size_t done = 0;
    while (done < bytes) {
        const ssize_t n = ::pwrite(fd, data + done, bytes - done, off_t(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

// A zero-sized view needs an address, not memory.
alignas(64) const unsigned char kNothing[64] = {};

}  // namespace

MemoryBlock::MemoryBlock(size_t bytes) : size_(bytes), mapped_(whole_pages(bytes)) {
    void *p = ::mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    base_ = static_cast<unsigned char *>(p);
}

MemoryBlock::MemoryBlock(int fd, size_t bytes) : size_(bytes), mapped_(whole_pages(bytes)), fd_(fd) {
    void *p = ::mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) {
        ::close(fd);
        throw std::bad_alloc();
    }
    base_ = static_cast<unsigned char *>(p);
}

void prefault(void *data, size_t bytes) {
#ifdef MADV_POPULATE_WRITE
    if (bytes == 0) return;  // Linux 5.14 and later; older kernels refuse the advice, harmlessly
    const uintptr_t page = page_size(), begin = uintptr_t(data) / page * page;
    const uintptr_t end = (uintptr_t(data) + bytes + page - 1) / page * page;
    ::madvise(reinterpret_cast<void *>(begin), end - begin, MADV_POPULATE_WRITE);
#endif
}

MemoryBlock::~MemoryBlock() {
    ::munmap(base_, mapped_);
    if (fd_ >= 0) ::close(fd_);
}

int MemoryBlock::share() {
    if (fd_ >= 0) return fd_;
#ifdef __linux__
    const int fd = ::memfd_create("quillane-block", MFD_CLOEXEC);
    if (fd < 0) return -1;
    if (::ftruncate(fd, off_t(mapped_)) != 0 || !write_all(fd, base_, size_)) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    // The shared copy replaces the private pages at the same address in one step: a
    // reader faulting meanwhile waits for the new mapping, which holds the same bytes.
    if (::mmap(base_, mapped_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0) == MAP_FAILED) {
        // The kernel may have dropped the old pages before failing; the shared copy holds
        // them, and without them every array in the block would point at nothing.
        if (::mmap(base_, mapped_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0) == MAP_FAILED) {
            std::perror("quillane: cannot map shared memory over an array block");
            std::abort();
        }
    }
    fd_ = fd;
    return fd_;
#else
    errno = ENOSYS;
    return -1;
#endif
}

FileView::FileView(int fd, uint64_t offset, size_t bytes) : size_(bytes) {
    if (bytes == 0) {
        data_ = kNothing;
        return;
    }
    const uint64_t start = offset / page_size() * page_size();
    map_size_ = size_t(offset - start) + bytes;
    map_ = ::mmap(nullptr, map_size_, PROT_READ, MAP_SHARED, fd, off_t(start));
    if (map_ == MAP_FAILED) {
        map_ = nullptr;
        throw std::system_error(errno, std::generic_category(), "mmap");
    }
    data_ = static_cast<const unsigned char *>(map_) + (offset - start);
}

FileView::~FileView() {
    if (map_) ::munmap(map_, map_size_);
}

}  // namespace ql
