#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

typedef struct _GDBusConnection GDBusConnection;

namespace quelm {

// Switches IBus or Fcitx 5 to an ASCII-capable input method for typing, and back, through their
// D-Bus interfaces. Without either running, nothing is switched.
//
// - Fcitx 5 (org.fcitx.Fcitx5 on the session bus): while it is active with an input method that
//   is not a plain keyboard layout, it is deactivated (its first, keyboard-layout method takes
//   over) and activated again afterwards.
// - IBus (its own bus, found through $IBUS_ADDRESS or the address file of this display): a
//   global engine that is not an XKB layout engine ("xkb:...") is replaced by the US layout
//   engine and selected again afterwards.
//
// Calls are synchronous with a short time-out, on the caller's thread; connections are private
// (a lost bus never ends the process) and opened again on the next call after a loss.
// Thread-safe.
class DBusInputMethods final {
  public:
    static constexpr int callTimeoutMs = 500;

    DBusInputMethods();
    ~DBusInputMethods();
    DBusInputMethods(const DBusInputMethods&) = delete;
    DBusInputMethods& operator=(const DBusInputMethods&) = delete;

    // What to hand to restore(); none when nothing was switched.
    std::optional<std::string> selectASCIICapable();
    void restore(const std::string& previous);

    // An IBus engine that types ASCII as it is.
    static bool isASCIICapableIBusEngine(const std::string& engine);
    // The IBus address from the text of an IBus address file.
    static std::optional<std::string> addressFromFile(const std::string& contents);

  private:
    GDBusConnection* sessionBus();
    GDBusConnection* ibusBus();
    std::optional<std::string> ibusEngine(GDBusConnection* bus);
    bool setIBusEngine(GDBusConnection* bus, const std::string& engine);

    std::mutex mutex_;
    GDBusConnection* session_ = nullptr;
    GDBusConnection* ibus_ = nullptr;
};

}  // namespace quelm
