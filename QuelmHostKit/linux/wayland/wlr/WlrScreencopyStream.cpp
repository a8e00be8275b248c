#include "QuelmHostKit/linux/wayland/wlr/WlrScreencopyStream.hpp"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "QuelmHostKit/codecs/ScalingNv12Converter.hpp"
#include "QuelmHostKit/linux/wayland/wlr/WaylandConnection.hpp"
#include "QuelmHostKit/linux/wayland/wlr/WlrOutputs.hpp"
#include "QuelmHostKit/queues/SerialQueue.hpp"

namespace quelm {

namespace {

CaptureStatus temporary(std::string text) {
    return CaptureStatus::failure(CaptureStatus::Kind::temporary, std::move(text));
}

CaptureStatus permanent(std::string text) {
    return CaptureStatus::failure(CaptureStatus::Kind::permanent, std::move(text));
}

// Pause before asking again after a failed copy.
constexpr double retryDelay = 0.1;

std::chrono::steady_clock::time_point clockAt(double seconds) {
    return std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(seconds)));
}

}  // namespace

class WlrScreencopyStream::Converter {
  public:
    PixelBufferRef convert(const ScreencopyShot& shot, const CaptureSettings& settings,
                           bool blank) {
        const int width = std::max(settings.width, 2);
        const int height = std::max(settings.height, 2);
        if (!pool_ || pool_->width() != width || pool_->height() != height) {
            pool_ = PixelBufferPool::make(width, height, poolSize);
        }
        PixelBufferRef buffer = pool_->acquire();
        if (blank) {
            std::memset(buffer->luma(), 16,
                        static_cast<std::size_t>(buffer->lumaStride()) *
                            static_cast<std::size_t>(buffer->height()));
            std::memset(buffer->chroma(), 128,
                        static_cast<std::size_t>(buffer->chromaStride()) *
                            static_cast<std::size_t>(buffer->chromaHeight()));
            return buffer;
        }
        const auto* pixels = static_cast<const std::uint8_t*>(shot.pixels->data);
        if (shot.yInverted) {
            const auto row = static_cast<std::size_t>(shot.stride);
            flipped_.resize(row * static_cast<std::size_t>(shot.height));
            for (int y = 0; y < shot.height; ++y) {
                std::memcpy(flipped_.data() + row * static_cast<std::size_t>(y),
                            pixels + row * static_cast<std::size_t>(shot.height - 1 - y), row);
            }
            pixels = flipped_.data();
        }
        BgraImage source{pixels, shot.width, shot.height, shot.stride};
        if (!converter_.convert(source, *buffer)) {
            return nullptr;
        }
        return buffer;
    }

  private:
    std::shared_ptr<PixelBufferPool> pool_;
    ScalingNv12Converter converter_;
    std::vector<std::uint8_t> flipped_;
};

WlrScreencopyStream::WlrScreencopyStream(Options options, CaptureSettings settings,
                                         Receivers receivers)
    : options_(std::move(options)),
      receivers_(std::move(receivers)),
      settings_(settings),
      converter_(std::make_unique<Converter>()) {}

WlrScreencopyStream::~WlrScreencopyStream() {
    stop();
}

CaptureStatus WlrScreencopyStream::start() {
    std::unique_lock lock(mutex_);
    if (running_ || thread_.joinable()) {
        return permanent("capture stream started twice");
    }
    if (!options_.connection || options_.connection->isLost()) {
        return temporary("no Wayland compositor");
    }
    running_ = true;
    const auto request = ++requests_;
    thread_ = std::thread([this] { run(); });
    answered_.wait(lock, [&] { return answers_ >= request; });
    return lastAnswer_;
}

CaptureStatus WlrScreencopyStream::update(const CaptureSettings& settings) {
    std::unique_lock lock(mutex_);
    if (!running_) {
        return temporary("the capture stream is not running");
    }
    pending_ = settings;
    const auto request = ++requests_;
    changed_.notify_all();
    answered_.wait(lock, [&] { return answers_ >= request || !running_; });
    return answers_ >= request ? lastAnswer_ : temporary("the capture stream ended");
}

void WlrScreencopyStream::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
}

void WlrScreencopyStream::answer(CaptureStatus status) {
    {
        std::lock_guard lock(mutex_);
        answers_ = requests_;
        lastAnswer_ = std::move(status);
    }
    answered_.notify_all();
}

void WlrScreencopyStream::requestNext(bool withDamage) {
    options_.connection->post([this, withDamage] {
        if (copier_) {
            copier_->request(withDamage);
        }
    });
}

void WlrScreencopyStream::deliver(const ScreencopyShot& shot) {
    CaptureSettings settings;
    {
        std::lock_guard lock(mutex_);
        settings = settings_;
    }
    const bool blank = options_.neverCapture && !options_.neverCapture->rectangles().empty();
    const double readAt = monotonicSeconds();
    auto buffer = converter_->convert(shot, settings, blank);
    if (!buffer) {
        return;
    }
    FrameTimes times;
    times.grabStarted = readAt;
    times.grabbed = readAt;
    times.converted = monotonicSeconds();
    times.changed = shot.presentedAt > 0 ? std::min(shot.presentedAt, readAt) : readAt;
    buffer->setTimes(times);
    if (receivers_.onPicture) {
        receivers_.onPicture(std::move(buffer));
    }
}

void WlrScreencopyStream::run() {
    pthread_setname_np(pthread_self(), "quelmix.capture");
    auto connection = options_.connection;
    lostKey_ = connection->addLostListener([this] {
        {
            std::lock_guard lock(mutex_);
            inbox_.lost = true;
        }
        changed_.notify_all();
    });
    auto notAttached = connection->call<std::string>([this, connection]() -> std::string {
        wl_output* output = connection->outputs()->find(options_.displayId);
        if (!output) {
            return "display " + std::to_string(options_.displayId) + " is not attached";
        }
        copier_ = std::make_shared<WlrScreencopy>(
            connection, output,
            [this](ScreencopyShot shot) {
                {
                    std::lock_guard lock(mutex_);
                    inbox_.shot = std::move(shot);
                }
                changed_.notify_all();
            },
            [this](std::string why) {
                {
                    std::lock_guard lock(mutex_);
                    inbox_.failure = std::move(why);
                }
                changed_.notify_all();
            });
        copier_->request(false);
        return "";
    });

    std::optional<CaptureStatus> ended;
    std::optional<ScreencopyShot> last;
    if (!notAttached) {
        ended = temporary("no Wayland compositor");
    } else if (!notAttached->empty()) {
        ended = permanent(*notAttached);
    } else {
        std::unique_lock lock(mutex_);
        const auto deadline = clockAt(monotonicSeconds() + startTimeout);
        changed_.wait_until(lock, deadline, [this] {
            return stopping_ || inbox_.lost || inbox_.shot || inbox_.failure;
        });
        if (inbox_.shot) {
            last = std::move(inbox_.shot);
            inbox_.shot.reset();
        } else if (inbox_.failure) {
            ended = temporary(*inbox_.failure);
        } else if (inbox_.lost) {
            ended = temporary("the compositor is gone");
        } else if (!stopping_) {
            ended = temporary("the compositor sent no picture");
        } else {
            ended = temporary("stopped while starting");
        }
    }
    if (last) {
        deliver(*last);
        answer(CaptureStatus::success());
    } else {
        answer(*ended);
    }

    double requestedAt = monotonicSeconds();
    double requestAt = requestedAt + 1.0 / std::max(settings_.fps, 1);
    bool outstanding = false;
    bool forced = false;
    int failures = 0;
    while (last) {
        Inbox inbox;
        std::optional<CaptureSettings> next;
        {
            std::unique_lock lock(mutex_);
            const auto ready = [this] {
                return stopping_ || inbox_.lost || inbox_.shot || inbox_.failure || pending_;
            };
            if (outstanding) {
                changed_.wait(lock, ready);
            } else {
                changed_.wait_until(lock, clockAt(requestAt), ready);
            }
            if (stopping_) {
                break;
            }
            std::swap(inbox, inbox_);
            next.swap(pending_);
            if (next) {
                settings_ = *next;
            }
        }
        if (inbox.lost) {
            ended = temporary("the compositor is gone");
            break;
        }
        if (next) {
            deliver(*last);
            answer(CaptureStatus::success());
        }
        const double now = monotonicSeconds();
        if (inbox.failure) {
            outstanding = false;
            const auto outputs = connection->outputs()->snapshots();
            const bool attached =
                std::any_of(outputs.begin(), outputs.end(),
                            [this](const auto& output) { return output.id == options_.displayId; });
            if (!attached) {
                ended = permanent("display " + std::to_string(options_.displayId) + " went away");
                break;
            }
            if (++failures >= failureLimit) {
                ended = temporary(*inbox.failure);
                break;
            }
            forced = true;
            requestAt = now + retryDelay;
        }
        if (inbox.shot) {
            failures = 0;
            outstanding = false;
            last = std::move(inbox.shot);
            deliver(*last);
            // Paced from the request, not from the picture: the compositor holds a request until
            // its next frame, so waiting a whole interval after each picture halved the rate.
            requestAt = requestedAt + 1.0 / std::max(next ? next->fps : settings_.fps, 1);
        }
        if (!outstanding && monotonicSeconds() >= requestAt) {
            requestedAt = monotonicSeconds();
            requestNext(!forced);
            outstanding = true;
            forced = false;
        }
    }

    connection->removeLostListener(lostKey_);
    // The copier calls back into this stream: it goes on the event thread, before we return.
    connection->call<bool>([this] {
        copier_.reset();
        return true;
    });
    {
        std::lock_guard lock(mutex_);
        running_ = false;
    }
    answered_.notify_all();
    bool stopping = false;
    {
        std::lock_guard lock(mutex_);
        stopping = stopping_;
    }
    if (ended && last && !stopping && receivers_.onStop) {
        receivers_.onStop(*ended);
    }
}

}  // namespace quelm
