#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "QuelmCore/Bytes.hpp"

namespace quelm {

// The desktop's general clipboard, in the type names the clipboard policy reads
// ("public.utf8-plain-text", "public.png", "org.nspasteboard.ConcealedType" ...).
// Reads are asynchronous because the content lives in another program; their handlers run on
// the main thread, usually later (an answer the platform has cached may come at once).
// Writes take effect at once, except images, which are decoded first.
// Thread: main thread only.
class Pasteboard {
  public:
    struct Item {
        std::string type;
        Bytes data;
    };
    using TypesHandler = std::function<void(std::vector<std::string>)>;
    using TextHandler = std::function<void(std::optional<std::string>)>;
    using DataHandler = std::function<void(std::optional<Bytes>)>;

    virtual ~Pasteboard() = default;

    // Moves whenever the content changes, our own writes included.
    virtual std::uint64_t changeCount() const = 0;

    // The types of the current content; empty when there is none.
    virtual void readTypes(TypesHandler handler) = 0;
    // The content as UTF-8 text, or none.
    virtual void readText(TextHandler handler) = 0;
    // The bytes of one type, or none.
    virtual void readData(const std::string& type, DataHandler handler) = 0;

    // Empties the clipboard (when it is still ours).
    virtual void clear() = 0;
    // Replaces the content with plain text.
    virtual void writeText(const std::string& text) = 0;
    // Replaces the content with these representations of one thing, text types included.
    virtual void writeItems(std::vector<Item> items) = 0;
    // Replaces the content with the image these encoded bytes hold; `done` gets false, and
    // the content is left alone, when they do not decode or a newer write came first.
    // Decoding may take a while; `done` runs later on the main thread.
    virtual void writeImage(Bytes encoded, std::function<void(bool written)> done) = 0;
};

}  // namespace quelm
