#include "tests/fakes/FakePasteboard.hpp"

#include <algorithm>

#include "QuelmCore/ClipboardPolicy.hpp"

namespace quelm::test {

namespace {

bool looksLikeImage(const Bytes& bytes) {
    bool png = bytes.size() >= 4 && bytes[0] == 0x89 && bytes[1] == 'P' && bytes[2] == 'N' &&
               bytes[3] == 'G';
    bool jpeg = bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xD8;
    return png || jpeg;
}

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

}  // namespace

void FakePasteboard::copy(std::vector<Item> items) {
    items_ = std::move(items);
    ++changeCount_;
}

void FakePasteboard::copyText(const std::string& text, std::vector<std::string> extraTypes) {
    std::vector<Item> items{{"public.utf8-plain-text", bytesOf(text)}};
    for (auto& type : extraTypes) {
        items.push_back({std::move(type), {}});
    }
    copy(std::move(items));
}

std::optional<std::string> FakePasteboard::text() const {
    for (const auto& item : items_) {
        if (std::find(ClipboardPolicy::textTypes.begin(), ClipboardPolicy::textTypes.end(),
                      item.type) != ClipboardPolicy::textTypes.end()) {
            return std::string(item.data.begin(), item.data.end());
        }
    }
    return std::nullopt;
}

std::vector<std::string> FakePasteboard::typeList() const {
    std::vector<std::string> types;
    for (const auto& item : items_) {
        types.push_back(item.type);
    }
    return types;
}

void FakePasteboard::readTypes(TypesHandler handler) {
    queue_->async([handler = std::move(handler), types = typeList()] { handler(types); });
}

void FakePasteboard::readText(TextHandler handler) {
    queue_->async([handler = std::move(handler), text = text()] { handler(text); });
}

void FakePasteboard::readData(const std::string& type, DataHandler handler) {
    ++dataReads;
    std::optional<Bytes> data;
    for (const auto& item : items_) {
        if (item.type == type) {
            data = item.data;
            break;
        }
    }
    queue_->async([handler = std::move(handler), data = std::move(data)] { handler(data); });
}

void FakePasteboard::clear() {
    items_.clear();
    ++changeCount_;
}

void FakePasteboard::writeText(const std::string& text) {
    copy({{"public.utf8-plain-text", bytesOf(text)}});
}

void FakePasteboard::writeItems(std::vector<Item> items) {
    copy(std::move(items));
}

void FakePasteboard::writeImage(Bytes encoded, std::function<void(bool written)> done) {
    bool ok = decodes ? decodes(encoded) : looksLikeImage(encoded);
    // The write lands only if nothing else was written while the image was decoding.
    queue_->async([this, ok, before = changeCount_, encoded = std::move(encoded),
                   done = std::move(done)]() mutable {
        if (!ok || changeCount_ != before) {
            done(false);
            return;
        }
        copy({{"public.png", std::move(encoded)}, {"public.tiff", {}}});
        done(true);
    });
}

}  // namespace quelm::test
