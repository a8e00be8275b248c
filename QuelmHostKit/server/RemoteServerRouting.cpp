#include <mutex>
#include <string>
#include <utility>

#include "QuelmHostKit/server/Peer.hpp"
#include "QuelmHostKit/server/RemoteServer.hpp"

namespace quelm {

CompanionSession::Services RemoteServer::sessionServices() {
    CompanionSession::Services services;
    services.queue = queue_;
    services.screen = services_.screen;
    services.input = services_.input;
    services.hostInfo = services_.hostInfo;
    services.cursorPosition = services_.cursorPosition;
    services.selectDisplay = services_.selectDisplay;
    services.uptime = services_.uptime;
    // The session is ours: what it reports holds the server weakly. The application hears of
    // the companion's clipboard on the main queue.
    auto self = shared_from_this();
    services.onClipboardText = weakCallback(self, [](RemoteServer& server, std::string text) {
        if (!server.services_.mainQueue) {
            return;
        }
        server.services_.mainQueue->async(weakCallback(
            server.shared_from_this(), [text = std::move(text)](RemoteServer& server) mutable {
                if (server.onClipboardFromPhone) {
                    server.onClipboardFromPhone(std::move(text));
                }
            }));
    });
    services.onImage = weakCallback(self, [](RemoteServer& server, ClipImageData image) {
        if (!server.services_.mainQueue) {
            return;
        }
        server.services_.mainQueue->async(weakCallback(
            server.shared_from_this(), [image = std::move(image)](RemoteServer& server) mutable {
                if (server.onImageFromPhone) {
                    server.onImageFromPhone(std::move(image.data), image.format);
                }
            }));
    });
    services.onImagesWanted = weakCallback(
        self, [](RemoteServer& server, bool wanted) { server.setImagesWanted(wanted); });
    return services;
}

void RemoteServer::setImagesWanted(bool wanted) {
    std::lock_guard lock(imageLock_);
    imagesWanted_ = wanted;
}

bool RemoteServer::acceptsImages() const {
    std::lock_guard lock(imageLock_);
    return imagesWanted_;
}

double RemoteServer::imagePieceInterval(const std::optional<StreamConfig>& config) {
    return CompanionSession::imagePieceInterval(config);
}

void RemoteServer::setLocked(bool locked) {
    queue_->async(weakCallback(shared_from_this(), [locked](RemoteServer& self) {
        self.locked_ = locked;
        if (self.active_) {
            self.session_->setLocked(locked);
        }
    }));
}

void RemoteServer::sendClipboard(std::string text) {
    queue_->async(weakCallback(shared_from_this(), [text = std::move(text)](RemoteServer& self) {
        if (self.active_) {
            self.session_->sendClipboard(text);
        }
    }));
}

void RemoteServer::sendClipboardImage(Bytes data, ClipImageFormat format) {
    queue_->async(
        weakCallback(shared_from_this(), [data = std::move(data), format](RemoteServer& self) {
            if (self.session_) {
                // The last session, even ended, knows what its companion had switched on.
                self.session_->sendClipboardImage(data, format);
            } else {
                CompanionSession::logImageNotSent(false, false, false);
            }
        }));
}

}  // namespace quelm
