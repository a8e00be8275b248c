#include "QuelmHostKit/linux/secret/SecretStores.hpp"

#include "QuelmHostKit/log/Log.hpp"
#include "QuelmHostKit/linux/secret/FileSecretStore.hpp"
#include "QuelmHostKit/linux/secret/LibsecretStore.hpp"

namespace quelm::SecretStores {

std::shared_ptr<SecretStore> makeDefault() {
    if (LibsecretStore::available()) {
        Log::info("secret store: secret service");
        return std::make_shared<LibsecretStore>();
    }
    // With no home folder at all, every write fails and is logged: the secret lives for this
    // run only.
    auto folder = FileSecretStore::defaultFolder().value_or(std::filesystem::path());
    Log::info("secret store: file in " + folder.string());
    return std::make_shared<FileSecretStore>(folder);
}

}  // namespace quelm::SecretStores
