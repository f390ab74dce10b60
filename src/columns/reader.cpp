// velmo._columns.PortReader: drains a serial port's descriptor on a thread of its own that
// never takes the GIL, so the port's input buffer cannot overflow while Python code holds
// the interpreter. Each read is stamped on the steady clock where it returns.
//
// Given the packet size and an exact ADCConverter, the thread also parses what it reads,
// with the calibration in force at the start: the bytes are read into one buffer and parsed
// where they lie, and each hand-over is a pair of columns. Otherwise it hands the bytes over.
//
// The reader owns a duplicate of the descriptor it is given (close-on-exec, non-blocking),
// so a caller that closes its own descriptor - or a new file that gets its number - cannot
// reach the reader, and it owns the thread: stop() may come from any thread, any number of
// times, and does nothing in a process forked from the one that made the reader.
#include "columns/reader.hpp"
#include "columns/columns.hpp"

#if defined(_WIN32)

void bind_reader(nb::handle) {}

#else

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <poll.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using velmo::AdcCalibration;
using velmo::HighRatePacket;
using velmo::PacketScan;
using velmo::StandardPacket;
using velmo::columns::Column;

using Clock = std::chrono::steady_clock;

constexpr size_t read_size = 65536;
// Longest pause between two reads that makes sense: a stop request is seen in time anyway.
constexpr double max_batch_seconds = 60.0;
// Reported in place of an errno when the descriptor reports data or a hang-up but reads
// none: the device is gone.
constexpr int end_of_file = -1;

double seconds(Clock::time_point time) {
    return std::chrono::duration<double>(time.time_since_epoch()).count();
}

[[noreturn]] void raise_os_error(int error) {
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
    throw nb::python_error();
}

// A close-on-exec pipe, non-blocking at both ends.
void make_wake_pipe(int (&ends)[2]) {
#if defined(__linux__) || defined(__FreeBSD__) || defined(__NetBSD__) || defined(__OpenBSD__)
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) < 0)
        raise_os_error(errno);
#else
    // No pipe2 (macOS): a fork+exec on another thread between these calls inherits the pipe.
    if (::pipe(ends) < 0)
        raise_os_error(errno);
    for (int end : ends) {
        ::fcntl(end, F_SETFD, FD_CLOEXEC);
        ::fcntl(end, F_SETFL, ::fcntl(end, F_GETFL) | O_NONBLOCK);
    }
#endif
}

// What one drain of the descriptor brought: its bytes, or the samples parsed from them.
struct Read {
    std::vector<uint8_t> data;
    std::vector<double> loads;
    std::vector<uint32_t> counts;
    size_t invalid = 0; // windows skipped
    size_t size = 0;    // bytes read
    Clock::time_point arrived;
};

class PortReader {
  public:
    PortReader(nb::handle module, int fd, size_t capacity, double batch_seconds, size_t packet_size,
               nb::handle converter)
        : module_(nb::borrow(module)), packet_size_(packet_size) {
        if (fd < 0)
            throw nb::value_error("PortReader needs an open file descriptor");
        if (packet_size != 0 && packet_size != StandardPacket::size &&
            packet_size != HighRatePacket::size)
            throw nb::value_error("packet_size must be 0 (bytes), 3 or 4");
        if (packet_size != 0 && !converter.is_none())
            calibration_ = velmo::columns::exact_calibration(state(), converter);
        // Samples held when parsing, else bytes: the packets' worth of a capacity in samples.
        capacity_ = calibration_ || packet_size == 0 ? capacity : capacity * packet_size;
        if (!std::isfinite(batch_seconds) || batch_seconds < 0 || batch_seconds > max_batch_seconds)
            throw nb::value_error("batch_seconds must be a number of seconds from 0 to 60");
        if (capacity == 0)
            throw nb::value_error("capacity must be at least 1");
        batch_ms_ = static_cast<int>(batch_seconds * 1000.0);
        fd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (fd_ < 0)
            raise_os_error(errno);
        const int flags = ::fcntl(fd_, F_GETFL);
        if (flags < 0 || ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK) < 0) {
            const int error = errno;
            ::close(fd_);
            raise_os_error(error);
        }
        int wake[2];
        try {
            make_wake_pipe(wake);
        } catch (...) {
            ::close(fd_);
            throw;
        }
        wake_read_ = wake[0];
        wake_write_ = wake[1];
        owner_ = ::getpid();
        thread_ = std::make_unique<std::thread>([this] { run(); });
    }

    ~PortReader() {
        if (::getpid() != owner_) {
            // A forked child: the thread is not in this process, and the mutexes may have been
            // copied locked. Leave both alone; only this process's copies of the descriptors go.
            (void)thread_.release();
        } else {
            stop();
        }
        for (int fd : {fd_, wake_read_, wake_write_})
            if (fd >= 0)
                ::close(fd);
    }

    PortReader(const PortReader &) = delete;
    PortReader &operator=(const PortReader &) = delete;

    // Waits up to `timeout` seconds for a read, then hands over every read waiting as one,
    // stamped on `clock`'s time base.
    bool parsing() const { return calibration_.has_value(); }

    nb::tuple take(double timeout, nb::handle clock, double gather) {
        if (!std::isfinite(timeout) || !std::isfinite(gather))
            throw nb::value_error("timeout and gather must be finite numbers of seconds");
        std::deque<Read> reads;
        size_t dropped = 0;
        bool finished = false;
        int error = 0;
        {
            nb::gil_scoped_release unlocked;
            std::unique_lock<std::mutex> lock(mutex_);
            ready_.wait_for(lock, std::chrono::duration<double>(std::max(0.0, timeout)),
                            [this] { return !reads_.empty() || finished_; });
            if (!reads_.empty() && gather > 0) {
                // One hand-over for the reads of `gather` seconds: the caller wakes once.
                const auto until =
                    reads_.front().arrived + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(gather));
                ready_.wait_until(lock, until, [this] { return finished_ || stopping_; });
            }
            reads.swap(reads_);
            queued_ = 0;
            dropped = std::exchange(dropped_, 0);
            finished = finished_;
            error = error_;
        }
        try {
            // Both clocks read together with the GIL held: no other thread runs in between,
            // so however long the GIL took to come back, the stamps stay where the bytes came.
            const double native_now = seconds(Clock::now());
            const double offset = nb::cast<double>(clock()) - native_now;
            nb::list items;
            if (!reads.empty()) {
                const double arrived = seconds(reads.back().arrived) + offset;
                items.append(parsing() ? columns_of(reads, arrived) : bytes_of(reads, arrived));
            }
            return nb::make_tuple(items, dropped, finished, error);
        } catch (...) {
            // Nothing is lost: the reads go back first in line for the next take.
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto read = reads.rbegin(); read != reads.rend(); ++read) {
                queued_ += units(*read);
                reads_.push_front(std::move(*read));
            }
            dropped_ += dropped;
            throw;
        }
    }

    // Reads once more what is waiting, then ends the thread and closes the reader's
    // descriptor. Safe to repeat and to call from several threads at once.
    void stop() {
        if (::getpid() != owner_)
            return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        const char wake = 1;
        [[maybe_unused]] ssize_t written = ::write(wake_write_, &wake, 1);
        nb::gil_scoped_release unlocked;
        std::lock_guard<std::mutex> joining(join_mutex_);
        if (thread_ && thread_->joinable())
            thread_->join();
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

  private:
    const velmo::columns::State &state() const { return velmo::columns::state_of(module_.ptr()); }

    // What a read counts against the capacity: its samples when parsing, else its bytes.
    size_t units(const Read &read) const { return parsing() ? read.counts.size() : read.size; }

    static nb::object bytes_of(const std::deque<Read> &reads, double arrived) {
        size_t size = 0;
        for (const Read &read : reads)
            size += read.data.size();
        nb::object data =
            nb::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        if (!data.is_valid())
            throw nb::python_error();
        char *out = PyBytes_AS_STRING(data.ptr());
        for (const Read &read : reads)
            out = std::copy(read.data.begin(), read.data.end(), out);
        return nb::make_tuple(data, arrived);
    }

    nb::object columns_of(const std::deque<Read> &reads, double arrived) const {
        size_t length = 0, invalid = 0, size = 0;
        for (const Read &read : reads) {
            length += read.counts.size();
            invalid += read.invalid;
            size += read.size;
        }
        Column<double> loads(state(), length);
        Column<uint32_t> counts(state(), length);
        double *load = loads.items();
        uint32_t *count = counts.items();
        for (const Read &read : reads) {
            load = std::copy(read.loads.begin(), read.loads.end(), load);
            count = std::copy(read.counts.begin(), read.counts.end(), count);
        }
        return nb::make_tuple(loads.finish(), counts.finish(), invalid, size, arrived);
    }

    bool stopping() {
        std::lock_guard<std::mutex> lock(mutex_);
        return stopping_;
    }

    void run() {
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
                error = drain(true, (fds[0].revents & (POLLHUP | POLLERR)) != 0);
                if (error)
                    break;
            }
            if (stop_requested) {
                error = drain(false, false); // whatever arrived up to the stop request
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

    // Reads until the descriptor has nothing more; 0, an errno, or end_of_file. A descriptor
    // that reported data or a hang-up and gives nothing is gone, whether it says so with
    // end of file or with EAGAIN: polling it again would return at once, for ever.
    int drain(bool reported_ready, bool hung_up) {
        Read read;
        int error = 0;
        for (;;) {
            const ssize_t n = parsing() ? read_and_parse(read) : read_bytes(read);
            if (n > 0) {
                read.size += static_cast<size_t>(n);
                continue;
            }
            if (n == 0) {
                if (reported_ready && read.size == 0)
                    error = end_of_file;
                break;
            }
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                error = errno;
            else if (hung_up && read.size == 0)
                error = end_of_file;
            break;
        }
        if (read.size) {
            read.arrived = Clock::now();
            queue(std::move(read));
        }
        return error;
    }

    // Straight into the read's own bytes.
    ssize_t read_bytes(Read &read) {
        const size_t filled = read.data.size();
        read.data.resize(filled + read_size);
        const ssize_t n = ::read(fd_, read.data.data() + filled, read_size);
        read.data.resize(filled + static_cast<size_t>(std::max<ssize_t>(n, 0)));
        return n;
    }

    // Into the buffer behind the incomplete packet of the last read, parsed where the bytes
    // lie; what is left of a packet moves to the front for the next read.
    ssize_t read_and_parse(Read &read) {
        const ssize_t n = ::read(fd_, buffer_.data() + rest_, read_size);
        if (n <= 0)
            return n;
        const size_t filled = rest_ + static_cast<size_t>(n);
        const size_t before = read.counts.size();
        read.loads.resize(before + filled / packet_size_);
        read.counts.resize(before + filled / packet_size_);
        size_t length = before;
        const PacketScan scan =
            packet_size_ == HighRatePacket::size
                ? velmo::columns::scan_into<HighRatePacket>(buffer_.data(), filled, *calibration_,
                                                            read.loads.data(), read.counts.data(),
                                                            length)
                : velmo::columns::scan_into<StandardPacket>(buffer_.data(), filled, *calibration_,
                                                            read.loads.data(), read.counts.data(),
                                                            length);
        read.loads.resize(length);
        read.counts.resize(length);
        read.invalid += scan.invalid;
        rest_ = filled - scan.position;
        std::memmove(buffer_.data(), buffer_.data() + scan.position, rest_);
        return n;
    }

    // Beyond the capacity the oldest reads make room; what they held is counted.
    void queue(Read &&read) {
        std::lock_guard<std::mutex> lock(mutex_);
        queued_ += units(read);
        reads_.push_back(std::move(read));
        while (queued_ > capacity_ && reads_.size() > 1) {
            queued_ -= units(reads_.front());
            dropped_ += units(reads_.front());
            reads_.pop_front();
        }
        ready_.notify_all();
    }

    nb::object module_; // velmo._columns, whose state makes the columns
    const size_t packet_size_;
    std::optional<AdcCalibration> calibration_;
    std::vector<uint8_t> buffer_ = std::vector<uint8_t>(read_size + StandardPacket::size);
    size_t rest_ = 0;
    size_t capacity_ = 0;
    int batch_ms_ = 0;
    int fd_ = -1;
    int wake_read_ = -1;
    int wake_write_ = -1;
    pid_t owner_ = 0;
    std::mutex mutex_;
    std::mutex join_mutex_;
    std::condition_variable ready_;
    std::deque<Read> reads_;
    size_t queued_ = 0;
    size_t dropped_ = 0;
    bool stopping_ = false;
    bool finished_ = false;
    int error_ = 0;
    std::unique_ptr<std::thread> thread_;
};

} // namespace

void bind_reader(nb::handle module) {
    nb::class_<PortReader>(
        module, "PortReader",
        "Reads a serial port's file descriptor on a native thread that never holds the GIL.\n\n"
        "It reads a duplicate of the descriptor it is given, made close-on-exec and\n"
        "non-blocking (which the open file the two share then is), and closes it when it\n"
        "stops. In a process forked from the one that made it, it never touches the thread.")
        .def(
            "__init__",
            [module](PortReader *self, int fd, size_t capacity, double batch_seconds,
                     size_t packet_size, nb::handle converter) {
                new (self) PortReader(module, fd, capacity, batch_seconds, packet_size, converter);
            },
            nb::arg("fd"), nb::arg("capacity"), nb::arg("batch_seconds"),
            nb::arg("packet_size") = 0, nb::arg("converter").none() = nb::none(),
            "Start reading.\n\n"
            ":param fd: Open descriptor of the port; needed only during this call\n"
            ":param capacity: Held for ``take()`` at most, beyond which the oldest reads are "
            "dropped and counted: bytes, or samples with a ``packet_size``\n"
            ":param batch_seconds: Pause after each read, so that packets gather (0 to 60)\n"
            ":param packet_size: 4, or 3 for the 38 400 SPS stream; 0 reads bytes only\n"
            ":param converter: With a packet size, an exact ADCConverter makes the reader parse "
            "with its calibration as it is now; any other converter leaves the parsing to the "
            "caller")
        .def_prop_ro("parsing", &PortReader::parsing,
                     "Whether ``take()`` hands over parsed columns rather than bytes.")
        .def("take", &PortReader::take, nb::arg("timeout"), nb::arg("clock"),
             nb::arg("gather") = 0.0,
             "Every read waiting, as one, after waiting up to ``timeout`` seconds for one.\n\n"
             ":param clock: The time base of the arrival times, such as ``time.monotonic``\n"
             ":param gather: Once a read waits, how long after it to go on gathering reads "
             "(until the reader stops)\n"
             ":return: (reads, dropped, finished, error): a list of at most one read, the "
             "bytes (samples, when parsing) dropped since the last call, whether the reader has "
             "ended, and why it ended early (0: it did not; -1: the device is gone; else the "
             "errno). A read is (bytes, arrival) or, when parsing, (loads, counts, invalid, "
             "bytes read, arrival): array('d'), array('I'), the windows skipped, and the time "
             "on ``clock`` its last byte arrived")
        .def("stop", &PortReader::stop,
             "Read what is waiting once more, end the thread and close the reader's descriptor; "
             "safe to repeat, from any thread.");
}

#endif
