// velmo._columns.PortReader: drains a serial port's descriptor on a thread of its own that
// never takes the GIL, so the port's input buffer cannot overflow while Python code holds
// the interpreter. Each read is stamped on the steady clock when it returns.
#include "columns/reader.hpp"

#if defined(_WIN32)

void bind_reader(nb::handle) {}

#else

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t read_size = 65536;
// Reported in place of an errno when the descriptor reports data but reads none: the
// device is gone.
constexpr int end_of_file = -1;

double seconds(Clock::time_point time) {
    return std::chrono::duration<double>(time.time_since_epoch()).count();
}

struct Read {
    std::vector<uint8_t> data;
    Clock::time_point arrived;
};

class PortReader {
  public:
    PortReader(int fd, size_t capacity, double batch_seconds)
        : fd_(fd), capacity_(capacity),
          batch_ms_(static_cast<int>(std::max(0.0, batch_seconds) * 1000.0)) {
        if (fd < 0)
            throw nb::value_error("PortReader needs an open file descriptor");
        int wake[2];
        if (::pipe(wake) < 0)
            throw std::system_error(errno, std::generic_category(), "pipe");
        wake_read_ = wake[0];
        wake_write_ = wake[1];
        for (int end : wake) {
            ::fcntl(end, F_SETFL, ::fcntl(end, F_GETFL) | O_NONBLOCK);
            ::fcntl(end, F_SETFD, FD_CLOEXEC);
        }
        thread_ = std::thread([this] { run(); });
    }

    ~PortReader() {
        stop();
        ::close(wake_read_);
        ::close(wake_write_);
    }

    PortReader(const PortReader &) = delete;
    PortReader &operator=(const PortReader &) = delete;

    // Waits up to `timeout` seconds for a read, then hands over every read waiting.
    nb::tuple take(double timeout) {
        std::deque<Read> reads;
        size_t dropped = 0;
        bool finished = false;
        int error = 0;
        Clock::time_point now;
        {
            nb::gil_scoped_release unlocked;
            std::unique_lock<std::mutex> lock(mutex_);
            ready_.wait_for(lock, std::chrono::duration<double>(std::max(0.0, timeout)),
                            [this] { return !reads_.empty() || finished_; });
            reads.swap(reads_);
            queued_ = 0;
            dropped = std::exchange(dropped_, 0);
            finished = finished_;
            error = error_;
            now = Clock::now();
        }
        nb::list items;
        for (const Read &read : reads) {
            nb::object data = nb::steal(
                PyBytes_FromStringAndSize(reinterpret_cast<const char *>(read.data.data()),
                                          static_cast<Py_ssize_t>(read.data.size())));
            if (!data.is_valid())
                throw nb::python_error();
            items.append(nb::make_tuple(data, seconds(read.arrived)));
        }
        return nb::make_tuple(items, dropped, finished, error, seconds(now));
    }

    // Reads once more what is waiting, then ends the thread. Safe to repeat.
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        const char wake = 1;
        [[maybe_unused]] ssize_t written = ::write(wake_write_, &wake, 1);
        if (thread_.joinable()) {
            nb::gil_scoped_release unlocked;
            thread_.join();
        }
    }

  private:
    bool stopping() {
        std::lock_guard<std::mutex> lock(mutex_);
        return stopping_;
    }

    void run() {
        std::vector<uint8_t> buffer(read_size);
        int error = 0;
        for (;;) {
            pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_read_, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                error = errno;
                break;
            }
            const bool stop_requested = fds[1].revents != 0 || stopping();
            if (fds[0].revents & POLLNVAL) {
                error = EBADF;
                break;
            }
            if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
                error = drain(buffer, true);
                if (error)
                    break;
            }
            if (stop_requested) {
                error = drain(buffer, false); // whatever arrived up to the stop request
                break;
            }
            // Let a few packets gather: one read per batch instead of one per packet.
            pollfd wake = {wake_read_, POLLIN, 0};
            ::poll(&wake, 1, batch_ms_);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        finished_ = true;
        error_ = error;
        ready_.notify_all();
    }

    // Reads until the descriptor has nothing more; 0, an errno, or end_of_file.
    int drain(std::vector<uint8_t> &buffer, bool reported_ready) {
        Read read;
        int error = 0;
        for (;;) {
            ssize_t n = ::read(fd_, buffer.data(), buffer.size());
            if (n > 0) {
                read.data.insert(read.data.end(), buffer.data(), buffer.data() + n);
                continue;
            }
            if (n == 0) {
                if (reported_ready && read.data.empty())
                    error = end_of_file;
                break;
            }
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                error = errno;
            break;
        }
        if (!read.data.empty()) {
            read.arrived = Clock::now();
            queue(std::move(read));
        }
        return error;
    }

    // Beyond the capacity the oldest reads make room; what they held is counted.
    void queue(Read &&read) {
        std::lock_guard<std::mutex> lock(mutex_);
        queued_ += read.data.size();
        reads_.push_back(std::move(read));
        while (queued_ > capacity_ && reads_.size() > 1) {
            queued_ -= reads_.front().data.size();
            dropped_ += reads_.front().data.size();
            reads_.pop_front();
        }
        ready_.notify_all();
    }

    const int fd_;
    const size_t capacity_;
    const int batch_ms_;
    int wake_read_ = -1;
    int wake_write_ = -1;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Read> reads_;
    size_t queued_ = 0;
    size_t dropped_ = 0;
    bool stopping_ = false;
    bool finished_ = false;
    int error_ = 0;
    std::thread thread_;
};

} // namespace

void bind_reader(nb::handle module) {
    nb::class_<PortReader>(
        module, "PortReader",
        "Reads a serial port's file descriptor on a native thread that never holds the GIL.\n\n"
        "The descriptor stays the caller's: nothing else may read it, and it must stay open,\n"
        "until ``stop()`` returned.")
        .def(nb::init<int, size_t, double>(), nb::arg("fd"), nb::arg("capacity"),
             nb::arg("batch_seconds"),
             "Start reading.\n\n"
             ":param fd: Open, non-blocking descriptor of the port\n"
             ":param capacity: Bytes held for ``take()`` at most; beyond, the oldest reads are "
             "dropped and counted\n"
             ":param batch_seconds: Pause after each read, so that packets gather")
        .def("take", &PortReader::take, nb::arg("timeout"),
             "Every read waiting, after waiting up to ``timeout`` seconds for one.\n\n"
             ":return: (reads, dropped, finished, error, now): a list of (bytes, arrival "
             "time), the bytes dropped since the last call, whether the reader has ended, why "
             "it ended early (0: it did not; -1: the device is gone; else the errno), and the "
             "reader's clock now; arrival times are on that clock")
        .def("stop", &PortReader::stop,
             "Read what is waiting once more and end the thread; safe to repeat.");
}

#endif
