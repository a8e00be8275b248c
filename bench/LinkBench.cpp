// The host as a phone sees it over a real link: quelmix-host in a network namespace, this
// benchmark as the companion in another, and between them an emulated link (rate, one-way delay,
// 1 s tail-drop buffer) for two profiles, 6 Mbit/s at 40 ms and 2 Mbit/s at 80 ms round trip.
// Decoded pictures are compared with the screen in luma (BT.709, video range). Root only; run
// on an X display of 1920x1080 (bench/link-figures.sh starts a private desktop).
//
//   LinkBench <quelmix-host> [--only MBPS] [--connects N]
//   LinkBench <quelmix-host> --try MBPS RTT_MS SECONDS
//
// --only runs the profile of that rate alone. --connects measures only the connection's start,
// N times against one host that idles between them, and prints each figure and their median.
// With --try it only sets up the link and the host and prints how to reach it from the
// companion's namespace, for trying quelmix-companion by hand.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include "QuelmCore/VideoFrame.hpp"
#include "bench/tools/EmulatedLink.hpp"
#include "bench/tools/LinkScreen.hpp"

namespace {

namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
using boost::asio::ip::tcp;
using quelm::Bytes;
using quelm::VideoFrame;

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// quelmix-host in the host's namespace, headless, with a home of its own.
class HostProcess {
  public:
    HostProcess(const std::string& binary, const std::string& ns, int port) {
        int out[2];
        if (pipe(out) != 0) {
            return;
        }
        home_ = "/tmp/quelmix-link-home-" + std::to_string(getpid());
        if (std::system(("mkdir -p " + home_).c_str()) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            const std::string log = home_ + "/host.log";
            if (!std::freopen(log.c_str(), "w", stderr)) {
                _exit(126);
            }
            close(out[0]);
            const auto env = environment();
            std::vector<const char*> argv{"ip", "netns", "exec", ns.c_str(), "env", "-i"};
            for (const auto& entry : env) {
                argv.push_back(entry.c_str());
            }
            const std::string portText = std::to_string(port);
            for (const char* arg : {binary.c_str(), "--headless", "--port", portText.c_str()}) {
                argv.push_back(arg);
            }
            argv.push_back(nullptr);
            execvp("ip", const_cast<char* const*>(argv.data()));
            _exit(127);
        }
        close(out[1]);
        FILE* lines = fdopen(out[0], "r");
        // The host keeps the secret out of a piped stdout: it says it listens, and the URL
        // comes from --show-url run with the same home.
        char line[4096];
        while (std::fgets(line, sizeof line, lines)) {
            if (std::string(line).rfind("listening on ", 0) == 0) {
                token_ = readToken(binary, ns, port);
                break;
            }
        }
        lines_ = lines;
    }
    ~HostProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (lines_) {
            std::fclose(lines_);
        }
        if (const char* dump = std::getenv("LINKBENCH_DUMP")) {
            const std::string copy = "cat " + home_ + "/host.log >> " + dump + "/host.log";
            if (std::system(copy.c_str()) != 0) {
                std::fprintf(stderr, "could not keep the host's log in %s\n", dump);
            }
        }
        if (std::system(("rm -rf " + home_).c_str()) != 0) {
            std::fprintf(stderr, "could not remove %s\n", home_.c_str());
        }
    }
    const std::string& token() const { return token_; }

  private:
    std::vector<std::string> environment() const {
        return {"PATH=/usr/bin:/bin", std::string("DISPLAY=") + std::getenv("DISPLAY"),
                "HOME=" + home_, "XDG_DATA_HOME=" + home_,
                "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent"};
    }

    std::string readToken(const std::string& binary, const std::string& ns, int port) const {
        std::string command = "ip netns exec " + ns + " env -i";
        for (const auto& entry : environment()) {
            command += " '" + entry + "'";
        }
        command += " '" + binary + "' --show-url --port " + std::to_string(port);
        FILE* out = popen(command.c_str(), "r");
        if (!out) {
            return {};
        }
        std::string token;
        char line[4096];
        while (std::fgets(line, sizeof line, out)) {
            const std::string text = line;
            const auto at = text.find("#t=");
            if (token.empty() && text.rfind("quelmix://", 0) == 0 && at != std::string::npos) {
                token = text.substr(at + 3, 32);
            }
        }
        pclose(out);
        return token;
    }

  private:
    pid_t pid_ = -1;
    FILE* lines_ = nullptr;
    std::string home_;
    std::string token_;
};

// One decoded picture as the companion got it.
struct Picture {
    double at = 0;
    double receivedAt = 0;  // its message arrived, before decoding
    bool key = false;
    std::size_t bytes = 0;
    std::vector<std::uint8_t> luma;  // width x height
};

// The measuring companion: connects from its namespace, acknowledges each frame once decoded,
// keeps the pictures it decoded since the last take().
class Companion {
  public:
    Companion(int width, int height) : width_(width), height_(height), ws_(io_) {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
        decoder_ = avcodec_alloc_context3(codec);
        decoder_->flags |= AV_CODEC_FLAG_LOW_DELAY;
        avcodec_open2(decoder_, codec, nullptr);
        frame_ = av_frame_alloc();
    }
    ~Companion() {
        av_frame_free(&frame_);
        avcodec_free_context(&decoder_);
    }

    // Connects and says hello; false on failure.
    bool connect(const std::string& address, int port, const std::string& token, double mbps) {
        try {
            beast::get_lowest_layer(ws_).connect(
                tcp::endpoint(boost::asio::ip::make_address(address), port));
            connectedAt_ = now();
            // As the companion does: under Nagle's rule an acknowledgement would wait for the TCP
            // acknowledgement of the one before, and the frame gate would open once a round trip.
            beast::get_lowest_layer(ws_).socket().set_option(tcp::no_delay(true));
            ws_.read_message_max(0);
            ws_.handshake(address + ":" + std::to_string(port), "/");
            upgradedAt_ = now();
            ws_.text(true);
            char config[160];
            std::snprintf(config, sizeof config,
                          R"("config":{"maxEdge":1920,"bitrateMbps":%g,"fps":30})", mbps);
            ws_.write(boost::asio::buffer(R"({"hello":{"_0":{"token":")" + token + R"(",)" +
                                          config + "}}}"));
        } catch (const std::exception& e) {
            std::fprintf(stderr, "companion: %s\n", e.what());
            return false;
        }
        readNext();
        return true;
    }

    void send(std::string text) {
        outbox_.push_back(std::move(text));
        if (outbox_.size() == 1) {
            writeNext();
        }
    }

    // Runs the connection for `seconds`.
    void pump(double seconds) {
        io_.restart();
        io_.run_for(std::chrono::microseconds(static_cast<long>(seconds * 1e6)));
    }
    // Runs it until `done` holds for a picture, or `seconds` pass; the picture, if any.
    template <class Done>
    std::optional<Picture> until(Done done, double seconds) {
        const double end = now() + seconds;
        while (now() < end && !failed_) {
            pump(0.005);
            while (!pictures_.empty()) {
                Picture picture = std::move(pictures_.front());
                pictures_.pop_front();
                if (done(picture)) {
                    return picture;
                }
            }
        }
        return std::nullopt;
    }

    // Forgets the pictures decoded so far: what comes next answers a new question.
    void discard() { pictures_.clear(); }

    std::size_t frames() const { return frames_; }
    // When the TCP connection and the WebSocket upgrade were done.
    double connectedAt() const { return connectedAt_; }
    double upgradedAt() const { return upgradedAt_; }
    const Picture& last() const { return last_; }
    std::size_t bytes() const { return bytesIn_; }
    bool failed() const { return failed_; }

  private:
    void readNext() {
        ws_.async_read(buffer_, [this](beast::error_code error, std::size_t) {
            if (error) {
                failed_ = true;
                return;
            }
            if (!ws_.got_text()) {
                received();
            }
            buffer_.consume(buffer_.size());
            readNext();
        });
    }

    void writeNext() {
        ws_.text(true);
        ws_.async_write(boost::asio::buffer(outbox_.front()),
                        [this](beast::error_code error, std::size_t) {
                            outbox_.pop_front();
                            if (error) {
                                failed_ = true;
                            } else if (!outbox_.empty()) {
                                writeNext();
                            }
                        });
    }

    void received() {
        const auto data = buffer_.data();
        const auto* bytes = static_cast<const std::uint8_t*>(data.data());
        if (data.size() < 1 || bytes[0] != VideoFrame::tag) {
            return;
        }
        auto frame = VideoFrame::decode({bytes, data.size()});
        if (!frame) {
            return;
        }
        ++frames_;
        bytesIn_ += data.size();
        Picture picture;
        picture.receivedAt = now();
        picture.key = frame->isKey;
        picture.bytes = data.size();
        if (decode(*frame, picture)) {
            picture.at = now();
            last_ = picture;
            pictures_.push_back(std::move(picture));
        }
        send(R"({"ack":{"seq":)" + std::to_string(frame->seq) + "}}");
    }

    bool decode(const VideoFrame& frame, Picture& picture) {
        Bytes annexB;
        const Bytes start{0, 0, 0, 1};
        for (const auto& set : frame.parameterSets) {
            annexB.insert(annexB.end(), start.begin(), start.end());
            annexB.insert(annexB.end(), set.begin(), set.end());
        }
        for (std::size_t at = 0; at + 4 <= frame.payload.size();) {
            const std::size_t length = (std::size_t{frame.payload[at]} << 24) |
                                       (std::size_t{frame.payload[at + 1]} << 16) |
                                       (std::size_t{frame.payload[at + 2]} << 8) |
                                       frame.payload[at + 3];
            if (length > frame.payload.size() - at - 4) {
                return false;
            }
            annexB.insert(annexB.end(), start.begin(), start.end());
            annexB.insert(annexB.end(), frame.payload.begin() + at + 4,
                          frame.payload.begin() + at + 4 + length);
            at += 4 + length;
        }
        AVPacket* packet = av_packet_alloc();
        av_new_packet(packet, static_cast<int>(annexB.size()));
        std::copy(annexB.begin(), annexB.end(), packet->data);
        const bool sent = avcodec_send_packet(decoder_, packet) == 0;
        av_packet_free(&packet);
        if (!sent || avcodec_receive_frame(decoder_, frame_) != 0) {
            return false;
        }
        if (frame_->width != width_ || frame_->height != height_) {
            return false;
        }
        picture.luma.resize(std::size_t(width_) * height_);
        for (int y = 0; y < height_; ++y) {
            std::copy_n(frame_->data[0] + y * frame_->linesize[0], width_,
                        picture.luma.data() + std::size_t(y) * width_);
        }
        return true;
    }

    const int width_;
    const int height_;
    boost::asio::io_context io_;
    websocket::stream<beast::tcp_stream> ws_;
    beast::flat_buffer buffer_;
    std::deque<std::string> outbox_;
    std::deque<Picture> pictures_;
    Picture last_;
    AVCodecContext* decoder_ = nullptr;
    AVFrame* frame_ = nullptr;
    std::size_t frames_ = 0;
    std::size_t bytesIn_ = 0;
    bool failed_ = false;
    double connectedAt_ = 0;
    double upgradedAt_ = 0;
};

double psnr(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    if (a.size() != b.size() || a.empty()) {
        return 0;
    }
    double error = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double d = double(a[i]) - double(b[i]);
        error += d * d;
    }
    const double mse = error / double(a.size());
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

struct Figures {
    double connectToPicture = -1, connectKeyKB = 0, connectTo38 = -1, connectFirstDb = 0;
    double refreshToPicture = -1, refreshKeyKB = 0, refreshTo38 = -1, refreshFirstDb = 0;
    double changeMedianMs = -1, changeWorstMs = -1;
    double scrollFps = 0, scrollMbps = 0;
    double detailKeyKB = 0, detailToPicture = -1, detailTo38 = -1, detailTo40 = -1;
    double detailAt600Db = 0, detailFinalDb = 0;
};

// Waits after a key frame's arrival for the first picture at `db` or better; -1 if none.
double sharpAfter(Companion& companion, const std::vector<std::uint8_t>& screen, double since,
                  double db, const Picture& first, double seconds) {
    if (psnr(first.luma, screen) >= db) {
        return first.at - since;
    }
    auto sharp =
        companion.until([&](const Picture& p) { return psnr(p.luma, screen) >= db; }, seconds);
    return sharp ? sharp->at - since : -1;
}

Figures measure(const EmulatedLink& link, const std::string& host, double mbps, LinkScreen& x) {
    Figures f;
    HostProcess process(host, link.hostNamespace(), 5290);
    if (process.token().empty()) {
        std::fprintf(stderr, "the host gave no URL\n");
        return f;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    x.parkPointer();
    x.showTerminalDesk();
    auto screen = x.luma();
    Companion companion(x.width(), x.height());
    const double connectStart = now();
    if (!companion.connect(link.hostAddress(), 5290, process.token(), mbps)) {
        return f;
    }
    if (auto first = companion.until([](const Picture&) { return true; }, 5)) {
        if (const char* dump = std::getenv("LINKBENCH_DUMP")) {
            auto pgm = [&](const std::string& path, const std::vector<std::uint8_t>& luma) {
                if (FILE* out = std::fopen(path.c_str(), "wb")) {
                    std::fprintf(out, "P5 %d %d 255\n", x.width(), x.height());
                    std::fwrite(luma.data(), 1, luma.size(), out);
                    std::fclose(out);
                }
            };
            pgm(std::string(dump) + "/screen.pgm", screen);
            pgm(std::string(dump) + "/decoded.pgm", first->luma);
        }
        f.connectToPicture = first->at - connectStart;
        f.connectKeyKB = first->bytes / 1024.0;
        f.connectFirstDb = psnr(first->luma, screen);
        f.connectTo38 = sharpAfter(companion, screen, connectStart, 38, *first, 5);
    }
    companion.pump(2);

    companion.pump(1.5);
    // A large change may itself come as a key frame: only the refresh's own counts.
    companion.discard();
    const double refreshAsked = now();
    companion.send(R"({"refresh":{}})");
    if (auto key = companion.until([](const Picture& p) { return p.key; }, 5)) {
        f.refreshToPicture = key->at - refreshAsked;
        f.refreshKeyKB = key->bytes / 1024.0;
        f.refreshFirstDb = psnr(key->luma, screen);
        f.refreshTo38 = sharpAfter(companion, screen, refreshAsked, 38, *key, 5);
    }

    // A small square turns black or white; when does the companion see it?
    std::vector<double> delays;
    for (int i = 0; i < 16; ++i) {
        companion.pump(0.3);
        const bool dark = i % 2 == 0;
        const double changed = now();
        x.paintSquare(dark);
        auto seen = companion.until(
            [&](const Picture& p) { return (x.squareLuma(p.luma) < 100) == dark; }, 3);
        if (seen) {
            delays.push_back((seen->at - changed) * 1000);
        }
    }
    if (!delays.empty()) {
        std::sort(delays.begin(), delays.end());
        f.changeMedianMs = delays[delays.size() / 2];
        f.changeWorstMs = delays.back();
    }

    // A terminal-like scroll for five seconds.
    companion.pump(1);
    const std::size_t frames = companion.frames();
    const std::size_t bytes = companion.bytes();
    const double scrollStart = now();
    x.scroll(5.0, [&](double slice) { companion.pump(slice); });
    const double scrolled = now() - scrollStart;
    f.scrollFps = double(companion.frames() - frames) / scrolled;
    f.scrollMbps = double(companion.bytes() - bytes) * 8 / scrolled / 1e6;

    // A still, detailed screen: a refresh, then how soon it is sharp, picture by picture.
    x.showTexture();
    companion.pump(2);
    screen = x.luma();
    companion.pump(1.5);
    companion.discard();
    const double asked = now();
    companion.send(R"({"refresh":{}})");
    bool keySeen = false;
    companion.until(
        [&](const Picture& p) {
            keySeen = keySeen || p.key;
            if (!keySeen) {
                return false;
            }
            const double at = p.at - asked;
            const double db = psnr(p.luma, screen);
            if (f.detailToPicture < 0) {
                f.detailToPicture = at;
                f.detailKeyKB = p.bytes / 1024.0;
            }
            if (db >= 38 && f.detailTo38 < 0) {
                f.detailTo38 = at;
            }
            if (db >= 40 && f.detailTo40 < 0) {
                f.detailTo40 = at;
            }
            if (at <= 0.6) {
                f.detailAt600Db = db;
            }
            f.detailFinalDb = db;
            return false;
        },
        2.5);
    x.hideTexture();
    return f;
}

// One connection's start as the companion saw it, in seconds after connect() was called.
struct ConnectStart {
    double tcp = -1, upgraded = -1, received = -1, decoded = -1, sharp = -1;
    double keyKB = 0, db = 0;
};

// `count` connections, one after another, to one host that idles for a while between them.
std::vector<ConnectStart> measureConnects(const EmulatedLink& link, const std::string& host,
                                          double mbps, LinkScreen& x, int count) {
    std::vector<ConnectStart> starts;
    HostProcess process(host, link.hostNamespace(), 5290);
    if (process.token().empty()) {
        std::fprintf(stderr, "the host gave no URL\n");
        return starts;
    }
    x.parkPointer();
    x.showTerminalDesk();
    const auto screen = x.luma();
    for (int i = 0; i < count; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        ConnectStart start;
        Companion companion(x.width(), x.height());
        const double begun = now();
        if (companion.connect(link.hostAddress(), 5290, process.token(), mbps)) {
            start.tcp = companion.connectedAt() - begun;
            start.upgraded = companion.upgradedAt() - begun;
            if (auto first = companion.until([](const Picture&) { return true; }, 5)) {
                start.received = first->receivedAt - begun;
                start.decoded = first->at - begun;
                start.keyKB = first->bytes / 1024.0;
                start.db = psnr(first->luma, screen);
                start.sharp = sharpAfter(companion, screen, begun, 38, *first, 3);
            }
        }
        starts.push_back(start);
    }
    return starts;
}

void printConnects(const std::string& profile, const std::vector<ConnectStart>& starts) {
    std::printf("%s: connect -> TCP / upgraded / first frame in / decoded / 38 dB, seconds\n",
                profile.c_str());
    std::vector<double> decoded;
    for (const auto& s : starts) {
        std::printf("  %.3f / %.3f / %.3f / %.3f / %.3f  (%.0f KB, %.1f dB)\n", s.tcp, s.upgraded,
                    s.received, s.decoded, s.sharp, s.keyKB, s.db);
        decoded.push_back(s.decoded);
    }
    if (!decoded.empty()) {
        std::sort(decoded.begin(), decoded.end());
        std::printf("  decoded: median %.3f s, best %.3f s, worst %.3f s\n",
                    decoded[decoded.size() / 2], decoded.front(), decoded.back());
    }
}

void print(const std::vector<std::pair<std::string, Figures>>& runs) {
    auto row = [&](const char* name, auto value) {
        std::printf("%-44s", name);
        for (const auto& [profile, f] : runs) {
            std::printf(" | %-24s", value(f).c_str());
        }
        std::printf("\n");
    };
    auto text = [](const char* format, auto... values) {
        char out[96];
        std::snprintf(out, sizeof out, format, values...);
        return std::string(out);
    };
    std::printf("%-44s", "figure");
    for (const auto& run : runs) {
        std::printf(" | %-24s", run.first.c_str());
    }
    std::printf("\n");
    row("connect -> first picture (key frame)", [&](const Figures& f) {
        return text("%.2f s (%.0f KB, %.1f dB)", f.connectToPicture, f.connectKeyKB,
                    f.connectFirstDb);
    });
    row("connect -> at least 38 dB",
        [&](const Figures& f) { return text("%.2f s", f.connectTo38); });
    row("refresh -> picture (key frame)", [&](const Figures& f) {
        return text("%.2f s (%.0f KB, %.1f dB)", f.refreshToPicture, f.refreshKeyKB,
                    f.refreshFirstDb);
    });
    row("refresh -> at least 38 dB",
        [&](const Figures& f) { return text("%.2f s", f.refreshTo38); });
    row("change -> picture, median / worst", [&](const Figures& f) {
        return text("%.0f / %.0f ms", f.changeMedianMs, f.changeWorstMs);
    });
    row("terminal scroll: fps (link used)",
        [&](const Figures& f) { return text("%.1f (%.2f Mbit/s)", f.scrollFps, f.scrollMbps); });
    row("detailed screen: refresh key frame", [&](const Figures& f) {
        return text("%.0f KB in %.2f s", f.detailKeyKB, f.detailToPicture);
    });
    row("detailed screen: refresh -> 38 / 40 dB",
        [&](const Figures& f) { return text("%.2f / %.2f s", f.detailTo38, f.detailTo40); });
    row("detailed screen: luma at 0.6 s / final",
        [&](const Figures& f) { return text("%.1f / %.1f dB", f.detailAt600Db, f.detailFinalDb); });
    std::printf("(-1: not reached)\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || !std::getenv("DISPLAY")) {
        std::fprintf(stderr,
                     "usage: LinkBench <quelmix-host> [--only MBPS] [--connects N] | "
                     "[--try MBPS RTT_MS SECONDS], as root, with DISPLAY set\n");
        return 2;
    }
    const std::string host = argv[1];
    std::string why;
    if (argc >= 6 && std::string(argv[2]) == "--try") {
        EmulatedLink::Profile profile{std::atof(argv[3]), std::atof(argv[4])};
        auto link = EmulatedLink::create(profile, why);
        if (!link) {
            std::fprintf(stderr, "no link: %s\n", why.c_str());
            return 1;
        }
        HostProcess process(host, link->hostNamespace(), 5290);
        std::printf(
            "host behind a %g Mbit/s, %g ms link for %s s; from the companion's side:\n"
            "  ip netns exec %s quelmix-companion \"quelmix://%s:5290/#t=%s\" ...\n",
            profile.mbps, profile.rttMs, argv[5], link->companionNamespace().c_str(),
            link->hostAddress().c_str(), process.token().c_str());
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::duration<double>(std::atof(argv[5])));
        return 0;
    }
    double only = 0;
    int connects = 0;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--only") {
            only = std::atof(argv[i + 1]);
        } else if (option == "--connects") {
            connects = std::max(std::atoi(argv[i + 1]), 1);
        } else {
            std::fprintf(stderr, "unknown option %s\n", option.c_str());
            return 2;
        }
    }

    LinkScreen screen;
    if (!screen.open()) {
        std::fprintf(stderr, "cannot open the X display\n");
        return 1;
    }
    std::vector<std::pair<std::string, Figures>> runs;
    const std::vector<std::pair<std::string, EmulatedLink::Profile>> profiles{
        {"6 Mbit/s, 40 ms RTT", {6, 40}}, {"2 Mbit/s, 80 ms RTT", {2, 80}}};
    for (const auto& entry : profiles) {
        const std::string& name = entry.first;
        const EmulatedLink::Profile& profile = entry.second;
        if (only > 0 && profile.mbps != only) {
            continue;
        }
        auto link = EmulatedLink::create(profile, why);
        if (!link) {
            std::fprintf(stderr, "no link: %s\n", why.c_str());
            return 1;
        }
        Figures figures;
        std::vector<ConnectStart> starts;
        // The companion's socket must be made inside its namespace.
        std::thread companion([&] {
            if (!EmulatedLink::enter(link->companionNamespace())) {
                return;
            }
            if (connects > 0) {
                starts = measureConnects(*link, host, profile.mbps, screen, connects);
            } else {
                figures = measure(*link, host, profile.mbps, screen);
            }
        });
        companion.join();
        std::fprintf(stderr, "%s: %ld packets dropped by the buffer\n", name.c_str(),
                     link->dropped());
        if (connects > 0) {
            printConnects(name, starts);
        } else {
            runs.emplace_back(name, figures);
        }
    }
    if (!runs.empty()) {
        print(runs);
    }
    return 0;
}
