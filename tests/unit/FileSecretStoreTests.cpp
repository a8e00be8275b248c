#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "QuelmCore/AppIdentity.hpp"
#include "QuelmHostKit/linux/secret/FileSecretStore.hpp"
#include "QuelmHostKit/server/TokenStore.hpp"
#include "tests/fakes/CapturingLogSink.hpp"

namespace quelm {
namespace {

namespace fs = std::filesystem;

const SecretKey kKey{std::string(kApplicationId), "token"};

mode_t modeOf(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeFile(const fs::path& path, const std::string& text, mode_t mode) {
    std::ofstream(path, std::ios::binary) << text;
    ::chmod(path.c_str(), mode);
}

// A fresh XDG_DATA_HOME per test, with a permissive umask so that modes must be set explicitly.
class FileSecretStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/quelm-secrets-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        const char* old = std::getenv("XDG_DATA_HOME");
        oldDataHome_ = old ? std::optional<std::string>(old) : std::nullopt;
        ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
        oldUmask_ = ::umask(0);
    }
    void TearDown() override {
        ::umask(oldUmask_);
        if (oldDataHome_) {
            ::setenv("XDG_DATA_HOME", oldDataHome_->c_str(), 1);
        } else {
            ::unsetenv("XDG_DATA_HOME");
        }
        fs::remove_all(root_);
    }

    FileSecretStore store() { return FileSecretStore(*FileSecretStore::defaultFolder()); }
    fs::path folder() const { return root_ / "data" / "quelmix"; }
    fs::path file() const { return folder() / "token"; }

    // Everything in the folder except the secret file: temp files must not be left behind.
    int strayFiles() const {
        int n = 0;
        for (const auto& entry : fs::directory_iterator(folder())) {
            n += entry.path() != file();
        }
        return n;
    }

    fs::path root_;
    std::optional<std::string> oldDataHome_;
    mode_t oldUmask_ = 0;
    test::CapturingLogSink::Scope log_;
};

TEST_F(FileSecretStoreTest, DefaultFolderFollowsXdgDataHomeThenHome) {
    EXPECT_EQ(FileSecretStore::defaultFolder(), folder());
    ::setenv("XDG_DATA_HOME", "relative/path", 1);  // not absolute: ignored
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') {
        EXPECT_EQ(FileSecretStore::defaultFolder(), fs::path(home) / ".local/share/quelmix");
    }
}

TEST_F(FileSecretStoreTest, RoundTripWithPrivateModesAndNoTempFiles) {
    auto secrets = store();
    EXPECT_TRUE(std::holds_alternative<SecretOutcome::NotFound>(secrets.read(kKey)));
    EXPECT_TRUE(std::holds_alternative<SecretOutcome::NotFound>(secrets.update(kKey, "x")));

    EXPECT_TRUE(std::holds_alternative<SecretOutcome::Written>(secrets.add(kKey, "first", "l")));
    EXPECT_EQ(modeOf(folder()), 0700);
    EXPECT_EQ(modeOf(root_ / "data"), 0700);
    EXPECT_EQ(modeOf(file()), 0600);
    auto read = secrets.read(kKey);
    ASSERT_TRUE(std::holds_alternative<SecretOutcome::Found>(read));
    EXPECT_EQ(std::get<SecretOutcome::Found>(read).value, (Bytes{'f', 'i', 'r', 's', 't'}));

    EXPECT_TRUE(std::holds_alternative<SecretOutcome::Written>(secrets.update(kKey, "second")));
    EXPECT_EQ(contents(file()), "second");
    EXPECT_EQ(modeOf(file()), 0600);
    EXPECT_EQ(strayFiles(), 0);
}

TEST_F(FileSecretStoreTest, RefusesFilesOthersCouldReadAndRepairsTheFolder) {
    auto secrets = store();
    ASSERT_TRUE(std::holds_alternative<SecretOutcome::Written>(secrets.add(kKey, "old", "l")));

    ::chmod(file().c_str(), 0644);
    auto read = secrets.read(kKey);
    ASSERT_TRUE(std::holds_alternative<SecretOutcome::Failed>(read));
    EXPECT_EQ(std::get<SecretOutcome::Failed>(read).status, EACCES);

    ::chmod(folder().c_str(), 0755);
    EXPECT_TRUE(std::holds_alternative<SecretOutcome::Written>(secrets.update(kKey, "new")));
    EXPECT_EQ(modeOf(folder()), 0700);
    EXPECT_EQ(modeOf(file()), 0600);
    EXPECT_EQ(log_.sink().count("secret folder permissions repaired: ", true), 1);
}

TEST_F(FileSecretStoreTest, RefusesWhatIsNotAPlainSmallFile) {
    auto secrets = store();
    ASSERT_TRUE(std::holds_alternative<SecretOutcome::Written>(secrets.add(kKey, "v", "l")));
    struct Case {
        const char* name;
        std::function<void()> arrange;
        int status;
    };
    std::vector<Case> cases = {
        {"symlink",
         [&] {
             fs::remove(file());
             fs::create_symlink(root_ / "elsewhere", file());
         },
         ELOOP},
        {"oversized",
         [&] {
             fs::remove(file());
             writeFile(file(), std::string(5000, 'a'), 0600);
         },
         EFBIG},
        {"directory",
         [&] {
             fs::remove(file());
             fs::create_directory(file());
         },
         EINVAL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange();
        auto read = secrets.read(kKey);
        ASSERT_TRUE(std::holds_alternative<SecretOutcome::Failed>(read));
        EXPECT_EQ(std::get<SecretOutcome::Failed>(read).status, c.status);
    }
    auto outside = secrets.read({std::string(kApplicationId), "../token"});
    EXPECT_TRUE(std::holds_alternative<SecretOutcome::Failed>(outside));
}

TEST_F(FileSecretStoreTest, FolderInTheWayFailsTheWrite) {
    fs::create_directories(root_ / "data");
    writeFile(folder(), "not a folder", 0600);
    auto written = store().add(kKey, "v", "l");
    ASSERT_TRUE(std::holds_alternative<SecretOutcome::Failed>(written));
    EXPECT_EQ(std::get<SecretOutcome::Failed>(written).status, ENOTDIR);
}

TEST_F(FileSecretStoreTest, TokenStoreOverTheFileKeepsRenewsAndReplacesBadSecrets) {
    auto secrets = std::make_shared<FileSecretStore>(folder());
    auto first = TokenStore(secrets).token();
    ASSERT_TRUE(first);
    EXPECT_EQ(contents(file()), *first);
    EXPECT_EQ(TokenStore(secrets).token(), first);  // after a restart

    TokenStore running(secrets);
    auto renewed = running.regenerate();
    ASSERT_TRUE(renewed);
    EXPECT_NE(renewed, first);
    EXPECT_EQ(contents(file()), *renewed);

    writeFile(file(), "", 0600);
    auto replaced = TokenStore(secrets).token();
    EXPECT_EQ(log_.sink().count("keychain read failed: 0"), 1);
    ASSERT_TRUE(replaced);
    EXPECT_EQ(replaced->size(), 32u);
    EXPECT_EQ(contents(file()), *replaced);

    ::chmod(file().c_str(), 0640);
    auto afterExposure = TokenStore(secrets).token();
    EXPECT_EQ(log_.sink().count("keychain read failed: " + std::to_string(EACCES)), 1);
    EXPECT_NE(afterExposure, replaced);
    EXPECT_EQ(modeOf(file()), 0600);
    EXPECT_EQ(strayFiles(), 0);
}

}  // namespace
}  // namespace quelm
