// One writable page followed by one that the process may not touch: whatever ends exactly at
// the second page faults when one byte past it is read or written. Windows and POSIX differ
// only in how the pages are made.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace vpitest {

class GuardedPage {
public:
    GuardedPage() {
#if defined(_WIN32)
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        page_ = info.dwPageSize;
        // VirtualAlloc: NULL on failure. VirtualProtect: non-zero on success.
        base_ = static_cast<std::uint8_t*>(
            VirtualAlloc(nullptr, 2 * page_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        ok_ = base_ != nullptr && VirtualProtect(base_ + page_, page_, PAGE_NOACCESS, &old) != 0;
#else
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        // mmap: MAP_FAILED on failure. mprotect: 0 on success.
        void* map =
            mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = map == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(map);
        ok_ = base_ != nullptr && mprotect(base_ + page_, page_, PROT_NONE) == 0;
#endif
    }
    ~GuardedPage() {
        if (base_ == nullptr) return;
#if defined(_WIN32)
        VirtualFree(base_, 0, MEM_RELEASE);
#else
        munmap(base_, 2 * page_);
#endif
    }
    GuardedPage(const GuardedPage&) = delete;
    GuardedPage& operator=(const GuardedPage&) = delete;

    // Both pages were made, the second one closed.
    bool Ok() const {
        return ok_;
    }
    // The writable page: its start and size (nothing when the pages could not be made).
    std::uint8_t* Writable() const {
        return base_;
    }
    std::size_t Size() const {
        return base_ == nullptr ? 0 : page_;
    }
    // The last `bytes` bytes of the writable page. 0 bytes: the guard's first byte.
    std::uint8_t* EndingWith(std::size_t bytes) const {
        return base_ + page_ - bytes;
    }

private:
    std::size_t page_ = 0;
    std::uint8_t* base_ = nullptr;
    bool ok_ = false;
};

}  // namespace vpitest
