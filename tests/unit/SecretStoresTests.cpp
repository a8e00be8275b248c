#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "QuelmHostKit/linux/secret/FileSecretStore.hpp"
#include "QuelmHostKit/linux/secret/LibsecretStore.hpp"
#include "QuelmHostKit/linux/secret/SecretStores.hpp"
#include "tests/fakes/CapturingLogSink.hpp"

namespace quelm {
namespace {

// Sets an environment variable for the scope, restoring the previous value after.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    }
    ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(SecretStores, FallsBackToThePrivateFileWithoutAReachableSecretService) {
    char dir[] = "/tmp/quelm-stores-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    test::CapturingLogSink::Scope log;
    ScopedEnv data("XDG_DATA_HOME", std::string(dir));
    ScopedEnv runtime("XDG_RUNTIME_DIR", std::string(dir));  // holds no bus socket
    for (std::optional<std::string> bus :
         {std::optional<std::string>(),
          std::optional<std::string>("unix:path=" + std::string(dir) + "/none")}) {
        SCOPED_TRACE(bus.value_or("no bus address"));
        ScopedEnv address("DBUS_SESSION_BUS_ADDRESS", bus);
        EXPECT_FALSE(LibsecretStore::available(0.5));
        auto stores = SecretStores::makeDefault();
        auto* file = dynamic_cast<FileSecretStore*>(stores.store.get());
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(stores.fallback, nullptr);
        EXPECT_EQ(file->folder(), std::filesystem::path(dir) / "quelmix");
    }
    EXPECT_EQ(log.sink().count("secret store: file in " + std::string(dir) + "/quelmix"), 2);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace quelm
