#include "QuelmHostKit/linux/secret/SecretStores.hpp"

#include "QuelmHostKit/linux/secret/FileSecretStore.hpp"
#include "QuelmHostKit/linux/secret/LibsecretStore.hpp"
#include "QuelmHostKit/log/Log.hpp"

namespace quelm::SecretStores {

Choice makeDefault() {
    auto folder = FileSecretStore::defaultFolder();
    if (LibsecretStore::available()) {
        Log::info("secret store: secret service");
        return {std::make_shared<LibsecretStore>(),
                folder ? std::make_shared<FileSecretStore>(*folder) : nullptr};
    }
    // With no home folder at all, every write fails and is logged: the secret lives for this
    // run only.
    auto path = folder.value_or(std::filesystem::path());
    Log::info("secret store: file in " + path.string());
    return {std::make_shared<FileSecretStore>(path), nullptr};
}

}  // namespace quelm::SecretStores
