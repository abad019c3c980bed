// The one owner of a file descriptor: closes it when it goes, is moved and never copied.
// POSIX only, so that the mount helper uses it too.
#pragma once

#include <cerrno>

#include <unistd.h>

class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release() noexcept
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the descriptor held (its close's result unread) and holds fd instead.
    void reset(int fd = -1) noexcept
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }
    // Closes the descriptor now, for a caller that must know the close worked (a written
    // file): 0, or the errno value of the failed close. Holds nothing afterwards.
    int close() noexcept
    {
        if (fd_ < 0)
            return 0;
        const int result = ::close(release());
        return result == 0 ? 0 : errno;
    }

private:
    int fd_ = -1;
};
