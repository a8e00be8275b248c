#include "QuelmHostKit/linux/wayland/mutter/MutterDisplayConfig.hpp"

#include <gio/gio.h>

#include <cmath>

namespace quelm {

namespace {

struct ModeSize {
    int width = 0;
    int height = 0;
};

struct Physical {
    ModeSize current;
    bool builtIn = false;
};

// layout-mode 1 lays monitors out in logical pixels (mode size / scale), 2 in physical ones.
constexpr std::uint32_t kLogicalLayout = 1;

std::map<std::string, Physical> physicalMonitors(GVariant* monitors) {
    std::map<std::string, Physical> out;
    GVariantIter iter;
    g_variant_iter_init(&iter, monitors);
    GVariant* monitor = nullptr;
    while ((monitor = g_variant_iter_next_value(&iter))) {
        const char* connector = nullptr;
        GVariant* modes = nullptr;
        GVariant* properties = nullptr;
        g_variant_get(monitor, "((&ssss)@a(siiddada{sv})@a{sv})", &connector, nullptr, nullptr,
                      nullptr, &modes, &properties);
        Physical physical;
        GVariantIter modeIter;
        g_variant_iter_init(&modeIter, modes);
        GVariant* mode = nullptr;
        while ((mode = g_variant_iter_next_value(&modeIter))) {
            gint32 width = 0;
            gint32 height = 0;
            GVariant* modeProperties = nullptr;
            g_variant_get(mode, "(&siiddad@a{sv})", nullptr, &width, &height, nullptr, nullptr,
                          nullptr, &modeProperties);
            gboolean current = FALSE;
            if (g_variant_lookup(modeProperties, "is-current", "b", &current) && current) {
                physical.current = {width, height};
            }
            g_variant_unref(modeProperties);
            g_variant_unref(mode);
        }
        gboolean builtIn = FALSE;
        if (g_variant_lookup(properties, "is-builtin", "b", &builtIn)) {
            physical.builtIn = builtIn;
        }
        out[connector] = physical;
        g_variant_unref(modes);
        g_variant_unref(properties);
        g_variant_unref(monitor);
    }
    return out;
}

}  // namespace

namespace MutterDisplayConfig {

std::vector<MutterMonitor> parseCurrentState(GVariant* state) {
    std::vector<MutterMonitor> out;
    if (!state || !g_variant_is_of_type(state, G_VARIANT_TYPE("(ua((ssss)a(siiddada{sv})a{sv})"
                                                              "a(iiduba(ssss)a{sv})a{sv})"))) {
        return out;
    }
    GVariant* monitors = g_variant_get_child_value(state, 1);
    GVariant* logical = g_variant_get_child_value(state, 2);
    GVariant* properties = g_variant_get_child_value(state, 3);
    const auto physical = physicalMonitors(monitors);
    std::uint32_t layoutMode = 0;
    g_variant_lookup(properties, "layout-mode", "u", &layoutMode);

    GVariantIter iter;
    g_variant_iter_init(&iter, logical);
    GVariant* entry = nullptr;
    while ((entry = g_variant_iter_next_value(&iter))) {
        gint32 x = 0;
        gint32 y = 0;
        double scale = 1;
        gboolean primary = FALSE;
        GVariant* specs = nullptr;
        g_variant_get(entry, "(iidub@a(ssss)a{sv})", &x, &y, &scale, nullptr, &primary, &specs,
                      nullptr);
        std::string first;
        GVariantIter specIter;
        g_variant_iter_init(&specIter, specs);
        const char* connector = nullptr;
        while (
            g_variant_iter_next(&specIter, "(&s&s&s&s)", &connector, nullptr, nullptr, nullptr)) {
            auto found = physical.find(connector);
            if (found == physical.end() || found->second.current.width <= 0) {
                continue;
            }
            const double divisor = layoutMode == kLogicalLayout && scale > 0 ? scale : 1;
            MutterMonitor monitor;
            monitor.connector = connector;
            monitor.bounds =
                DisplayRect{double(x), double(y), std::round(found->second.current.width / divisor),
                            std::round(found->second.current.height / divisor)};
            monitor.isPrimary = primary && first.empty();
            monitor.isBuiltIn = found->second.builtIn;
            monitor.mirrorOf = first;
            if (first.empty()) {
                first = connector;
            }
            out.push_back(std::move(monitor));
        }
        g_variant_unref(specs);
        g_variant_unref(entry);
    }
    g_variant_unref(properties);
    g_variant_unref(logical);
    g_variant_unref(monitors);
    return out;
}

}  // namespace MutterDisplayConfig

std::uint32_t MutterDisplayIds::idFor(const std::string& connector) {
    std::lock_guard lock(mutex_);
    auto [it, added] = ids_.try_emplace(connector, static_cast<std::uint32_t>(ids_.size() + 1));
    return it->second;
}

}  // namespace quelm
