// A scale played on a pseudo-terminal: answers each ENQ with the next scripted reply.
#pragma once

#include <termios.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace Wsr37100 {

// What the scale does after one ENQ: bytes in chunks (each after its pause),
// then optionally a hang-up (the master side closed, as an unplugged cable).
// No chunks and no hang-up is silence.
struct ScaleReply {
    struct Chunk {
        std::chrono::milliseconds pause{0};
        std::string bytes;
        bool held = false;  // sent only once the test releases it (ScaleEmulator::release), after the pause
    };
    std::vector<Chunk> chunks;
    bool hang_up = false;

    static ScaleReply bytes(std::string bytes);
    static ScaleReply silence();
    static ScaleReply after(std::chrono::milliseconds delay, std::string bytes);
    // A reply as late as the test makes it: sent when ScaleEmulator::release is called.
    static ScaleReply held(std::string bytes);
    // The bytes up to `at`, a pause, then the rest.
    static ScaleReply split(std::string bytes, std::size_t at, std::chrono::milliseconds pause);
    static ScaleReply hangup();

    // A short human description, for the simulator's per-poll line.
    std::string describe() const;
};

// What a reply sent at `scale_baud` looks like to a port set to `port_baud`.
ScaleReply garbled(const ScaleReply& reply, unsigned port_baud, unsigned scale_baud);

// STX, five characters, ETX.
std::string fixed_frame(std::string_view five);
// STX, five digits of grams, ETX (0 to 99.999 kg).
std::string fixed_frame_for(double kilograms);
// STX, six characters, ETX.
std::string delimited_frame(std::string_view six);
// STX, the weight as six characters with a point, ETX ("  1.234", "123.45").
std::string delimited_frame_for(double kilograms);

class ScaleEmulator {
public:
    // After the script the scale repeats it from the start when `repeat`,
    // otherwise it stays silent.
    explicit ScaleEmulator(std::vector<ScaleReply> script, bool repeat = false);
    ScaleEmulator(const ScaleEmulator&) = delete;
    ScaleEmulator& operator=(const ScaleEmulator&) = delete;
    ~ScaleEmulator();

    // The slave side's path (/dev/pts/N): the port the module opens.
    const std::string& device_path() const { return device_path_; }
    // The ENQ bytes seen so far.
    int polls() const { return polls_.load(); }
    // Called on the emulator's thread for each ENQ, before the reply is played.
    void on_poll(std::function<void(int poll, const ScaleReply& reply)> observer);
    // The line settings of the port as its opener left them, and their
    // baud rate (also one set through BOTHER).
    termios line_settings() const;
    unsigned line_baud_rate() const;
    void set_line_settings(const termios& settings);
    // Paces the wire as a serial line at this baud rate would (10 bits a
    // byte): the ENQ's own travel, then each reply byte, take their time.
    // 0 (default): bytes go at once.
    void pace(unsigned baud);
    // The scale's own line speed: it answers as scripted only while the port
    // is set to this rate, and otherwise the port gets what a reply at the
    // wrong rate looks like (bytes with the high bit set, more of them when the
    // port is faster, fewer when slower: never a frame). 0 (default): any rate.
    void line_speed(unsigned baud);
    // From the next ENQ on, the scale answers from this script, from its start
    // (repeated or not as the constructor said). Safe from any thread.
    void replace_script(std::vector<ScaleReply> script);
    // Sends bytes now, unasked: noise on the line, or a late reply that waits
    // in the port's input queue for whoever opens it next.
    void say(const std::string& bytes);
    // Lets a held reply go (one release for each; a release before the reply
    // is reached lets it go at once).
    void release();
    // The bytes the port has written that the scale has not read yet (an ENQ
    // that waits while the scale is busy with a reply).
    int unread() const;
    // Closes both sides now: the device node disappears.
    void vanish();

private:
    void run();
    void play(const ScaleReply& reply);
    bool sleep_or_stop(std::chrono::milliseconds pause);
    void close_master();

    std::mutex script_lock_;  // script_ and next_: replaced from another thread while the emulator's reads them
    std::vector<ScaleReply> script_;
    bool repeat_;
    std::size_t next_ = 0;
    int master_ = -1;
    int slave_ = -1;
    int wake_[2] = {-1, -1};
    int release_[2] = {-1, -1};
    std::string device_path_;
    std::atomic<int> polls_{0};
    std::atomic<long> byte_time_us_{0};
    std::atomic<unsigned> line_speed_{0};
    std::chrono::steady_clock::time_point wire_clock_{};  // the emulator thread's: when the line is free
    std::atomic<bool> stopping_{false};
    std::mutex observer_lock_;
    std::function<void(int, const ScaleReply&)> observer_;
    std::thread thread_;
};

}  // namespace Wsr37100
