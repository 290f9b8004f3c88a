// Memory for arrays that outlive the code that filled them: one block holding many arrays,
// which other processes can map instead of receiving a copy, and read-only views of files.
// Nothing here touches Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace ql {

// One anonymous block, private to the process; share() moves it into shared memory that
// other processes can map. (Transparent huge pages would make filling it cheaper where
// memory is plentiful, but taking free huge pages can cost far more than it saves, e.g. in
// a virtual machine whose host reclaimed them, so the block uses ordinary pages.)
class MemoryBlock {
public:
    // Throws std::bad_alloc when the memory cannot be had.
    explicit MemoryBlock(size_t bytes);
    // Maps `bytes` of the shared memory behind `fd` (from share() in another process) copy
    // on write: reads share the memory, writes stay private. Takes the descriptor over;
    // throws std::bad_alloc when it cannot be mapped.
    MemoryBlock(int fd, size_t bytes);
    ~MemoryBlock();
    MemoryBlock(const MemoryBlock &) = delete;
    MemoryBlock &operator=(const MemoryBlock &) = delete;

    unsigned char *data() const { return base_; }
    size_t size() const { return size_; }

    // A descriptor of shared memory holding the block, for other processes to map. The first
    // call copies the block into shared memory (holding it twice until the copy is done) and
    // maps that at the same address, so pointers into the block stay valid and see the same
    // bytes (a write made by another thread during the copy may be lost). -1, with errno set, where the system has no such
    // memory or it cannot be had; the block is then unchanged.
    int share();

private:
    unsigned char *base_ = nullptr;
    size_t size_ = 0, mapped_ = 0;  // bytes asked for, and whole pages mapped
    int fd_ = -1;                   // the shared memory, once there is one
};

// Faults in the pages under [data, data + bytes) ahead of writing them, in one call instead
// of one fault per page (about a third cheaper for a block read from files). A hint:
// nothing happens where the kernel cannot.
void prefault(void *data, size_t bytes);

// A read-only view of `bytes` bytes of a regular file from `offset` on. The file may be
// closed once the view exists; the view holds the pages until it is destroyed. A file
// that shrinks below the view while it is read faults the reader (SIGBUS), as any mapped
// file does. Throws std::system_error when the file cannot be mapped.
class FileView {
public:
    FileView(int fd, uint64_t offset, size_t bytes);
    ~FileView();
    FileView(const FileView &) = delete;
    FileView &operator=(const FileView &) = delete;

    const unsigned char *data() const { return data_; }
    size_t size() const { return size_; }

private:
    void *map_ = nullptr;
    size_t map_size_ = 0;
    const unsigned char *data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace ql
