#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "QuelmCore/WireCoder.hpp"
#include "QuelmVersion.hpp"
#include "tests/fakes/ChildProcess.hpp"
#include "tests/fakes/HostURL.hpp"
#include "tests/fakes/PrivateXvfb.hpp"
#include "tests/fakes/WsTestClient.hpp"

namespace quelm::test {
namespace {

namespace fs = std::filesystem;

// quelmix-host run as a child with a private data folder, no secret service and the X display
// given (none when empty), its stdout and stderr read line by line.
class HostProcess {
  public:
    HostProcess(std::vector<std::string> args, const std::string& display)
        : folder_(makeFolder()),
          environment_(environment(folder_, display)),
          process_(command(std::move(args)), ChildProcess::piped(environment_)) {}

    ~HostProcess() {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    bool running() const { return process_.started(); }
    // The next stdout line, waiting up to `seconds`.
    std::optional<std::string> nextLine(double seconds = 5.0) { return process_.nextLine(seconds); }

    // Sends the signal (none for 0) and waits up to `seconds` for the exit status (128 + the
    // signal that ended it); nothing when the host did not exit in time (it is killed then).
    std::optional<int> stop(int signal, double seconds = 10.0) {
        if (signal != 0) {
            process_.signal(signal);
        }
        auto status = process_.wait(seconds);
        if (!status) {
            process_.kill();
        }
        return status;
    }
    std::string errors() { return process_.errors(); }
    // Everything it wrote to stdout and stderr, once it has ended.
    std::string everything() {
        std::string all;
        for (const auto& line : process_.allLines(5.0)) {
            all += line + "\n";
        }
        return all + process_.errors();
    }
    // The loopback URL, asked for with --show-url as a user would.
    std::optional<std::string> url() {
        return loopbackURL(process_, QUELM_HOST_BINARY, environment_);
    }
    const std::vector<std::string>& env() const { return environment_; }

    // Waits up to `seconds` for `text` on stderr.
    bool waitForError(const std::string& text, double seconds = 5.0) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (process_.errors().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
        }
        return true;
    }

    // True while the process has not exited.
    bool alive() { return process_.running(); }

    static fs::path makeFolder() {
        auto folder = fs::temp_directory_path() / ("quelmix-host-test-" + std::to_string(getpid()));
        fs::create_directories(folder);
        return folder;
    }
    static std::vector<std::string> command(std::vector<std::string> args) {
        args.insert(args.begin(), QUELM_HOST_BINARY);
        return args;
    }
    static std::vector<std::string> environment(const fs::path& folder,
                                                const std::string& display) {
        std::vector<std::string> env{
            "XDG_DATA_HOME=" + folder.string(), "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent",
            "HOME=" + folder.string(), "PATH=/usr/bin:/bin",
            // Under the sanitizers: the toolkit's lifetime allocations.
            std::string("LSAN_OPTIONS=suppressions=") + QUELM_LSAN_SUPPRESSIONS};
        if (!display.empty()) {
            env.push_back("DISPLAY=" + display);
        }
        return env;
    }

  private:
    fs::path folder_;
    std::vector<std::string> environment_;
    ChildProcess process_;
};

// A host on a private X server, allowing local companions on a free port.
class HeadlessHostTest : public ::testing::Test {
  protected:
    virtual std::vector<std::string> arguments() const {
        return {"--headless", "--allow-local", "--port", "0"};
    }

    void SetUp() override {
        std::string why;
        xvfb_ = PrivateXvfb::start(why);
        if (!xvfb_) {
            GTEST_SKIP() << "Xvfb is not available: " << why;
        }
        host_ = std::make_unique<HostProcess>(arguments(), xvfb_->name());
        ASSERT_TRUE(host_->running());
        ASSERT_EQ(host_->nextLine(), "Tailscaleのアドレスが見つかりません");
        const auto url = host_->url();
        ASSERT_TRUE(url) << host_->errors();
        const std::string prefix = "quelmix://127.0.0.1:";
        const auto slash = url->find("/#t=");
        ASSERT_NE(slash, std::string::npos);
        port_ = static_cast<std::uint16_t>(
            std::stoi(url->substr(prefix.size(), slash - prefix.size())));
        token_ = url->substr(slash + 4);
        ASSERT_EQ(token_.size(), 32u);
    }

    // A companion that said hello; the host's hello in `info`.
    std::unique_ptr<WsTestClient> companion(HostInfo& info) {
        auto client = std::make_unique<WsTestClient>();
        EXPECT_TRUE(client->connect("127.0.0.1", port_)) << client->error();
        client->sendText(R"({"hello":{"_0":{"token":")" + token_ +
                         R"(","config":{"maxEdge":1920,"bitrateMbps":6,"fps":30}}}})");
        const auto hello = client->receiveText(5.0);
        EXPECT_TRUE(hello);
        if (hello) {
            const auto decoded = WireCoder::decode<ServerMessage>(*hello);
            EXPECT_TRUE(decoded) << *hello;
            if (const auto* message =
                    decoded ? std::get_if<ServerMessage::Hello>(&*decoded) : nullptr) {
                info = message->info;
            }
        }
        return client;
    }

    std::unique_ptr<PrivateXvfb> xvfb_;
    std::unique_ptr<HostProcess> host_;
    std::uint16_t port_ = 0;
    std::string token_;
};

TEST_F(HeadlessHostTest, ServesACompanionTheDisplaysAndEndsCleanlyOnSigint) {
    {
        HostInfo info;
        auto client = companion(info);
        ASSERT_TRUE(info.displays && info.displayID);
        ASSERT_EQ(info.displays->size(), 1u);
        EXPECT_NE(*info.displayID, 0u);
        EXPECT_EQ((*info.displays)[0].id, *info.displayID);
        EXPECT_EQ(info.displayWidth, 1280);
        EXPECT_EQ(info.displayHeight, 720);
        EXPECT_EQ(host_->nextLine(), "接続中: 127.0.0.1");
    }
    EXPECT_EQ(host_->nextLine(), "Tailscaleのアドレスが見つかりません");

    EXPECT_EQ(host_->stop(SIGINT), 0);
    // Standard output is a pipe here (a journal, a file): the secret is in neither stream.
    const auto output = host_->everything();
    EXPECT_EQ(output.find(token_), std::string::npos) << output;
    EXPECT_NE(output.find("the connection URL: " + std::string(QUELM_HOST_BINARY) +
                          " --show-url --allow-local --port " + std::to_string(port_)),
              std::string::npos)
        << output;
    EXPECT_EQ(host_->errors().find("XIO"), std::string::npos) << host_->errors();
}

TEST_F(HeadlessHostTest, SigtermClosesTheCompanionsConnectionAndExitsZeroWithinThreeSeconds) {
    HostInfo info;
    auto client = companion(info);
    ASSERT_EQ(host_->nextLine(), "接続中: 127.0.0.1");

    EXPECT_EQ(host_->stop(SIGTERM, 3.0), 0) << host_->errors();
    EXPECT_TRUE(client->waitClosed(0.5));
}

TEST_F(HeadlessHostTest, LosingTheXServerLeavesTheHostAndItsCompanionRunning) {
    HostInfo info;
    auto client = companion(info);
    ASSERT_EQ(host_->nextLine(), "接続中: 127.0.0.1");
    ASSERT_TRUE(info.displayID);

    xvfb_->kill();
    EXPECT_TRUE(host_->waitForError("X11: lost the connection to the X server")) << host_->errors();
    EXPECT_FALSE(client->waitClosed(1.0))
        << "the companion's connection ended with the X server" << host_->errors();
    EXPECT_TRUE(host_->alive());

    // A companion arriving now still hears of the last display known, never of a display 0.
    HostInfo later;
    auto next = companion(later);
    ASSERT_TRUE(later.displayID);
    EXPECT_EQ(*later.displayID, *info.displayID);

    EXPECT_EQ(host_->stop(SIGTERM, 3.0), 0) << host_->errors();
    EXPECT_EQ(host_->errors().find("XIO"), std::string::npos) << host_->errors();
}

// The same host with its tray (no StatusNotifier host to show it, which changes nothing here).
class TrayHostTest : public HeadlessHostTest {
  protected:
    std::vector<std::string> arguments() const override { return {"--allow-local", "--port", "0"}; }
};

TEST_F(TrayHostTest, NeitherOutputCarriesTheSecret) {
    {
        HostInfo info;
        auto client = companion(info);
        EXPECT_EQ(host_->nextLine(), "接続中: 127.0.0.1");
    }
    EXPECT_EQ(host_->stop(SIGTERM), 0);
    const auto output = host_->everything();
    EXPECT_EQ(output.find(token_), std::string::npos) << output;
}

TEST(HeadlessHost, OnATerminalTheURLIsPrinted) {
    std::string why;
    auto xvfb = PrivateXvfb::start(why);
    if (!xvfb) {
        GTEST_SKIP() << "Xvfb is not available: " << why;
    }
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(grantpt(terminal), 0);
    ASSERT_EQ(unlockpt(terminal), 0);
    const auto folder = HostProcess::makeFolder();
    std::string output;
    {
        ChildProcess::Options options;
        options.environment = HostProcess::environment(folder, xvfb->name());
        options.stdoutFile = ptsname(terminal);
        ChildProcess host({QUELM_HOST_BINARY, "--headless", "--allow-local", "--port", "0"},
                          options);
        ASSERT_TRUE(host.started());
        static const std::regex url(R"(quelmix://127\.0\.0\.1:\d+/#t=[A-Za-z0-9_-]{32}\r?\n)");
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!std::regex_search(output, url) && std::chrono::steady_clock::now() < deadline) {
            pollfd ready{terminal, POLLIN, 0};
            char buffer[4096];
            if (poll(&ready, 1, 100) > 0) {
                const ssize_t n = read(terminal, buffer, sizeof buffer);
                if (n <= 0) {
                    break;
                }
                output.append(buffer, static_cast<std::size_t>(n));
            }
        }
        host.terminate();
    }
    close(terminal);
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    EXPECT_NE(output.find("quelmix://127.0.0.1:"), std::string::npos) << output;
    EXPECT_EQ(output.find("--show-url"), std::string::npos) << output;
}

TEST(HeadlessHost, ShowUrlWithoutAnAddressToShowSaysWhy) {
    HostProcess show({"--show-url"}, "");
    EXPECT_EQ(show.stop(0), 1);
    EXPECT_NE(show.errors().find("--allow-local"), std::string::npos) << show.errors();
}

TEST(HeadlessHost, WithoutAnXDisplayTheHostSaysWhyAndStops) {
    HostProcess host({"--headless"}, "");
    ASSERT_TRUE(host.running());
    EXPECT_EQ(host.stop(0, 10.0), 1);
    EXPECT_NE(host.errors().find("no X display: DISPLAY is not set"), std::string::npos)
        << host.errors();
}

TEST(HeadlessHost, BadOptionsAreRefused) {
    HostProcess wrong({"--port", "70000"}, "");
    EXPECT_EQ(wrong.stop(0), 2);
}

TEST(HeadlessHost, BothProgramsTellTheirVersionWithoutADisplay) {
    for (std::string program : {QUELM_HOST_BINARY, QUELM_COMPANION_BINARY}) {
        ChildProcess run({program, "--version"}, ChildProcess::piped({"PATH=/usr/bin:/bin"}));
        EXPECT_EQ(run.nextLine(),
                  fs::path(program).filename().string() + " " + std::string(kVersion));
        EXPECT_EQ(run.wait(5.0), 0) << program;
    }
}

}  // namespace
}  // namespace quelm::test
