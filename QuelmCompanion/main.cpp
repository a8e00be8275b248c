#include <cstdio>
#include <string>
#include <vector>

#include "QuelmCompanion/CompanionClient.hpp"
#include "QuelmCompanion/CompanionOptions.hpp"
#include "QuelmCompanion/ExitStatus.hpp"
#include "QuelmCompanion/MessageScript.hpp"

int main(int argc, char** argv) {
    using namespace quelm;
    std::vector<std::string> args(argv + 1, argv + argc);
    auto parsed = CompanionOptions::parse(args);
    if (auto* message = std::get_if<CompanionOptions::Message>(&parsed)) {
        if (message->help) {
            std::fputs(message->text.c_str(), stdout);
            return static_cast<int>(ExitStatus::ok);
        }
        std::fprintf(stderr, "quelmix-companion: %s\n", message->text.c_str());
        return static_cast<int>(ExitStatus::usage);
    }
    auto options = std::get<CompanionOptions>(std::move(parsed));
    MessageScript script;
    if (!options.scriptPath.empty()) {
        auto loaded = MessageScript::load(options.scriptPath);
        if (!loaded.script) {
            std::fprintf(stderr, "quelmix-companion: %s\n", loaded.error.c_str());
            return static_cast<int>(ExitStatus::usage);
        }
        script = std::move(*loaded.script);
    }
    CompanionClient client(std::move(options), std::move(script));
    return static_cast<int>(client.run());
}
