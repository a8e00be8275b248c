#pragma once

#include <filesystem>
#include <optional>

#include "QuelmHostKit/platform/SecretStore.hpp"

namespace quelm {

// Keeps each secret in a file of its own, named after the account, in a folder that belongs to
// this application (so the service is implied by the folder). The folder is 0700 and each file
// 0600; a file that others could read is refused rather than trusted, so a new secret replaces
// it. Writes are atomic: a reader sees the old secret or the new one, never a torn file.
// Not synchronised: the caller serialises calls (TokenStore does, under its lock).
class FileSecretStore final : public SecretStore {
  public:
    static constexpr std::size_t maxSecretBytes = 4096;

    explicit FileSecretStore(std::filesystem::path folder);

    // $XDG_DATA_HOME/quelmix, or ~/.local/share/quelmix when XDG_DATA_HOME is unset or not
    // absolute (home from HOME, else the user database); empty when no home is known.
    static std::optional<std::filesystem::path> defaultFolder();

    const std::filesystem::path& folder() const { return folder_; }

    SecretRead read(const SecretKey& key) override;
    SecretWrite update(const SecretKey& key, std::string_view value) override;
    SecretWrite add(const SecretKey& key, std::string_view value, std::string_view label) override;

  private:
    // Creates the folder (and missing parents) as 0700, or tightens an existing one of ours.
    // Returns 0 or an errno value.
    int prepareFolder() const;
    // 0 when the folder is usable for reading, ENOENT when absent, else an errno value.
    int checkFolder(bool repair) const;
    SecretWrite writeAtomically(const std::filesystem::path& file, std::string_view value) const;

    std::filesystem::path folder_;
};

}  // namespace quelm
