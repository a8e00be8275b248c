#include "QuelmHostKit/linux/secret/SecretStores.hpp"

#include "QuelmHostKit/linux/secret/FileSecretStore.hpp"
#include "QuelmHostKit/linux/secret/LibsecretStore.hpp"
#include "QuelmHostKit/log/Log.hpp"

namespace quelm::SecretStores {

Choice makeDefault() {
    // With no home folder at all, every write to the file fails and is logged: without a
    // Secret Service the secret then lives for this run only.
    auto folder = FileSecretStore::defaultFolder().value_or(std::filesystem::path());
    auto file = std::make_shared<FileSecretStore>(folder);
    if (LibsecretStore::available()) {
        Log::info("secret store: secret service");
        return {std::make_shared<LibsecretStore>(), file};
    }
    Log::info("secret store: file in " + folder.string());
    return {file, nullptr};
}

}  // namespace quelm::SecretStores
