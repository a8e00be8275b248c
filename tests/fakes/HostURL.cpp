#include "tests/fakes/HostURL.hpp"

#include <fstream>

namespace quelm::test {

std::optional<std::string> loopbackURL(ChildProcess& host, const std::string& program,
                                       const std::vector<std::string>& environment,
                                       double seconds) {
    const std::string prefix = "listening on 127.0.0.1:";
    auto line = host.lineStarting(prefix, seconds);
    if (!line) {
        return std::nullopt;
    }
    const auto end = line->find(';', prefix.size());
    if (end == std::string::npos) {
        return std::nullopt;
    }
    const std::string port = line->substr(prefix.size(), end - prefix.size());
    ChildProcess show({program, "--show-url", "--allow-local", "--port", port},
                      ChildProcess::piped(environment));
    auto url = show.lineStarting("quelmix://127.0.0.1:" + port + "/#t=", seconds);
    show.wait(seconds);
    return url;
}

std::vector<std::string> companionCommand(const std::string& url, std::vector<std::string> args) {
    args.insert(args.begin(), url);
    args.insert(args.begin(), ChildProcess::built("QuelmCompanion", "quelmix-companion"));
    return args;
}

std::string companionScript(const std::filesystem::path& folder, const std::string& text) {
    const auto path = folder / "script.jsonl";
    std::ofstream(path) << text;
    return path.string();
}

}  // namespace quelm::test
