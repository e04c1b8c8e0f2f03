// The XMODEM receiver against scripted senders: each script says what the
// sender sends in reply to a byte of the receiver. Every script runs on a
// simulated line (exact bytes, virtual time) and on a pseudo-terminal in
// real time; lrzsz's sx, a real sender, runs through a pseudo-terminal to
// the whole download (mode switch, Enter keys, transfer, file).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "console/xmodem.h"

namespace {

const std::string C = "C";
const std::string ACK = "\x06";
const std::string NAK = "\x15";
const std::string EOT = "\x04";
const std::string CAN = "\x18";
const std::string CANCEL_REPLY(5, '\x18');

// The data of block `number`: bytes that differ from block to block and
// from position to position, so that a block written twice, out of order or
// shifted shows.
std::string block_data(int number, std::size_t size) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(number * 7 + i * 31);
    return data;
}

std::string frame(int number, std::size_t size) {
    const std::string data = block_data(number, size);
    const std::uint16_t crc = xmodem_crc16(
        0, {reinterpret_cast<const std::uint8_t*>(data.data()), data.size()});
    std::string f(1, size == 128 ? '\x01' : '\x02');
    f += static_cast<char>(number & 0xFF);
    f += static_cast<char>(255 - (number & 0xFF));
    f += data;
    f += static_cast<char>(crc >> 8);
    f += static_cast<char>(crc & 0xFF);
    return f;
}

std::string flipped(std::string f, std::size_t at) {
    f[at] = static_cast<char>(f[at] ^ 0x01);
    return f;
}

// The sender's reply to the receiver's byte `to`: `chunks` sent one after
// the other with a quiet second between them.
struct Reply {
    char to;
    std::vector<std::string> chunks;
};

struct XmodemCase {
    const char* name;
    std::vector<Reply> script;
    XmodemEnd end;
    std::string file;        // written to the output
    std::string transcript;  // everything the receiver sent
    int first_block_tries;
};

// Replies for a clean end: EOT, the NAK that asks for its confirmation, EOT.
std::vector<Reply> clean_end() { return {{ACK[0], {EOT}}, {NAK[0], {EOT}}}; }

std::vector<Reply> operator+(std::vector<Reply> a, const std::vector<Reply>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

XmodemCase wrap_around() {
    // 257 blocks: the numbers run 1 .. 255, 0, 1.
    std::vector<Reply> script{{'C', {frame(1, 128)}}};
    std::string file = block_data(1, 128);
    std::string transcript = C;
    for (int n = 2; n <= 257; ++n) {
        script.push_back({ACK[0], {frame(n, 128)}});
        file += block_data(n, 128);
        transcript += ACK;
    }
    return {"block_numbers_wrap", script + clean_end(), XMODEM_COMPLETE, file,
            transcript + ACK + NAK + ACK, 60};
}

const std::string B1 = block_data(1, 128);
const std::string B2 = block_data(2, 128);
const std::string K1 = block_data(1, 1024);
const std::string K2 = block_data(2, 1024);

const XmodemCase kCases[] = {
    {"good_128", std::vector<Reply>{{'C', {frame(1, 128)}}, {ACK[0], {frame(2, 128)}}} + clean_end(),
     XMODEM_COMPLETE, B1 + B2, C + ACK + ACK + NAK + ACK, 60},
    {"good_1k", std::vector<Reply>{{'C', {frame(1, 1024)}}, {ACK[0], {frame(2, 1024)}}} + clean_end(),
     XMODEM_COMPLETE, K1 + K2, C + ACK + ACK + NAK + ACK, 60},
    {"1k_then_128", std::vector<Reply>{{'C', {frame(1, 1024)}}, {ACK[0], {frame(2, 128)}}} + clean_end(),
     XMODEM_COMPLETE, K1 + B2, C + ACK + ACK + NAK + ACK, 60},
    {"repeated_block_written_once",
     std::vector<Reply>{{'C', {frame(1, 128)}}, {ACK[0], {frame(1, 128)}}, {ACK[0], {frame(2, 128)}}} +
         clean_end(),
     XMODEM_COMPLETE, B1 + B2, C + ACK + ACK + ACK + NAK + ACK, 60},
    {"corrupted_byte_is_sent_again",
     std::vector<Reply>{{'C', {frame(1, 128)}}, {ACK[0], {flipped(frame(2, 128), 50)}},
                        {NAK[0], {frame(2, 128)}}} + clean_end(),
     XMODEM_COMPLETE, B1 + B2, C + ACK + NAK + ACK + NAK + ACK, 60},
    {"corrupted_first_block_asked_again",
     std::vector<Reply>{{'C', {flipped(frame(1, 1024), 1000)}}, {'C', {frame(1, 1024)}}} + clean_end(),
     XMODEM_COMPLETE, K1, C + C + ACK + NAK + ACK, 60},
    {"pause_inside_a_block", std::vector<Reply>{{'C', {frame(1, 128).substr(0, 60), frame(1, 128).substr(60)}}} +
                                 clean_end(),
     XMODEM_COMPLETE, B1, C + ACK + NAK + ACK, 60},
    {"two_quiet_seconds_end_a_block",
     std::vector<Reply>{{'C', {frame(1, 128)}},
                        {ACK[0], {frame(2, 128).substr(0, 60), "", frame(2, 128).substr(60)}},
                        {NAK[0], {frame(2, 128)}}} + clean_end(),
     XMODEM_COMPLETE, B1 + B2, C + ACK + NAK + ACK + NAK + ACK, 60},
    {"batch_header_block_0_refused",
     std::vector<Reply>{{'C', {frame(0, 128)}}, {'C', {frame(1, 128)}}} + clean_end(),
     XMODEM_COMPLETE, B1, C + C + ACK + NAK + ACK, 60},
    {"block_3_after_block_1_cancels", {{'C', {frame(1, 128)}}, {ACK[0], {frame(3, 128)}}},
     XMODEM_OUT_OF_SEQUENCE, B1, C + ACK + CANCEL_REPLY, 60},
    {"bad_complement_three_times", {{'C', {frame(1, 128)}},
                                    {ACK[0], {flipped(frame(2, 128), 2)}},
                                    {NAK[0], {flipped(frame(2, 128), 2)}},
                                    {NAK[0], {flipped(frame(2, 128), 2)}}},
     XMODEM_TOO_MANY_ERRORS, B1, C + ACK + NAK + NAK + CANCEL_REPLY, 60},
    {"can_can_cancels", {{'C', {frame(1, 128)}}, {ACK[0], {CAN + CAN}}}, XMODEM_CANCELLED, B1, C + ACK, 60},
    {"can_can_before_the_first_block", {{'C', {CAN + CAN}}}, XMODEM_CANCELLED, "", C, 60},
    {"lone_can_is_noise",
     std::vector<Reply>{{'C', {frame(1, 128)}}, {ACK[0], {CAN + frame(2, 128)}}, {NAK[0], {frame(2, 128)}}} +
         clean_end(),
     XMODEM_COMPLETE, B1 + B2, C + ACK + NAK + ACK + NAK + ACK, 60},
    {"eot_then_silence_is_no_end", {{'C', {frame(1, 128)}}, {ACK[0], {EOT}}},
     XMODEM_TOO_MANY_ERRORS, B1, C + ACK + NAK + NAK + NAK + CANCEL_REPLY, 60},
    {"stray_eot_then_more_blocks",
     std::vector<Reply>{{'C', {frame(1, 128)}}, {ACK[0], {EOT}}, {NAK[0], {frame(2, 128)}}} + clean_end(),
     XMODEM_COMPLETE, B1 + B2, C + ACK + NAK + ACK + NAK + ACK, 60},
    {"silence_from_the_start", {}, XMODEM_NO_SENDER, "", C + C + C + CANCEL_REPLY, 3},
    wrap_around(),
};

// --- the simulated line --------------------------------------------------

struct SimLine {
    const std::vector<Reply>& script;
    std::size_t next = 0;
    std::deque<int> pending = {};  // bytes for the receiver; -1 a quiet second
    std::string sent = {};
    long long quiet_ms = 0;   // virtual time spent waiting
};

SerialRead sim_get(void* ctx, int timeout_ms, std::uint8_t* byte) {
    SimLine& s = *static_cast<SimLine*>(ctx);
    const int v = s.pending.empty() ? -1 : s.pending.front();
    if (!s.pending.empty()) s.pending.pop_front();
    if (v < 0) {
        s.quiet_ms += timeout_ms;
        return SERIAL_TIMEOUT;
    }
    *byte = static_cast<std::uint8_t>(v);
    return SERIAL_BYTE;
}

void sim_put(void* ctx, std::uint8_t byte) {
    SimLine& s = *static_cast<SimLine*>(ctx);
    s.sent += static_cast<char>(byte);
    if (s.next >= s.script.size() || s.script[s.next].to != static_cast<char>(byte)) return;
    const Reply& r = s.script[s.next++];
    for (std::size_t i = 0; i < r.chunks.size(); ++i) {
        if (i > 0) s.pending.push_back(-1);
        for (unsigned char c : r.chunks[i]) s.pending.push_back(c);
    }
}

std::string file_text(int fd) {
    std::string out;
    char buf[4096];
    ssize_t n;
    ::lseek(fd, 0, SEEK_SET);
    while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
    return out;
}

class XmodemScript : public ::testing::TestWithParam<XmodemCase> {};

TEST_P(XmodemScript, OnASimulatedLine) {
    const XmodemCase& c = GetParam();
    SimLine line{c.script};
    FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    const XmodemResult r = xmodem_transfer(XmodemPort{&line, sim_get, sim_put}, fileno(out),
                                           c.first_block_tries);
    EXPECT_EQ(r.end, c.end);
    EXPECT_EQ(r.bytes, c.file.size());
    EXPECT_EQ(file_text(fileno(out)), c.file);
    EXPECT_EQ(line.sent, c.transcript);
    // Nothing waits without a bound: at most a minute and a half of quiet.
    EXPECT_LT(line.quiet_ms, 90'000);
    std::fclose(out);
}

// --- the same scripts on a pseudo-terminal in real time --------------------

// A pseudo-terminal, raw (as the receiver's line during a transfer) or in
// a console's usual line mode.
struct Pty {
    int master = -1;
    int slave = -1;
    explicit Pty(bool raw) {
        termios mode{};
        ::cfmakeraw(&mode);
        ::openpty(&master, &slave, nullptr, raw ? &mode : nullptr, nullptr);
    }
    ~Pty() {
        if (master >= 0) ::close(master);
        if (slave >= 0) ::close(slave);
    }
};

// Plays `script` from the other end of the line until *done; records what
// the receiver sent in *sent. A quiet second here lasts 1.5 seconds, so
// that the receiver's one-second reads time out once.
void play(int master, const std::vector<Reply>& script, const std::atomic<bool>* done,
          std::string* sent) {
    std::size_t next = 0;
    while (!*done) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        char buf[64];
        const ssize_t n = ::read(master, buf, sizeof buf);
        for (ssize_t i = 0; i < n; ++i) {
            *sent += buf[i];
            if (next >= script.size() || script[next].to != buf[i]) continue;
            const Reply& r = script[next++];
            for (std::size_t k = 0; k < r.chunks.size(); ++k) {
                if (k > 0) ::usleep(1'500'000);
                [[maybe_unused]] ssize_t w = ::write(master, r.chunks[k].data(), r.chunks[k].size());
            }
        }
    }
}

TEST_P(XmodemScript, OnAPseudoTerminal) {
    const XmodemCase& c = GetParam();
    if (c.script.size() > 20) GTEST_SKIP() << "long script: the simulated line covers it";
    Pty pty(true);
    ASSERT_GE(pty.master, 0);
    ::fcntl(pty.slave, F_SETFL, ::fcntl(pty.slave, F_GETFL) | O_NONBLOCK);
    FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    std::atomic<bool> done{false};
    std::string sent;
    std::thread sender(play, pty.master, std::cref(c.script), &done, &sent);
    XmodemLine line{pty.slave};
    const XmodemResult r =
        xmodem_transfer(xmodem_serial_port(&line), fileno(out), c.first_block_tries);
    ::usleep(100'000);  // the last bytes reach the sender
    done = true;
    sender.join();
    EXPECT_EQ(r.end, c.end);
    EXPECT_EQ(file_text(fileno(out)), c.file);
    EXPECT_EQ(sent, c.transcript);
    std::fclose(out);
}

INSTANTIATE_TEST_SUITE_P(Table, XmodemScript, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(XmodemCrc, CheckValue) {
    const std::string text = "123456789";
    EXPECT_EQ(xmodem_crc16(0, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}),
              0x31C3);
}

TEST(XmodemTransfer, OutputThatCannotBeWrittenAborts) {
    const std::vector<Reply> script{{'C', {frame(1, 128)}}};
    SimLine line{script};
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    const XmodemResult r = xmodem_transfer(XmodemPort{&line, sim_get, sim_put}, full, 60);
    ::close(full);
    EXPECT_EQ(r.end, XMODEM_WRITE_FAILED);
    // The block is not acknowledged: the sender learns the transfer is off.
    EXPECT_EQ(line.sent, C + CANCEL_REPLY);
}

// --- switching the line --------------------------------------------------

// Waits until the line's canonical mode is `canonical` (the receiver has
// switched it), at most 10 seconds.
bool wait_for_mode(int master, bool canonical) {
    for (int i = 0; i < 1000; ++i) {
        termios t{};
        ::tcgetattr(master, &t);
        if (((t.c_lflag & ICANON) != 0) == canonical) return true;
        ::usleep(10'000);
    }
    return false;
}

double seconds_since(const timespec& start) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) + (now.tv_nsec - start.tv_nsec) / 1e9;
}

TEST(SerialDownload, NoPortMeansNoWait) {
    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    EXPECT_EQ(xmodem_receive("/tmp/xmodem-never-written", "/dev/no-such-serial-port"), -1);
    EXPECT_LT(seconds_since(start), 1.0);
    EXPECT_NE(::access("/tmp/xmodem-never-written", F_OK), 0);
}

TEST(SerialDownload, HangUpWhileWaitingForEnterEndsTheWait) {
    Pty pty(false);
    ASSERT_GE(pty.master, 0);
    const std::string device = ::ptsname(pty.master);
    ::close(pty.slave);
    pty.slave = -1;
    std::atomic<int> result{-2};
    std::thread receiver([&] { result = serial_open_download(device.c_str()); });
    ASSERT_TRUE(wait_for_mode(pty.master, false));
    // A key that is not Enter does not start the download.
    [[maybe_unused]] ssize_t w = ::write(pty.master, "x", 1);
    ::usleep(300'000);
    EXPECT_EQ(result.load(), -2);
    ::close(pty.master);
    pty.master = -1;
    receiver.join();
    EXPECT_EQ(result.load(), -1);
}

// --- the whole download with lrzsz's sx ----------------------------------

// Copies between the line and sx's pipes until sx has ended and its output
// has reached the line.
void relay_sx(int master, pid_t sx, int to_sx, int from_sx) {
    bool sx_open = true;
    for (;;) {
        pollfd p[2] = {{master, POLLIN, 0}, {from_sx, POLLIN, 0}};
        ::poll(p, sx_open ? 2 : 1, 50);
        char buf[4096];
        if (p[0].revents & POLLIN) {
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0) {
                [[maybe_unused]] ssize_t w = ::write(to_sx, buf, static_cast<std::size_t>(n));
            }
        }
        if (sx_open && (p[1].revents & (POLLIN | POLLHUP))) {
            const ssize_t n = ::read(from_sx, buf, sizeof buf);
            if (n <= 0) {
                sx_open = false;
            } else {
                [[maybe_unused]] ssize_t w = ::write(master, buf, static_cast<std::size_t>(n));
            }
        }
        if (!sx_open && ::waitpid(sx, nullptr, WNOHANG) == sx) return;
    }
}

// Runs sx with `args` on `path`, sending into the line from `master`.
pid_t start_sx(const std::vector<std::string>& args, int* to_sx, int* from_sx) {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDERR_FILENO);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        std::_Exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    *to_sx = in[1];
    *from_sx = out[0];
    return pid;
}

struct SxCase {
    const char* name;
    const char* option;  // "" for 128-byte blocks
    std::size_t size;
    std::size_t padded;  // what the receiver keeps: the last block in full
};

class XmodemSx : public ::testing::TestWithParam<SxCase> {};

TEST_P(XmodemSx, DownloadsTheFile) {
    const SxCase& c = GetParam();
    if (::access("/usr/bin/sx", X_OK) != 0) GTEST_SKIP() << "lrzsz's sx is not installed";
    char dir[] = "/tmp/xmodem-sx-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string source = std::string(dir) + "/source";
    const std::string target = std::string(dir) + "/target";
    std::string data;
    for (std::size_t i = 0; i < c.size; ++i) data += static_cast<char>((i * 131) ^ (i >> 8));
    FILE* f = std::fopen(source.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);

    Pty pty(false);
    ASSERT_GE(pty.master, 0);
    const std::string device = ::ptsname(pty.master);
    std::int64_t result = -2;  // read after the join
    std::thread receiver([&] { result = xmodem_receive(target.c_str(), device.c_str()); });

    // The operator: Enter once the line is in download mode, the transfer,
    // Enter once the console is back.
    ASSERT_TRUE(wait_for_mode(pty.master, false));
    ::usleep(100'000);
    [[maybe_unused]] ssize_t w = ::write(pty.master, "\r", 1);
    std::vector<std::string> args{"/usr/bin/sx", "-q"};
    if (*c.option) args.push_back(c.option);
    args.push_back(source);
    int to_sx = -1, from_sx = -1;
    const pid_t sx = start_sx(args, &to_sx, &from_sx);
    ASSERT_GT(sx, 0);
    relay_sx(pty.master, sx, to_sx, from_sx);
    ::close(to_sx);
    ::close(from_sx);
    ASSERT_TRUE(wait_for_mode(pty.master, true));
    w = ::write(pty.master, "\r", 1);
    receiver.join();

    EXPECT_EQ(result, static_cast<std::int64_t>(c.padded));
    f = std::fopen(target.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::string got(c.padded + 1, '\0');
    got.resize(std::fread(got.data(), 1, got.size(), f));
    std::fclose(f);
    EXPECT_EQ(got.substr(0, data.size()), data);
    EXPECT_EQ(got.substr(data.size()), std::string(c.padded - c.size, '\x1a'));
    std::remove(source.c_str());
    std::remove(target.c_str());
    ::rmdir(dir);
}

INSTANTIATE_TEST_SUITE_P(Lrzsz, XmodemSx,
                         ::testing::Values(SxCase{"blocks_128", "", 3000, 3072},
                                           SxCase{"blocks_1k", "-k", 5000, 5120}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
