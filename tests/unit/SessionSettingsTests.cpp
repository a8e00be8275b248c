#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "QuelmHostKit/linux/session/KeyFileSettingsStore.hpp"
#include "QuelmHostKit/linux/session/XdgAutostartLoginItem.hpp"

namespace quelm {
namespace {

namespace fs = std::filesystem;

class SessionSettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder = fs::temp_directory_path() /
                 ("quelm-session-" + std::to_string(getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
    }
    void TearDown() override { fs::remove_all(folder); }

    static std::string read(const fs::path& file) {
        std::ostringstream text;
        text << std::ifstream(file).rdbuf();
        return text.str();
    }

    fs::path folder;
};

TEST_F(SessionSettingsTest, KeepAwakeSurvivesARestartAndOddValuesReadAsUnset) {
    auto file = folder / "quelmix" / "settings.ini";
    EXPECT_FALSE(KeyFileSettingsStore(file).boolValue("keepAwake"));

    KeyFileSettingsStore(file).setBool("keepAwake", true);
    EXPECT_EQ(KeyFileSettingsStore(file).boolValue("keepAwake"), true);
    KeyFileSettingsStore(file).setBool("keepAwake", false);
    EXPECT_EQ(KeyFileSettingsStore(file).boolValue("keepAwake"), false);
    EXPECT_EQ((fs::status(file.parent_path()).permissions() & fs::perms::others_all),
              fs::perms::none);

    std::ofstream(file, std::ios::trunc) << "[Host]\nkeepAwake=perhaps\n";
    EXPECT_FALSE(KeyFileSettingsStore(file).boolValue("keepAwake"));
    std::ofstream(file, std::ios::trunc) << "not a key file at all";
    EXPECT_FALSE(KeyFileSettingsStore(file).boolValue("keepAwake"));
    KeyFileSettingsStore(file).setBool("keepAwake", true);  // a broken file is replaced
    EXPECT_EQ(KeyFileSettingsStore(file).boolValue("keepAwake"), true);
}

TEST_F(SessionSettingsTest, TheAutostartEntryRunsThisProgramAndCanBeTakenBack) {
    XdgAutostartLoginItem item("/opt/my tools/quelmix-host", folder / "autostart");
    EXPECT_FALSE(item.isEnabled());
    EXPECT_FALSE(item.setEnabled(true));
    EXPECT_TRUE(item.isEnabled());
    EXPECT_EQ(item.entryPath(), folder / "autostart" / "io.quelmix.host.desktop");
    auto entry = read(item.entryPath());
    EXPECT_NE(entry.find("[Desktop Entry]\nType=Application\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nExec=\"/opt/my tools/quelmix-host\"\n"), std::string::npos) << entry;

    // Switched off in the desktop's own settings: the file stays, the entry is off.
    std::ofstream(item.entryPath(), std::ios::app) << "Hidden=true\n";
    EXPECT_FALSE(item.isEnabled());

    EXPECT_FALSE(item.setEnabled(false));
    EXPECT_FALSE(fs::exists(item.entryPath()));
    EXPECT_FALSE(item.setEnabled(false));  // already off is no error
}

TEST(XdgAutostartLoginItem, AnExecutableReplacedByAnUpgradeIsStillTheOneToRun) {
    using Item = XdgAutostartLoginItem;
    EXPECT_EQ(Item::executableFromLink("/usr/bin/quelmix-host"), "/usr/bin/quelmix-host");
    EXPECT_EQ(Item::executableFromLink("/usr/bin/quelmix-host (deleted)"), "/usr/bin/quelmix-host");
    EXPECT_EQ(Item::executableFromLink("/opt/a (deleted) b/quelmix-host"),
              "/opt/a (deleted) b/quelmix-host");
    EXPECT_EQ(Item::executableFromLink(""), "");
}

TEST_F(SessionSettingsTest, AnAutostartFolderThatCannotBeMadeIsReported) {
    fs::create_directories(folder);
    std::ofstream(folder / "autostart") << "a file where the folder should be";
    XdgAutostartLoginItem item("/usr/bin/quelmix-host", folder / "autostart");
    EXPECT_TRUE(item.setEnabled(true));
    EXPECT_FALSE(item.isEnabled());
}

}  // namespace
}  // namespace quelm
