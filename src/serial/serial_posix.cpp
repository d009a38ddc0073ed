// The serial connection on POSIX: exclusive open, raw 8N1 termios, poll()-timed I/O.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "replies/conversions.hpp"
#include "serial/baud_rate_posix.hpp"
#include "serial/deadline.hpp"
#include "serial/serial_port.hpp"

namespace Wsr37100 {

struct SerialPort::Native {
    int fd = -1;
    bool exclusive = false;
    LinkOptions options;

    Native() = default;
    Native(const Native&) = delete;
    Native& operator=(const Native&) = delete;
    ~Native() {
        if (fd < 0) return;
        if (exclusive) ::ioctl(fd, TIOCNXCL);
        ::close(fd);  // also releases the flock
    }
};

namespace {

struct StandardRate {
    int rate;
    speed_t code;
};

constexpr StandardRate kStandardRates[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000},
};

// Raw binary: no echo, no line editing, no signal characters (ETX would be
// Ctrl-C), no CR/LF translation, no output processing; 8N1 with the receiver
// on and modem lines ignored. Flow control (CRTSCTS, IXON, IXOFF) stays as read.
void make_raw_8n1(termios& settings) {
    settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | INPCK);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    // poll() does the waiting; a read takes what is there.
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
}

// Waits for the events within the time; returns the revents, 0 on time-out,
// -1 on a poll failure. EINTR is retried against the same limit.
int wait_for(int fd, short events, const Deadline& limit, std::chrono::milliseconds cap) {
    for (;;) {
        pollfd entry{fd, events, 0};
        const auto wait = std::min(limit.remaining(), cap);
        const int ready = ::poll(&entry, 1, static_cast<int>(wait.count()));
        if (ready > 0) return entry.revents;
        if (ready == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

constexpr short kHangUp = POLLHUP | POLLERR | POLLNVAL;

}  // namespace

SerialPort::SerialPort(std::unique_ptr<Native> native) : native_(std::move(native)) {}
SerialPort::~SerialPort() = default;

std::unique_ptr<SerialPort> SerialPort::open(std::string_view device_name, std::string_view baud_text,
                                             LinkOptions options) {
    auto native = std::make_unique<Native>();
    native->options = options;
    const std::string path = posix_device_path(device_name);
    native->fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (native->fd < 0) return nullptr;
    // The lock keeps out a second opener, root included, and closes the race
    // that TIOCEXCL alone leaves between two openers.
    if (::flock(native->fd, LOCK_EX | LOCK_NB) != 0) return nullptr;
    if (::ioctl(native->fd, TIOCEXCL) == 0) {
        native->exclusive = true;
    } else if (errno != EINVAL && errno != ENOTTY) {
        return nullptr;
    }

    termios settings{};
    if (::tcgetattr(native->fd, &settings) != 0) return nullptr;
    const std::int32_t rate = whole_number_conversion(baud_text);
    if (rate <= 0) return nullptr;

    make_raw_8n1(settings);
    const auto standard = std::find_if(std::begin(kStandardRates), std::end(kStandardRates),
                                       [rate](const StandardRate& s) { return s.rate == rate; });
    if (standard != std::end(kStandardRates)) {
        if (::cfsetispeed(&settings, standard->code) != 0 || ::cfsetospeed(&settings, standard->code) != 0) {
            return nullptr;
        }
    }
    if (::tcsetattr(native->fd, TCSANOW, &settings) != 0) return nullptr;
    if (standard == std::end(kStandardRates) && !set_custom_baud_rate(native->fd, rate)) return nullptr;
    return std::unique_ptr<SerialPort>(new SerialPort(std::move(native)));
}

std::optional<std::size_t> SerialPort::poll(ReceiveBuffer& buffer) {
    const int fd = native_->fd;
    buffer[0] = kEnq;
    buffer[1] = 0;

    const Deadline write_limit(kWriteTimeout);
    for (;;) {
        const ssize_t sent = ::write(fd, buffer.data(), 1);
        if (sent == 1) break;
        if (sent < 0 && errno != EAGAIN && errno != EINTR) return std::nullopt;
        const int ready = wait_for(fd, POLLOUT, write_limit, kWriteTimeout);
        if (ready <= 0 || (ready & kHangUp)) return std::nullopt;
    }

    const Deadline read_limit(kReadTimeout);
    const auto gap = native_->options.gap;
    std::size_t received = 0;
    while (received < buffer.size()) {
        const bool gap_applies = received > 0 && gap.count() > 0;
        if (read_limit.expired()) break;
        const int ready = wait_for(fd, POLLIN, read_limit, gap_applies ? gap : kReadTimeout);
        if (ready < 0) return std::nullopt;
        if (ready == 0) {
            if (gap_applies) break;
            continue;  // the deadline decides
        }
        if (!(ready & POLLIN)) return std::nullopt;  // hung up with nothing to read
        const ssize_t got = ::read(fd, buffer.data() + received, buffer.size() - received);
        if (got > 0) {
            received += static_cast<std::size_t>(got);
        } else if (got == 0) {
            return std::nullopt;  // readable but empty: the adapter is gone
        } else if (errno != EAGAIN && errno != EINTR) {
            return std::nullopt;  // EIO after a hang-up, among others
        }
    }
    return received;
}

}  // namespace Wsr37100
