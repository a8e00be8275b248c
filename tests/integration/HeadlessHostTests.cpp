#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QuelmCore/WireCoder.hpp"
#include "tests/fakes/WsTestClient.hpp"

extern char** environ;

namespace quelm::test {
namespace {

namespace fs = std::filesystem;

// Reads a display number that an X server writes to `fd` (-displayfd), ended by a line break.
std::optional<int> readDisplayNumber(int fd, std::chrono::seconds limit) {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd readable{fd, POLLIN, 0};
        if (poll(&readable, 1, 100) <= 0) {
            continue;
        }
        char chunk[16];
        const auto n = read(fd, chunk, sizeof chunk);
        if (n <= 0) {
            return std::nullopt;
        }
        text.append(chunk, static_cast<std::size_t>(n));
        if (text.find('\n') != std::string::npos) {
            return std::stoi(text);
        }
    }
    return std::nullopt;
}

// A private Xvfb on a display number it picks itself, stopped by its pid.
class PrivateXServer {
  public:
    static constexpr int kWidth = 1280;
    static constexpr int kHeight = 720;

    PrivateXServer() {
        int numberPipe[2];
        if (pipe(numberPipe) != 0) {
            return;
        }
        const std::string fd = std::to_string(numberPipe[1]);
        const std::string screen = std::to_string(kWidth) + "x" + std::to_string(kHeight) + "x24";
        std::vector<std::string> args{"Xvfb", "-displayfd", fd,    "-screen", "0",
                                      screen, "-nolisten",  "tcp", "-noreset"};
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addclose(&actions, numberPipe[0]);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(numberPipe[1]);
        if (pid_ > 0) {
            if (auto number = readDisplayNumber(numberPipe[0], std::chrono::seconds(20))) {
                display_ = ":" + std::to_string(*number);
            }
        }
        close(numberPipe[0]);
    }

    ~PrivateXServer() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }

    // ":N" once the server accepts connections; empty when it did not start.
    const std::string& display() const { return display_; }

  private:
    pid_t pid_ = -1;
    std::string display_;
};

// quelmix-host run as a child with a private data folder, no secret service and the given X
// display (none: DISPLAY unset), its stdout and stderr read line by line.
class HostProcess {
  public:
    explicit HostProcess(std::vector<std::string> args, const std::string& display = {}) {
        folder_ = fs::temp_directory_path() / ("quelmix-host-test-" + std::to_string(getpid()));
        fs::create_directories(folder_);
        const fs::path binary = QUELM_HOST_BINARY;
        int out[2];
        int err[2];
        if (pipe(out) != 0 || pipe(err) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, err[0]);

        std::vector<std::string> env{"XDG_DATA_HOME=" + folder_.string(),
                                     "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent",
                                     "HOME=" + folder_.string(), "PATH=/usr/bin:/bin"};
        if (!display.empty()) {
            env.push_back("DISPLAY=" + display);
        }
        std::vector<char*> envp;
        for (auto& e : env) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        args.insert(args.begin(), binary.string());
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }

    ~HostProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
        close(err_);
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    bool running() const { return pid_ > 0; }

    // The next stdout line, waiting up to `seconds`.
    std::optional<std::string> nextLine(double seconds = 5.0) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        for (;;) {
            if (auto newline = outBuffer_.find('\n'); newline != std::string::npos) {
                std::string line = outBuffer_.substr(0, newline);
                outBuffer_.erase(0, newline + 1);
                return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !readInto(out_, outBuffer_, static_cast<int>(left.count()))) {
                return std::nullopt;
            }
        }
    }

    // Sends the signal and waits for the exit status; everything written to stderr is kept.
    std::optional<int> stop(int signal) {
        kill(pid_, signal);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        while (readInto(err_, errors_, 100)) {
        }
        return WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
    }
    const std::string& errors() const { return errors_; }

  private:
    static bool readInto(int fd, std::string& buffer, int timeoutMs) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) {
            return false;
        }
        char chunk[4096];
        auto n = read(fd, chunk, sizeof chunk);
        if (n <= 0) {
            return false;
        }
        buffer.append(chunk, static_cast<std::size_t>(n));
        return true;
    }

    fs::path folder_;
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string outBuffer_;
    std::string errors_;
};

// A companion that read the host's URL line, connected and exchanged hellos.
struct Companion {
    std::string token;
    HostInfo info;
    std::unique_ptr<WsTestClient> client;
};

std::optional<Companion> connectCompanion(HostProcess& host) {
    auto url = host.nextLine();
    const std::string prefix = "quelmix://127.0.0.1:";
    if (!url || url->rfind(prefix, 0) != 0 || url->find("/#t=") == std::string::npos) {
        ADD_FAILURE() << "no local URL: " << url.value_or("(nothing)");
        return std::nullopt;
    }
    const auto slash = url->find("/#t=");
    const auto port =
        static_cast<std::uint16_t>(std::stoi(url->substr(prefix.size(), slash - prefix.size())));
    Companion companion{url->substr(slash + 4), {}, std::make_unique<WsTestClient>()};
    if (!companion.client->connect("127.0.0.1", port)) {
        ADD_FAILURE() << companion.client->error();
        return std::nullopt;
    }
    companion.client->sendText(R"({"hello":{"_0":{"token":")" + companion.token +
                               R"(","config":{"maxEdge":1920,"bitrateMbps":6,"fps":30}}}})");
    const auto hello = companion.client->receiveText(5.0);
    const auto decoded =
        hello ? WireCoder::decode<ServerMessage>(*hello) : std::optional<ServerMessage>();
    const auto* answer = decoded ? std::get_if<ServerMessage::Hello>(&*decoded) : nullptr;
    if (answer == nullptr) {
        ADD_FAILURE() << "no host hello: " << hello.value_or("(nothing)");
        return std::nullopt;
    }
    companion.info = answer->info;
    return companion;
}

TEST(HeadlessHost, PrintsStatusAndLocalURLServesACompanionAndEndsCleanly) {
    if (access("/usr/bin/Xvfb", X_OK) != 0) {
        GTEST_SKIP() << "no Xvfb";
    }
    PrivateXServer x;
    ASSERT_FALSE(x.display().empty()) << "Xvfb did not start";
    HostProcess host({"--headless", "--allow-local", "--port", "0"}, x.display());
    ASSERT_TRUE(host.running());

    EXPECT_EQ(host.nextLine(), "Tailscaleのアドレスが見つかりません");
    std::string token;
    {
        auto companion = connectCompanion(host);
        ASSERT_TRUE(companion);
        token = companion->token;
        EXPECT_EQ(token.size(), 32u);
        EXPECT_EQ(host.nextLine(), "接続中: 127.0.0.1");
    }
    EXPECT_EQ(host.nextLine(), "Tailscaleのアドレスが見つかりません");

    EXPECT_EQ(host.stop(SIGINT), 0);
    EXPECT_EQ(host.errors().find(token), std::string::npos) << "the secret reached the log";
}

TEST(HeadlessHost, OffersTheScreenOfItsXDisplay) {
    if (access("/usr/bin/Xvfb", X_OK) != 0) {
        GTEST_SKIP() << "no Xvfb";
    }
    PrivateXServer x;
    ASSERT_FALSE(x.display().empty()) << "Xvfb did not start";
    HostProcess host({"--headless", "--allow-local", "--port", "0"}, x.display());
    ASSERT_TRUE(host.running());

    EXPECT_EQ(host.nextLine(), "Tailscaleのアドレスが見つかりません");
    {
        auto companion = connectCompanion(host);
        ASSERT_TRUE(companion);
        const HostInfo& info = companion->info;
        ASSERT_TRUE(info.displays);
        ASSERT_EQ(info.displays->size(), 1u);
        EXPECT_NE(info.displayID, 0u);
        EXPECT_EQ(info.displayID, info.displays->front().id);
        EXPECT_EQ(info.displayWidth, PrivateXServer::kWidth);
        EXPECT_EQ(info.displayHeight, PrivateXServer::kHeight);
        EXPECT_EQ(host.nextLine(), "接続中: 127.0.0.1");
    }
    EXPECT_EQ(host.stop(SIGTERM), 0);
    EXPECT_EQ(host.errors().find("no X display"), std::string::npos) << host.errors();
}

TEST(HeadlessHost, SigtermEndsWithStatusZeroAndBadOptionsAreRefused) {
    if (access("/usr/bin/Xvfb", X_OK) != 0) {
        GTEST_SKIP() << "no Xvfb";
    }
    PrivateXServer x;
    ASSERT_FALSE(x.display().empty()) << "Xvfb did not start";
    HostProcess host({"--headless"}, x.display());
    ASSERT_TRUE(host.running());
    EXPECT_TRUE(host.nextLine());
    EXPECT_EQ(host.stop(SIGTERM), 0);

    // Without an X server there is no screen to offer: the host says why and stops.
    HostProcess blind({"--headless"});
    EXPECT_EQ(blind.stop(0), 1);
    EXPECT_NE(blind.errors().find("no X display"), std::string::npos) << blind.errors();

    HostProcess wrong({"--port", "70000"});
    EXPECT_EQ(wrong.stop(0), 2);
}

}  // namespace
}  // namespace quelm::test
