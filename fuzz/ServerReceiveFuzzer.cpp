// The server's receive path for one connection: the input is a stream of WebSocket messages
// (length-prefixed). The first must be a hello, as the server requires before authentication;
// the rest go to the companion session, with the session's timers running between them. After
// the session ends, held input is released and nothing more is sent.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <variant>

#include "QuelmCore/WireCoder.hpp"
#include "QuelmHostKit/log/Log.hpp"
#include "QuelmHostKit/server/CompanionSession.hpp"
#include "fuzz/FuzzInput.hpp"
#include "tests/fakes/ManualQueue.hpp"
#include "tests/fakes/RecordingCompanionConnection.hpp"
#include "tests/fakes/RecordingInputHandling.hpp"
#include "tests/fakes/RecordingScreenStreaming.hpp"

using namespace quelm;

namespace {

class SilentSink final : public LogSink {
  public:
    void write(std::string_view, std::string_view, std::string_view) override {}
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Log::setSink(std::make_shared<SilentSink>());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto messages = fuzz::messages(std::span(data, size));
    if (messages.empty()) {
        return 0;
    }
    // Before authentication only a hello counts; image chunks are dropped unread.
    const auto& first = messages.front();
    if (!first.empty() && first.front() == ClipChunk::tag) {
        return 0;
    }
    auto decoded = WireCoder::decode<ClientMessage>(first);
    const auto* hello = decoded ? std::get_if<ClientMessage::Hello>(&*decoded) : nullptr;
    if (!hello) {
        return 0;
    }

    auto queue = std::make_shared<test::ManualQueue>();
    auto screen = std::make_shared<test::RecordingScreenStreaming>();
    auto input = std::make_shared<test::RecordingInputHandling>();
    auto connection = std::make_shared<test::RecordingCompanionConnection>();
    CompanionSession::Services services;
    services.queue = queue;
    services.screen = screen;
    services.input = input;
    services.hostInfo = [] { return HostInfo{}; };
    services.cursorPosition = [] { return CompanionSession::Point{0.5, 0.5}; };
    services.selectDisplay = [](std::uint32_t) {};
    services.uptime = [queue] { return queue->now(); };
    services.onClipboardText = [](std::string) {};
    services.onImage = [](ClipImageData image) { fuzz::require(!image.data.empty()); };
    services.onImagesWanted = [](bool) {};

    auto session = CompanionSession::create(services, connection, {});
    session->start(hello->hello, size % 2 == 1);
    queue->runPending();
    for (std::size_t i = 1; i < messages.size(); ++i) {
        session->received(messages[i]);
        queue->advance(0.02);
    }
    session->end();
    fuzz::require(input->releases() >= 1);
    auto sent = connection->sent().size();
    session->received(messages.back());
    queue->advance(1);
    fuzz::require(connection->sent().size() == sent);
    return 0;
}
