#include "QuelmCore/EsDescriptor.hpp"

namespace quelm {
namespace {

using Span = std::span<const std::uint8_t>;

// Lengths take up to four bytes of seven bits each, high bit set on all but the last.
constexpr std::size_t kMaxLength = (std::size_t{1} << 28) - 1;

// MPEG-4 audio, and the three MPEG-2 AAC profiles, whose specific info is also an
// AudioSpecificConfig.
bool isAacObjectType(std::uint8_t indication) {
    return indication == 0x40 || (indication >= 0x66 && indication <= 0x68);
}

void putDescriptor(Bytes& out, std::uint8_t tag, const Bytes& body) {
    out.push_back(tag);
    std::size_t length = body.size();
    std::uint8_t groups[4];
    int count = 0;
    do {
        groups[count++] = static_cast<std::uint8_t>(length & 0x7F);
        length >>= 7;
    } while (length > 0);
    for (int i = count - 1; i >= 0; --i) {
        out.push_back(static_cast<std::uint8_t>(groups[i] | (i > 0 ? 0x80 : 0)));
    }
    out.insert(out.end(), body.begin(), body.end());
}

// One descriptor at the front of `bytes`: its tag and body; `bytes` moves past it.
struct Descriptor {
    std::uint8_t tag;
    Span body;
};

std::optional<Descriptor> takeDescriptor(Span& bytes) {
    if (bytes.empty()) {
        return std::nullopt;
    }
    const std::uint8_t tag = bytes[0];
    std::size_t length = 0;
    std::size_t at = 1;
    for (int i = 0;; ++i) {
        if (i == 4 || at >= bytes.size()) {
            return std::nullopt;
        }
        const std::uint8_t b = bytes[at++];
        length = (length << 7) | (b & 0x7F);
        if ((b & 0x80) == 0) {
            break;
        }
    }
    if (length > bytes.size() - at) {
        return std::nullopt;
    }
    const Descriptor found{tag, bytes.subspan(at, length)};
    bytes = bytes.subspan(at + length);
    return found;
}

// The body of the first descriptor with `tag` in a run of descriptors.
std::optional<Span> findDescriptor(Span run, std::uint8_t tag) {
    while (!run.empty()) {
        const auto d = takeDescriptor(run);
        if (!d) {
            return std::nullopt;
        }
        if (d->tag == tag) {
            return d->body;
        }
    }
    return std::nullopt;
}

bool skip(Span& bytes, std::size_t n) {
    if (n > bytes.size()) {
        return false;
    }
    bytes = bytes.subspan(n);
    return true;
}

}  // namespace

Bytes EsDescriptor::wrap(std::span<const std::uint8_t> audioSpecificConfig) {
    // The largest body, the ES_Descriptor's, adds 3 + 2 (config) + 15 + 3 (SL) + 5 bytes.
    if (audioSpecificConfig.size() > kMaxLength - 32) {
        return {};
    }
    Bytes specific(audioSpecificConfig.begin(), audioSpecificConfig.end());

    // MPEG-4 audio, an audio stream; buffer size and bit rates 0 as unknown.
    Bytes config{0x40, 0x15, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    putDescriptor(config, decoderSpecificInfoTag, specific);

    Bytes es{0x00, 0x00, 0x00};  // ES_ID 0, no dependence, URL or OCR stream
    putDescriptor(es, decoderConfigTag, config);
    putDescriptor(es, slConfigTag, Bytes{0x02});  // predefined: as in MP4 files

    Bytes out;
    putDescriptor(out, esTag, es);
    return out;
}

std::optional<Bytes> EsDescriptor::unwrap(std::span<const std::uint8_t> descriptor) {
    Span rest = descriptor;
    const auto es = takeDescriptor(rest);
    if (!es || es->tag != esTag) {
        return std::nullopt;
    }
    Span body = es->body;
    if (body.size() < 3) {
        return std::nullopt;
    }
    const std::uint8_t flags = body[2];
    body = body.subspan(3);
    if ((flags & 0x80) != 0 && !skip(body, 2)) {  // dependsOn_ES_ID
        return std::nullopt;
    }
    if ((flags & 0x40) != 0) {  // URL: a length byte and the text
        if (body.empty() || !skip(body, 1 + std::size_t{body[0]})) {
            return std::nullopt;
        }
    }
    if ((flags & 0x20) != 0 && !skip(body, 2)) {  // OCR_ES_Id
        return std::nullopt;
    }

    const auto config = findDescriptor(body, decoderConfigTag);
    if (!config || config->size() < 13 || !isAacObjectType((*config)[0])) {
        return std::nullopt;
    }
    const auto specific = findDescriptor(config->subspan(13), decoderSpecificInfoTag);
    if (!specific || specific->empty()) {
        return std::nullopt;
    }
    return Bytes(specific->begin(), specific->end());
}

}  // namespace quelm
