// The serial connection on POSIX: exclusive open, raw 8N1 termios, poll()-timed I/O.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>

#include "link/serial/baud_rate_posix.hpp"
#include "link/deadline.hpp"
#include "link/descriptor_posix.hpp"
#include "link/port_refusal.hpp"
#include "link/serial/serial_line.hpp"
#include "link/serial/serial_port.hpp"
#include "link/serial/port_holders.hpp"
#include "link/serial/uucp_lock.hpp"

namespace Wsr37100 {

struct SerialPort::Native {
    int fd = -1;
    bool exclusive = false;
    LinkOptions options;
    std::int32_t rate = 0;
    UucpLock lock;  // released after the descriptor closes
    std::optional<termios> original;  // as a guest: the settings to put back

    Native() = default;
    Native(const Native&) = delete;
    Native& operator=(const Native&) = delete;
    ~Native() {
        if (fd < 0) return;
        if (original) {
            // An ENQ that flow control held back would hold the close up for the line's closing wait.
            ::tcflush(fd, TCOFLUSH);
            ::tcsetattr(fd, TCSANOW, &*original);
        }
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
// on and modem lines ignored. No software flow control either, as Windows
// ports have it: a scale's 0x11 or 0x13 byte must be data, not XON/XOFF.
// Hardware flow control (CRTSCTS) stays as read.
void make_raw_8n1(termios& settings) {
    settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | INPCK |
                                               IXON | IXOFF | IXANY);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    // poll() does the waiting; a read takes what is there.
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
}


PortProblem problem_of(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
        case ENXIO:
        case ENODEV: return PortProblem::Missing;
        case EACCES:
        case EPERM: return PortProblem::Permission;
        case EBUSY:
        case EWOULDBLOCK: return PortProblem::Busy;
        default: return PortProblem::Other;
    }
}

OpenResult unavailable(const std::string& path, int error) {
    return port_unavailable(path, problem_of(error), static_cast<unsigned long>(error));
}

OpenResult settings_refused(const std::string& path, std::int32_t rate, int error) {
    return port_settings_refused(path, rate, static_cast<unsigned long>(error));
}

}  // namespace

SerialPort::SerialPort(std::unique_ptr<Native> native) : native_(std::move(native)) {}
SerialPort::~SerialPort() = default;

OpenResult SerialPort::open(std::string_view device_name, BaudRate baud, LinkOptions options) {
    const std::string path = posix_device_path(device_name);
    // Decided from stat alone: opening some devices already does harm (a
    // watchdog arms, a terminal loses its settings).
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return unavailable(path, errno);
    if (auto refusal = refusal_of(info.st_mode, info.st_rdev)) return port_name_refused(path, *refusal);

    auto native = std::make_unique<Native>();
    native->options = options;
    auto attempt = UucpLock::take(options.lock_folder, path);
    if (attempt.holder != 0) {
        return port_busy(path, "em uso pelo processo " + std::to_string(attempt.holder) + " (trava " +
                              attempt.holder_file + ")");
    }
    native->lock = std::move(attempt.lock);
    if (options.as_guest) {
        if (const auto holder = process_holding(info.st_rdev)) {
            return port_busy(path, "aberta pelo processo " + std::to_string(*holder));
        }
    }

    do {
        native->fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (native->fd < 0 && errno == EINTR);
    if (native->fd < 0) return unavailable(path, errno);
    // The node may have changed since the stat.
    struct stat opened {};
    if (::fstat(native->fd, &opened) != 0 || opened.st_rdev != info.st_rdev || !::isatty(native->fd)) {
        return port_name_refused(path, "n\xE3o \xE9 uma linha serial");
    }
    // The lock keeps out a second opener, root included, and closes the race
    // that TIOCEXCL alone leaves between two openers.
    if (::flock(native->fd, LOCK_EX | LOCK_NB) != 0) return unavailable(path, errno);
    if (::ioctl(native->fd, TIOCEXCL) == 0) {
        native->exclusive = true;
    } else if (errno != EINVAL && errno != ENOTTY) {
        return unavailable(path, errno);
    }

    termios settings{};
    if (::tcgetattr(native->fd, &settings) != 0) return unavailable(path, errno);
    if (options.as_guest) native->original = settings;
    const std::int32_t rate = baud.value();
    if (rate <= 0) return settings_refused(path, rate, EINVAL);
    native->rate = rate;

    make_raw_8n1(settings);
    const auto standard = std::find_if(std::begin(kStandardRates), std::end(kStandardRates),
                                       [rate](const StandardRate& s) { return s.rate == rate; });
    if (standard != std::end(kStandardRates)) {
        if (::cfsetispeed(&settings, standard->code) != 0 || ::cfsetospeed(&settings, standard->code) != 0) {
            return settings_refused(path, rate, errno);
        }
    }
    if (::tcsetattr(native->fd, TCSANOW, &settings) != 0) return settings_refused(path, rate, errno);
    if (standard == std::end(kStandardRates) && !set_custom_baud_rate(native->fd, rate)) {
        return settings_refused(path, rate, errno);
    }
    // Bytes that waited for us (a late reply to an earlier call's poll, noise
    // while the port was closed) are no answer to this call's poll.
    if (::tcflush(native->fd, TCIFLUSH) != 0) return unavailable(path, errno);
    return OpenResult{std::unique_ptr<SerialPort>(new SerialPort(std::move(native))), {}};
}

bool SerialPort::drain(std::chrono::milliseconds within, const Interrupt* interrupt) {
    const Deadline limit(within);
    // A line that never goes quiet ends the drain at the limit all the same.
    while (!limit.expired()) {
        if (::tcflush(native_->fd, TCIFLUSH) != 0) return false;
        const int ready = wait_for(native_->fd, POLLIN, limit, quiet_time(native_->rate), interrupt);
        if (ready < 0 || (ready & kHangUp)) return false;
        if (ready == 0) return true;  // quiet
    }
    return true;
}

bool SerialPort::set_read_timeout(std::chrono::milliseconds wait) {
    native_->options.read_timeout = wait;
    return true;
}

std::optional<std::size_t> SerialPort::poll(ReceiveBuffer& buffer, const Interrupt* interrupt) {
    const int fd = native_->fd;
    buffer[0] = kEnq;
    buffer[1] = 0;

    // A guest's write waits no longer than its read would.
    const auto write_limit = native_->options.as_guest ? std::min(kWriteTimeout, native_->options.read_timeout) : kWriteTimeout;
    if (!write_all(fd, buffer.data(), 1, Deadline(write_limit), interrupt)) return std::nullopt;
    const DescriptorSource source{fd, interrupt};
    return read_reply_bytes(source, buffer.data(), wanted_bytes(native_->options), native_->options.gap,
                            Deadline(native_->options.read_timeout));
}

}  // namespace Wsr37100
