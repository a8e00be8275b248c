#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "QuelmHost/HeadlessFrontEnd.hpp"

namespace quelm {
namespace {

const std::string kToken = "Abcdefghijklmnopqrstuvwxyz012345";

// What a front end printed, through a memory stream.
class Captured {
  public:
    Captured() : file_(open_memstream(&data_, &size_)) {}
    ~Captured() {
        std::fclose(file_);
        std::free(data_);
    }
    std::FILE* file() { return file_; }
    std::string text() {
        std::fflush(file_);
        return std::string(data_, size_);
    }

  private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* file_;
};

HeadlessFrontEnd::TextSource fixed(std::optional<std::string> value) {
    return [value] { return value; };
}

TEST(HeadlessFrontEnd, TheURLIsPrintedOnlyForATerminal) {
    struct Case {
        const char* name;
        HeadlessFrontEnd::UrlOutput output;
        std::string address;
        std::uint16_t port;
        bool secretShown;
        std::string expected;  // a line the output holds
    };
    using Output = HeadlessFrontEnd::UrlOutput;
    const Case cases[] = {
        {"terminal, loopback", Output::full, "127.0.0.1", 40123, true,
         "quelmix://127.0.0.1:40123/#t=" + kToken + "\n"},
        {"terminal, tailscale", Output::full, "100.64.1.2", 5290, true,
         "quelmix://100.64.1.2:5290/#t=" + kToken + "\n"},
        {"elsewhere, loopback", Output::hint, "127.0.0.1", 40123, false,
         "listening on 127.0.0.1:40123; the connection URL: quelmix-host --show-url "
         "--allow-local --port 40123\n"},
        {"elsewhere, tailscale", Output::hint, "100.64.1.2", 5290, false,
         "listening on 100.64.1.2:5290; the connection URL: quelmix-host --show-url\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Captured out;
        HeadlessFrontEnd front(fixed(kToken), fixed(std::nullopt), c.output, "quelmix-host",
                               out.file());
        front.begin();
        front.listening(c.address, c.port);
        front.statusChanged(RemoteServer::Connected{"100.64.9.9"});
        const auto text = out.text();
        EXPECT_EQ(text.find(kToken) != std::string::npos, c.secretShown) << text;
        EXPECT_NE(text.find(c.expected), std::string::npos) << text;
        // The QR code (half blocks) only with the URL of the Tailscale address.
        EXPECT_EQ(text.find("█") != std::string::npos, c.secretShown && c.address != "127.0.0.1")
            << text;
    }
}

TEST(HeadlessFrontEnd, PrintingOnDemandNeedsAnAddressAndASecret) {
    {
        Captured out;
        auto failure = HeadlessFrontEnd::printURLs(fixed(kToken), fixed("100.64.1.2"), 5290, true,
                                                   false, out.file());
        EXPECT_FALSE(failure);
        EXPECT_EQ(out.text(), "quelmix://100.64.1.2:5290/#t=" + kToken +
                                  "\nquelmix://127.0.0.1:5290/#t=" + kToken + "\n");
    }
    {
        Captured out;
        EXPECT_TRUE(HeadlessFrontEnd::printURLs(fixed(kToken), fixed(std::nullopt), 5290, false,
                                                false, out.file()));
        EXPECT_EQ(out.text(), "");
    }
    {
        Captured out;
        EXPECT_TRUE(HeadlessFrontEnd::printURLs(fixed(std::nullopt), fixed("100.64.1.2"), 5290,
                                                false, false, out.file()));
        EXPECT_EQ(out.text(), "");
    }
}

}  // namespace
}  // namespace quelm
