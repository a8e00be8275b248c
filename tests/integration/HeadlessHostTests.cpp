#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "QuelmCore/WireCoder.hpp"
#include "tests/fakes/WsTestClient.hpp"

extern char** environ;

namespace quelm::test {
namespace {

namespace fs = std::filesystem;

// quelmix-host run as a child with a private data folder and no secret service, its stdout
// and stderr read line by line.
class HostProcess {
  public:
    explicit HostProcess(std::vector<std::string> args) {
        folder_ = fs::temp_directory_path() / ("quelmix-host-test-" + std::to_string(getpid()));
        fs::create_directories(folder_);
        auto binary = fs::canonical("/proc/self/exe").parent_path().parent_path() / "QuelmHost" /
                      "quelmix-host";
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
        // With an X server at hand (scripts/test starts a private one) the host offers its
        // displays.
        for (const char* name : {"DISPLAY", "XAUTHORITY"}) {
            if (const char* value = std::getenv(name)) {
                env.push_back(std::string(name) + "=" + value);
            }
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

TEST(HeadlessHost, PrintsStatusAndLocalURLServesACompanionAndEndsCleanly) {
    HostProcess host({"--headless", "--allow-local", "--port", "0"});
    ASSERT_TRUE(host.running());

    EXPECT_EQ(host.nextLine(), "Tailscaleのアドレスが見つかりません");
    auto url = host.nextLine();
    ASSERT_TRUE(url);
    const std::string prefix = "quelmix://127.0.0.1:";
    ASSERT_EQ(url->rfind(prefix, 0), 0u) << *url;
    auto slash = url->find("/#t=");
    ASSERT_NE(slash, std::string::npos);
    auto port =
        static_cast<std::uint16_t>(std::stoi(url->substr(prefix.size(), slash - prefix.size())));
    std::string token = url->substr(slash + 4);
    EXPECT_EQ(token.size(), 32u);

    {
        WsTestClient companion;
        ASSERT_TRUE(companion.connect("127.0.0.1", port)) << companion.error();
        companion.sendText(R"({"hello":{"_0":{"token":")" + token +
                           R"(","config":{"maxEdge":1920,"bitrateMbps":6,"fps":30}}}})");
        auto hello = companion.receiveText(5.0);
        ASSERT_TRUE(hello);
        auto decoded = WireCoder::decode<ServerMessage>(*hello);
        ASSERT_TRUE(decoded) << *hello;
        const auto* info = std::get_if<ServerMessage::Hello>(&*decoded);
        ASSERT_TRUE(info) << *hello;
        ASSERT_TRUE(info->info.displays && info->info.displayID);
        if (std::getenv("DISPLAY")) {
            EXPECT_FALSE(info->info.displays->empty()) << *hello;
            EXPECT_NE(*info->info.displayID, 0u);
            EXPECT_GT(info->info.displayWidth, 0);
        }
        EXPECT_EQ(host.nextLine(), "接続中: 127.0.0.1");
    }
    EXPECT_EQ(host.nextLine(), "Tailscaleのアドレスが見つかりません");

    EXPECT_EQ(host.stop(SIGINT), 0);
    EXPECT_EQ(host.errors().find(token), std::string::npos) << "the secret reached the log";
}

TEST(HeadlessHost, SigtermEndsWithStatusZeroAndBadOptionsAreRefused) {
    HostProcess host({"--headless"});
    ASSERT_TRUE(host.running());
    EXPECT_TRUE(host.nextLine());
    EXPECT_EQ(host.stop(SIGTERM), 0);

    HostProcess wrong({"--port", "70000"});
    EXPECT_EQ(wrong.stop(0), 2);
}

}  // namespace
}  // namespace quelm::test
