#include "QuelmHostKit/linux/secret/FileSecretStore.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

namespace {

constexpr mode_t kFolderMode = 0700;
constexpr mode_t kFileMode = 0600;

// Closes a descriptor on every path out.
class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    // Closes now and reports the close's own error, which can carry a delayed write error.
    int close() {
        int rc = ::close(fd_);
        fd_ = -1;
        return rc == 0 ? 0 : errno;
    }

  private:
    int fd_;
};

// An account names a file inside the folder: nothing that could reach outside it.
bool isPlainName(const std::string& name) {
    return !name.empty() && name.front() != '.' && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

SecretOutcome::Failed failed(int status) {
    return SecretOutcome::Failed{status == 0 ? EIO : status};
}

int writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

}  // namespace

FileSecretStore::FileSecretStore(std::filesystem::path folder) : folder_(std::move(folder)) {}

std::optional<std::filesystem::path> FileSecretStore::defaultFolder() {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome && dataHome[0] == '/') {
        return std::filesystem::path(dataHome) / "quelmix";
    }
    std::string home;
    if (const char* env = std::getenv("HOME"); env && env[0] == '/') {
        home = env;
    } else {
        // A service started without HOME still has a home folder in the user database.
        std::vector<char> buffer(16384);
        passwd entry{};
        passwd* found = nullptr;
        if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
            found->pw_dir && found->pw_dir[0] == '/') {
            home = found->pw_dir;
        }
    }
    if (home.empty()) {
        return std::nullopt;
    }
    return std::filesystem::path(home) / ".local" / "share" / "quelmix";
}

int FileSecretStore::checkFolder(bool repair) const {
    struct stat st {};
    if (::stat(folder_.c_str(), &st) != 0) {
        return errno;
    }
    if (!S_ISDIR(st.st_mode)) {
        return ENOTDIR;
    }
    if (st.st_uid != ::getuid()) {
        Log::info("secret folder not owned by this user: " + folder_.string());
        return EPERM;
    }
    if (repair && (st.st_mode & 07777) != kFolderMode) {
        // The files inside are 0600 on their own, so tightening the folder is enough.
        if (::chmod(folder_.c_str(), kFolderMode) != 0) {
            return errno;
        }
        Log::info("secret folder permissions repaired: " + folder_.string());
    }
    return 0;
}

int FileSecretStore::prepareFolder() const {
    std::filesystem::path partial;
    for (const auto& part : folder_) {
        partial /= part;
        if (::mkdir(partial.c_str(), kFolderMode) != 0 && errno != EEXIST) {
            return errno;
        }
    }
    return checkFolder(true);
}

SecretRead FileSecretStore::read(const SecretKey& key) {
    if (!isPlainName(key.account)) {
        return failed(EINVAL);
    }
    if (int rc = checkFolder(false); rc != 0) {
        if (rc == ENOENT) {
            return SecretOutcome::NotFound{};
        }
        return failed(rc);
    }
    auto file = folder_ / key.account;
    Fd fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) {
        if (errno == ENOENT) {
            return SecretOutcome::NotFound{};
        }
        return failed(errno);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        return failed(errno);
    }
    if (!S_ISREG(st.st_mode)) {
        return failed(EINVAL);
    }
    if (st.st_uid != ::getuid() || (st.st_mode & 077) != 0) {
        // Someone else may have read it: a secret that is no longer secret is not used.
        Log::info("secret file refused, open to other users: " + file.string());
        return failed(EACCES);
    }
    if (static_cast<std::size_t>(st.st_size) > maxSecretBytes) {
        return failed(EFBIG);
    }
    Bytes value(maxSecretBytes + 1);
    std::size_t filled = 0;
    while (filled < value.size()) {
        ssize_t n = ::read(fd.get(), value.data() + filled, value.size() - filled);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return failed(errno);
        }
        if (n == 0) {
            break;
        }
        filled += static_cast<std::size_t>(n);
    }
    if (filled > maxSecretBytes) {
        return failed(EFBIG);
    }
    value.resize(filled);
    return SecretOutcome::Found{std::move(value)};
}

SecretWrite FileSecretStore::update(const SecretKey& key, std::string_view value) {
    if (!isPlainName(key.account)) {
        return failed(EINVAL);
    }
    auto file = folder_ / key.account;
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            return SecretOutcome::NotFound{};
        }
        return failed(errno);
    }
    return writeAtomically(file, value);
}

SecretWrite FileSecretStore::add(const SecretKey& key, std::string_view value,
                                 std::string_view /*label: a file has none*/) {
    if (!isPlainName(key.account)) {
        return failed(EINVAL);
    }
    return writeAtomically(folder_ / key.account, value);
}

SecretWrite FileSecretStore::writeAtomically(const std::filesystem::path& file,
                                             std::string_view value) const {
    if (int rc = prepareFolder(); rc != 0) {
        return failed(rc);
    }
    std::string temp = (folder_ / ("." + file.filename().string() + ".XXXXXX")).string();
    Fd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        return failed(errno);
    }
    auto discard = [&](int rc) {
        ::unlink(temp.c_str());
        return failed(rc);
    };
    if (::fchmod(fd.get(), kFileMode) != 0) {
        return discard(errno);
    }
    if (int rc = writeAll(fd.get(), value); rc != 0) {
        return discard(rc);
    }
    if (::fsync(fd.get()) != 0) {
        return discard(errno);
    }
    if (int rc = fd.close(); rc != 0) {
        return discard(rc);
    }
    if (::rename(temp.c_str(), file.c_str()) != 0) {
        return discard(errno);
    }
    // The rename itself must reach the disk too, or a crash could bring the old secret back.
    Fd folderFd(::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folderFd.get() >= 0) {
        ::fsync(folderFd.get());
    }
    return SecretOutcome::Written{};
}

}  // namespace quelm
